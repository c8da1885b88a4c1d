#include "coords.h"

#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "EndPoint.h"
#include "coords_file.h"
#include "diag.h"
#include "net_util.h"
#include "no_destructor.h"

namespace {

constexpr uint16_t kMonitorPortHost = 5646;

struct CoordTable {
    // One lock around loads and lookups: a load must exclude both, and lookups are a map find.
    std::mutex mu;
    coords::File loaded;                // guarded by mu; its entries are coordmap
    bool coordmap_initialized = false;  // guarded by mu
};

CoordTable& table() {
    static NoDestructor<CoordTable> sTable;
    return *sTable.get();
}

// Reads the coordinates file and makes it the table, marked loaded, only when the whole file was
// read. On failure prints why and leaves the table exactly as it was (unloaded), so the next call
// starts over from the top of the file with nothing left of this attempt. Returns the file read.
coords::File loadTable(CoordTable& t) {
    using Result = CoordinatesExplanation::Result;
    coords::File f = coords::readFile();
    switch (f.result) {
        case Result::PathUnset:
            diagf(DiagStream::Out, "VARNO_PATH not set, returning now...\n");
            break;
        case Result::FormatError:
            diagf(DiagStream::Out, "coordinate file format error, returning now...\n");
            break;
        case Result::Found:
            t.loaded = f;
            t.coordmap_initialized = true;
            break;
        default:  // missing, not a regular file, or a read error
            diagf(DiagStream::Out, "coordinate file not found, returning now...\n");
            break;
    }
    return f;
}

}  // namespace

CoordinatesExplanation lookupCoordinates(unsigned long target_addr) {
    CoordTable& t = table();
    const std::string host = inet_NTOS(target_addr);
    std::lock_guard<std::mutex> lock(t.mu);
    if (!t.coordmap_initialized) {
        const coords::File f = loadTable(t);
        if (!t.coordmap_initialized) return coords::explain(f, host);
    }
    diagf(DiagStream::Out, "finding coordinates for %s...\n", host.c_str());
    return coords::explain(t.loaded, host);
}

std::string reloadCoordinates() {
    using Result = CoordinatesExplanation::Result;
    coords::File f = coords::readFile();  // read without the lock: lookups go on meanwhile
    CoordTable& t = table();
    std::lock_guard<std::mutex> lock(t.mu);
    if (f.result == Result::Found) {
        const size_t hosts = f.entries.size();
        const std::string path = f.path;
        t.loaded = std::move(f);
        t.coordmap_initialized = true;
        return "reloaded " + path + ": " + std::to_string(hosts) + " hosts";
    }
    std::string why;
    switch (f.result) {
        case Result::PathUnset:
            why = "VARNO_PATH is not set";
            break;
        case Result::FormatError:
            why = f.path + " is invalid at line " + std::to_string(f.line) +
                  " (no blank between host and coordinates)";
            break;
        default:
            why = f.path + " cannot be read (" + f.reason + ")";
            break;
    }
    return why + "; " +
           (t.coordmap_initialized
                ? "kept the table of " + std::to_string(t.loaded.entries.size()) + " hosts"
                : std::string("no table is loaded yet"));
}

std::string getCoordinates(unsigned long target_addr) {
    return lookupCoordinates(target_addr).coords;
}

CoordinatesExplanation explainCoordinates(unsigned long target_addr) {
    return coords::explain(coords::readFile(), inet_NTOS(target_addr));
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
