// explainCoordinates: the coordinates file read with the rules of the table's load, keeping
// where each value came from instead of loading the table.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "EndPoint.h"
#include "coords.h"

namespace {

// The table's piece size: fgets reads at most 127 characters, and each piece is a line of its
// own for the format check.
constexpr int kPieceBufSize = 128;

struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

CoordinatesExplanation explainCoordinates(unsigned long target_addr) {
    using Result = CoordinatesExplanation::Result;
    CoordinatesExplanation e;
    e.host = inet_NTOS(target_addr);
    const char* dir = getenv("VARNO_PATH");
    if (dir == nullptr) return e;
    e.path = std::string(dir) + "/gnp.coords";
    std::unique_ptr<FILE, FileClose> f(fopen(e.path.c_str(), "re"));
    if (!f) {
        e.result = Result::FileMissing;
        return e;
    }
    bool found = false;
    int lineNo = 1;
    char piece[kPieceBufSize];
    while (fgets(piece, sizeof piece, f.get()) != nullptr) {
        const size_t len = strlen(piece);
        const bool endsLine = len > 0 && piece[len - 1] == '\n';
        const std::string text(piece, endsLine ? len - 1 : len);
        const size_t blank = text.find(' ');
        if (blank == std::string::npos) {
            e.result = Result::FormatError;
            e.line = lineNo;
            e.text = text;
            e.coords.clear();
            return e;
        }
        if (text.compare(0, blank, e.host) == 0 && blank == e.host.size()) {
            found = true;  // the last line for a host wins
            e.line = lineNo;
            e.text = text;
            e.coords = text.substr(blank + 1);
        }
        if (endsLine) ++lineNo;
    }
    if (ferror(f.get())) {
        e.result = Result::ReadError;
        e.line = lineNo;
        e.text.clear();
        e.coords.clear();
        return e;
    }
    e.result = found ? Result::Found : Result::NotListed;
    return e;
}
