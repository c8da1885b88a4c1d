#pragma once

// Network coordinates and monitor notification without the SLP client: the same declarations as
// SLP.h, for code and tests that need only these three functions (target `coords`).

#include <string>

// The coordinates text of an address (network byte order) from $VARNO_PATH/gnp.coords, or "" when
// there is none. The file is loaded once, on the first call that reads it completely; a failed
// load is retried from the start on the next call. Loads and lookups never overlap, so any
// thread may call it. Prints its progress and failures on standard output.
std::string getCoordinates(unsigned long target_addr);

// Tells the monitor at $VARNO_GNPMONITOR (TCP port 5646) that host addr has colour color: one
// connection carrying "addr color", then closed. Never affects the caller; failures only print.
// Keeps no state; any thread may call it.
void gnpmon_color(std::string addr, int color);

// Removes one line feed at the end of buf, in place; null is left alone.
void chomp(char* buf);
