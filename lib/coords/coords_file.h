#pragma once

// The one reader of the coordinates file, whose result both the table and the explanation for
// tools use.

#include <map>
#include <string>

#include "coords.h"

namespace coords {

// One host's entry: its coordinates and the line (from 1) they came from.
struct Entry {
    std::string coords;
    int line = 0;
};

// $VARNO_PATH/gnp.coords as read now: every entry, or the first fault with where it is.
struct File {
    // Found: the whole file was read (entries holds it); otherwise PathUnset, FileMissing,
    // ReadError or FormatError, with line, text and reason telling where and why.
    CoordinatesExplanation::Result result = CoordinatesExplanation::Result::PathUnset;
    std::string path;    // "" when VARNO_PATH is not set
    int line = 0;        // the line of the fault (0 when not at a line)
    std::string text;    // FormatError: that line (or 127-character piece), without line feed
    std::string reason;  // FileMissing, ReadError: why ("No such file or directory", ...)
    std::map<std::string, Entry> entries;  // host (as written) to its last entry
};

// Reads the file: lines in pieces of at most 127 characters, each split at its first blank; a
// piece without a blank is a format error; the last entry of a host wins. Only a regular file is
// read (opened without blocking, so a FIFO or a device at the path cannot hold the caller).
// Prints nothing; any thread may call it.
File readFile();

// What file says about host: Found (line, text and coords of its entry) or NotListed, or the
// file's own fault.
CoordinatesExplanation explain(const File& file, const std::string& host);

}  // namespace coords
