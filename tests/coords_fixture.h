#pragma once

// Scenario helpers for the coordinates tests. The table loads once per process, so every
// scenario runs in a process of its own (re-executed through a death test) and passes when that
// process exits 0.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "coords.h"
#include "test_util.h"

namespace coordstest {

inline std::string visible(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

// Collects mismatches inside the scenario process; each goes to stderr, which EXPECT_EXIT shows.
class Check {
public:
    void eq(const std::string& what, const std::string& got, const std::string& want) {
        if (got == want) return;
        fprintf(stderr, "%s: got \"%s\", want \"%s\"\n", what.c_str(), visible(got).c_str(),
                visible(want).c_str());
        mOk = false;
    }
    void that(const std::string& what, bool cond) {
        if (cond) return;
        fprintf(stderr, "%s\n", what.c_str());
        mOk = false;
    }
    bool ok() const { return mOk; }

private:
    bool mOk = true;
};

// A configuration directory of the scenario's own, named by VARNO_PATH while alive.
class CoordsDir {
public:
    CoordsDir() {
        char tmpl[] = "/tmp/esm-coords-XXXXXX";
        if (mkdtemp(tmpl) != nullptr) mDir = tmpl;
        setenv("VARNO_PATH", mDir.c_str(), 1);
    }
    ~CoordsDir() {
        unlink(file().c_str());
        rmdir(file().c_str());
        rmdir(mDir.c_str());
    }
    std::string file() const { return mDir + "/gnp.coords"; }
    void write(const std::string& bytes) const {
        FILE* f = fopen(file().c_str(), "wb");
        if (f == nullptr) return;
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }

private:
    std::string mDir;
};

struct Lookup {
    std::string coords;
    std::string printed;
};

inline Lookup lookup(const char* dotted) {
    testutil::CaptureFd out(1);
    std::string coords = getCoordinates(testutil::addrOf(dotted));
    return {coords, out.text()};
}

inline std::string finding(const char* dotted) {
    return std::string("finding coordinates for ") + dotted + "...\n";
}

inline const char kFormatError[] = "coordinate file format error, returning now...\n";
inline const char kNotFound[] = "coordinate file not found, returning now...\n";
inline const char kPathUnset[] = "VARNO_PATH not set, returning now...\n";

// Runs body in a fresh process with its own configuration directory.
inline void inFreshProcess(const std::function<void(Check&, CoordsDir&)>& body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int rc;
            {
                Check check;
                CoordsDir dir;
                body(check, dir);
                rc = check.ok() ? 0 : 1;
            }
            fflush(nullptr);
            _exit(rc);
        },
        ::testing::ExitedWithCode(0), "");
}

// Expects coords and exactly the lookup line, i.e. a loaded table.
inline void expectLoaded(Check& c, const char* dotted, const std::string& coords) {
    Lookup r = lookup(dotted);
    c.eq(std::string("coordinates of ") + dotted, r.coords, coords);
    c.eq(std::string("output for ") + dotted, r.printed, finding(dotted));
}

inline void expectFailed(Check& c, const char* dotted, const char* line) {
    Lookup r = lookup(dotted);
    c.eq(std::string("coordinates of ") + dotted, r.coords, "");
    c.eq(std::string("output for ") + dotted, r.printed, line);
}

}  // namespace coordstest
