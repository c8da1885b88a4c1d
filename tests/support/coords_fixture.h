#pragma once

// Scenario helpers for the coordinates tests. The table loads once per process, so every
// scenario runs in a process of its own (re-executed through a death test) and passes when that
// process exits 0.

#include <functional>
#include <string>

#include "test_util.h"

namespace coordstest {

// s with line feeds and carriage returns written as \n and \r.
std::string visible(const std::string& s);

// Collects mismatches inside the scenario process; each goes to stderr, which EXPECT_EXIT shows.
class Check {
public:
    void eq(const std::string& what, const std::string& got, const std::string& want);
    void that(const std::string& what, bool cond);
    bool ok() const { return mOk; }

private:
    bool mOk = true;
};

// A configuration directory of the scenario's own, named by VARNO_PATH while alive.
class CoordsDir {
public:
    CoordsDir();
    std::string file() const { return mDir.file("gnp.coords"); }
    // Replaces the coordinates file with bytes.
    void write(const std::string& bytes) const;

private:
    testutil::TempDir mDir{"esm-coords"};
};

// One lookup: the coordinates it gave and what it printed.
struct Lookup {
    std::string coords;
    std::string printed;
};

Lookup lookup(const char* dotted);

// The line a lookup of a loaded table prints.
std::string finding(const char* dotted);

inline constexpr char kFormatError[] = "coordinate file format error, returning now...\n";
inline constexpr char kNotFound[] = "coordinate file not found, returning now...\n";
inline constexpr char kPathUnset[] = "VARNO_PATH not set, returning now...\n";

// Runs body in a fresh process with its own configuration directory; the calling test fails
// unless every check in it held.
void inFreshProcess(const std::function<void(Check&, CoordsDir&)>& body);

// Expects coords and exactly the lookup line, i.e. a loaded table.
void expectLoaded(Check& c, const char* dotted, const std::string& coords);
// Expects no coordinates and exactly the failure line.
void expectFailed(Check& c, const char* dotted, const char* line);

}  // namespace coordstest
