#include "coords_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "coords.h"

namespace coordstest {

std::string visible(const std::string& s) {
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

void Check::eq(const std::string& what, const std::string& got, const std::string& want) {
    if (got == want) return;
    fprintf(stderr, "%s: got \"%s\", want \"%s\"\n", what.c_str(), visible(got).c_str(),
            visible(want).c_str());
    mOk = false;
}

void Check::that(const std::string& what, bool cond) {
    if (cond) return;
    fprintf(stderr, "%s\n", what.c_str());
    mOk = false;
}

CoordsDir::CoordsDir() {
    setenv("VARNO_PATH", mDir.path().c_str(), 1);
}

void CoordsDir::write(const std::string& bytes) const {
    testutil::spit(file(), bytes);
}

Lookup lookup(const char* dotted) {
    testutil::DiagCapture out(DiagStream::Out);
    std::string coords = getCoordinates(testutil::addrOf(dotted));
    return {coords, out.text()};
}

std::string finding(const char* dotted) {
    return std::string("finding coordinates for ") + dotted + "...\n";
}

void inFreshProcess(const std::function<void(Check&, CoordsDir&)>& body) {
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

void expectLoaded(Check& c, const char* dotted, const std::string& coords) {
    Lookup r = lookup(dotted);
    c.eq(std::string("coordinates of ") + dotted, r.coords, coords);
    c.eq(std::string("output for ") + dotted, r.printed, finding(dotted));
}

void expectFailed(Check& c, const char* dotted, const char* line) {
    Lookup r = lookup(dotted);
    c.eq(std::string("coordinates of ") + dotted, r.coords, "");
    c.eq(std::string("output for ") + dotted, r.printed, line);
}

}  // namespace coordstest
