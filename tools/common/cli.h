#pragma once

// What every program's command line shares: how a bad argument is reported, how --version
// answers, and strict number reading. Programs parse their options with getopt_long.

#include <string>

namespace cli {

// Exit status of a bad command line.
constexpr int kUsageStatus = 2;

// Writes "PROG: MESSAGE" and "Try 'PROG --help' for more information." on standard error and
// returns kUsageStatus.
int usageError(const char* prog, const std::string& message);

// Writes "PROG VERSION" on standard output.
void printVersion(const char* prog);

// The whole of text as a decimal number within [min, max] (no sign unless min < 0, no blanks,
// no trailing characters); false otherwise.
bool parseNumber(const char* text, long min, long max, long* out);

}  // namespace cli
