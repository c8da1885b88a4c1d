#pragma once

// Network coordinates and monitor notification without the SLP client: the same declarations as
// SLP.h, for code and tests that need only these three functions (target `coords`).

#include <string>

// The coordinates text of an address (network byte order) from $VARNO_PATH/gnp.coords, or "" when
// there is none. The file is loaded once, on the first call that reads it completely; a failed
// load is retried from the start on the next call. Loads and lookups never overlap, so any
// thread may call it. Prints its progress and failures on standard output. Only a regular file is
// read: anything else at the path fails the load as a missing file does.
std::string getCoordinates(unsigned long target_addr);

// Reads $VARNO_PATH/gnp.coords again, for a reload: when the whole file reads, it becomes the
// table; otherwise the table stays exactly as it was. Returns one line (no line feed) saying
// which, with the path and, for a bad line, its number: "reloaded P: 12 hosts" or "P is invalid
// at line 3 (...); kept the table of 12 hosts". Prints nothing; any thread may call it.
std::string reloadCoordinates();

// Tells the monitor at $VARNO_GNPMONITOR (TCP port 5646) that host addr has colour color: one
// connection carrying "addr color", then closed. Never affects the caller; failures only print.
// Keeps no state; any thread may call it.
void gnpmon_color(std::string addr, int color);

// Removes one line feed at the end of buf, in place; null is left alone.
void chomp(char* buf);

// Where a coordinates lookup's answer comes from: the line of the file that gives it, or why
// there is none. A plain value.
struct CoordinatesExplanation {
    enum class Result {
        Found,        // line and text give the line used (the host's last), coords its value
        PathUnset,    // VARNO_PATH is not set
        FileMissing,  // path cannot be opened (reason)
        ReadError,    // path is not a regular file (line 0), or reading it failed at line
        FormatError,  // line has no blank (an empty line included): the file is invalid
        NotListed,    // no line for the host
    };
    Result result = Result::PathUnset;
    std::string path;    // $VARNO_PATH/gnp.coords; "" when VARNO_PATH is not set
    std::string host;    // the dotted quad looked for
    int line = 0;        // the line number (from 1) of the line used or of the fault
    std::string text;    // that line (the 127-character piece, for a longer line), no line feed
    std::string coords;  // Found: the coordinates; "" counts as none, as for getCoordinates
    std::string reason;  // FileMissing, ReadError: why, e.g. "No such file or directory"
};

// getCoordinates with where its answer comes from: the same table, load and lines; coords is
// what getCoordinates returns. A loaded table answers from the file it loaded.
CoordinatesExplanation lookupCoordinates(unsigned long target_addr);

// What getCoordinates would give for an address if the file were loaded now, by the same reader
// (neither the table nor its output is touched), for checks and tools. Prints nothing; any thread
// may call it.
CoordinatesExplanation explainCoordinates(unsigned long target_addr);
