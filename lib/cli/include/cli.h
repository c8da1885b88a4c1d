#pragma once

// What every program's command line shares: how a bad argument is reported, how --version
// answers, and strict number reading. Programs parse their options with getopt_long.

#include <cstdint>
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

// The message for what getopt_long just returned as ':' or '?' (with opterr 0 and an optstring
// that starts with ':'), naming the argument: "unknown option '--bogus'", "option '--ttl' needs a
// value", "option '--json' takes no value". Reads optind and optopt.
std::string optionError(int ret, char* const* argv);

// "NAME TEXT: not in MIN..MAX" unless text is such a number (then *out is set and "" returned).
std::string numberArg(const char* name, const char* text, long min, long max, long* out);

// "ADDR/MASK" of IPv4 dotted quads, MASK a dotted quad or a prefix length 0..32, both in network
// byte order. False for other text.
bool parseAddrMask(const std::string& text, uint32_t* addrNet, uint32_t* maskNet);

// Why ADDR/MASK names no zone that a proxy can serve, or "": "mask 255.0.255.0 is not
// contiguous", "10.1.5.0 has host bits set for mask 255.255.0.0 (the zone is 10.1.0.0/16)".
std::string zoneProblem(uint32_t addrNet, uint32_t maskNet);

// s as a JSON string, quotes included: '"' and '\\' escaped, control characters as \\u00XX.
std::string jsonString(const std::string& s);

}  // namespace cli
