#include "coords_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace coords {

namespace {

// fgets reads at most kPieceBufSize - 1 characters; a longer line arrives in pieces, and each
// piece is an entry (or a format error) of its own.
constexpr int kPieceBufSize = 128;

struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

// The path opened for reading when it is a regular file; null with f->result and f->reason set
// otherwise. O_NONBLOCK: opening a FIFO for reading would wait for a writer; O_CLOEXEC: the node
// loader runs through system() on other threads and must not inherit it.
FilePtr openRegular(File* f) {
    using Result = CoordinatesExplanation::Result;
    const int fd = open(f->path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        f->result = Result::FileMissing;
        f->reason = strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        f->result = Result::ReadError;
        f->reason = "not a regular file";
        close(fd);
        return nullptr;
    }
    FilePtr file(fdopen(fd, "r"));
    if (!file) {
        f->result = Result::ReadError;
        f->reason = strerror(errno);
        close(fd);
    }
    return file;
}

}  // namespace

File readFile() {
    using Result = CoordinatesExplanation::Result;
    File f;
    const char* dir = getenv("VARNO_PATH");
    if (dir == nullptr) return f;
    f.path = std::string(dir) + "/gnp.coords";
    FilePtr file = openRegular(&f);
    if (!file) return f;
    int lineNo = 1;
    char piece[kPieceBufSize];
    while (fgets(piece, sizeof piece, file.get()) != nullptr) {
        const size_t len = strlen(piece);
        const bool endsLine = len > 0 && piece[len - 1] == '\n';
        const std::string text(piece, endsLine ? len - 1 : len);
        const size_t blank = text.find(' ');
        if (blank == std::string::npos) {
            f.result = Result::FormatError;
            f.line = lineNo;
            f.text = text;
            f.entries.clear();
            return f;
        }
        f.entries[text.substr(0, blank)] = Entry{text.substr(blank + 1), lineNo};
        if (endsLine) ++lineNo;
    }
    // A read error is not the end of the file: what was read so far must not count as the file.
    if (ferror(file.get())) {
        f.result = Result::ReadError;
        f.reason = strerror(errno);
        f.line = lineNo;
        f.entries.clear();
        return f;
    }
    f.result = Result::Found;
    return f;
}

CoordinatesExplanation explain(const File& file, const std::string& host) {
    using Result = CoordinatesExplanation::Result;
    CoordinatesExplanation e;
    e.host = host;
    e.path = file.path;
    e.result = file.result;
    e.line = file.line;
    e.reason = file.reason;
    if (file.result != Result::Found) {
        e.text = file.text;
        return e;
    }
    auto it = file.entries.find(host);
    if (it == file.entries.end()) {
        e.result = Result::NotListed;
        return e;
    }
    e.line = it->second.line;
    e.coords = it->second.coords;
    e.text = host + " " + e.coords;
    return e;
}

}  // namespace coords
