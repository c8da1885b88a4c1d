#include "coords.h"

#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "EndPoint.h"
#include "diag.h"
#include "net_util.h"
#include "no_destructor.h"

namespace {

constexpr uint16_t kMonitorPortHost = 5646;
// fgets reads at most kLineBufSize - 1 characters; a longer line arrives in pieces, and each
// piece is an entry (or a format error) of its own.
constexpr int kLineBufSize = 128;

struct CoordTable {
    // One lock around loads and lookups: a load must exclude both, and lookups are a map find.
    std::mutex mu;
    std::map<std::string, std::string> coordmap;  // guarded by mu
    bool coordmap_initialized = false;            // guarded by mu
};

CoordTable& table() {
    static NoDestructor<CoordTable> sTable;
    return *sTable.get();
}

struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

// Reads the coordinates file into a fresh map and makes it the table, marked loaded, only when
// the whole file was read. On failure prints why and leaves the table exactly as it was
// (unloaded), so the next call starts over from the top of the file with nothing left of this
// attempt.
void loadTable(CoordTable& t) {
    const char* dir = getenv("VARNO_PATH");
    if (dir == nullptr) {
        diagf(DiagStream::Out, "VARNO_PATH not set, returning now...\n");
        return;
    }
    const std::string path = std::string(dir) + "/gnp.coords";
    // "e": the node loader runs through system() on other threads and must not inherit this.
    FilePtr f(fopen(path.c_str(), "re"));
    if (!f) {
        diagf(DiagStream::Out, "coordinate file not found, returning now...\n");
        return;
    }
    std::map<std::string, std::string> loaded;
    char line[kLineBufSize];
    while (fgets(line, sizeof line, f.get()) != nullptr) {
        char* blank = strchr(line, ' ');
        if (blank == nullptr) {
            diagf(DiagStream::Out, "coordinate file format error, returning now...\n");
            return;
        }
        *blank = '\0';
        char* value = blank + 1;
        chomp(value);
        loaded[line] = value;
    }
    // A read error (the path names a directory, an I/O fault) is not the end of the file: a
    // partial table must not become the table for the rest of the process.
    if (ferror(f.get())) {
        diagf(DiagStream::Out, "coordinate file not found, returning now...\n");
        return;
    }
    t.coordmap.swap(loaded);
    t.coordmap_initialized = true;
}

}  // namespace

std::string getCoordinates(unsigned long target_addr) {
    CoordTable& t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    if (!t.coordmap_initialized) {
        loadTable(t);
        if (!t.coordmap_initialized) return "";
    }
    const std::string host = inet_NTOS(target_addr);
    diagf(DiagStream::Out, "finding coordinates for %s...\n", host.c_str());
    auto it = t.coordmap.find(host);
    return it == t.coordmap.end() ? std::string() : it->second;
}

void gnpmon_color(std::string addr, int color) {
    const char* monitor = getenv("VARNO_GNPMONITOR");
    if (monitor == nullptr) {
        diagf(DiagStream::Out, "VARNO_GNPMONITOR not set, returning now\n");
        return;
    }
    // Bounded, so an unreachable monitor holds the request for at most the client connect limit.
    Fd s(connectTcp(static_cast<uint32_t>(inet_ADDR(monitor)), kMonitorPortHost,
                    kClientConnectTimeoutMs));
    if (!s.valid()) {
        diagPerror("gnpmon_color: connect:");
        return;
    }
    // The close marks the end of the message; nothing comes back. MSG_NOSIGNAL: a monitor that
    // has gone away must not kill the daemon with SIGPIPE.
    const std::string msg = addr + " " + ultostr(static_cast<unsigned long>(color));
    (void)send(s.get(), msg.data(), msg.size(), MSG_NOSIGNAL);
}

void chomp(char* buf) {
    if (buf == nullptr) return;
    size_t len = strlen(buf);
    if (len > 0 && buf[len - 1] == '\n') buf[len - 1] = '\0';
}
