// The coordinates file rules, each scenario in a fresh process.

#include "coords.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "coords_fixture.h"

namespace {

using namespace coordstest;

// Files that load: the coordinates each looked-up host gets ("" for none), with the lookup line.
TEST(CoordsFileTest, LoadedFilesGiveTheirTextAndPrintTheLookup) {
    const struct {
        const char* file;
        std::vector<std::pair<const char*, std::string>> lookups;
    } cases[] = {
        {"10.0.0.1 12.5 -3.0 7.25\n10.0.0.2 1 2 3\n",
         {{"10.0.0.1", "12.5 -3.0 7.25"}, {"10.0.0.2", "1 2 3"}, {"10.0.0.9", ""}}},
        // The last of duplicate hosts wins.
        {"10.0.0.1 first\n10.0.0.2 x\n10.0.0.1 second\n", {{"10.0.0.1", "second"}}},
        // A host with leading zeros is never found.
        {"010.000.000.001 1 2\n", {{"10.0.0.1", ""}, {"8.0.0.1", ""}}},
        // A tab is part of the host; a carriage return stays in the value.
        {"10.0.0.1\t5 6\n", {{"10.0.0.1", ""}}},
        {"10.0.0.1 1 2\r\n", {{"10.0.0.1", "1 2\r"}}},
        // An empty value looks up as no coordinates.
        {"10.0.0.3 \n10.0.0.4 7\n", {{"10.0.0.3", ""}, {"10.0.0.4", "7"}}},
        {"10.0.0.1 a\n10.0.0.2 b c", {{"10.0.0.2", "b c"}}},  // no final line feed
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(visible(k.file));
        inFreshProcess([&](Check& c, CoordsDir& d) {
            d.write(k.file);
            for (const auto& [host, coords] : k.lookups) expectLoaded(c, host, coords);
        });
    }
    // Without the value's blank the tab line is a format error.
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1\t5\n");
        expectFailed(c, "10.0.0.1", kFormatError);
    });
}

TEST(CoordsFileTest, LongLineIsReadInPiecesOf127) {
    // 127 characters, then a 73-character rest that holds a blank and becomes an entry itself.
    const std::string first = "10.0.0.4 " + std::string(118, 'x');
    const std::string rest = "10.0.0.6 " + std::string(64, 'y');
    ASSERT_EQ(first.size() + rest.size(), 200u);
    inFreshProcess([&](Check& c, CoordsDir& d) {
        d.write(first + rest + "\n");
        expectLoaded(c, "10.0.0.4", std::string(118, 'x'));
        expectLoaded(c, "10.0.0.6", std::string(64, 'y'));
    });
    // A rest without a blank is a format error.
    inFreshProcess([&](Check& c, CoordsDir& d) {
        d.write(first + std::string(73, 'z') + "\n");
        expectFailed(c, "10.0.0.4", kFormatError);
    });
}

TEST(CoordsFileTest, BlankLineFailsEveryCallUntilCorrected) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1 a\n\n10.0.0.2 b\n");
        expectFailed(c, "10.0.0.1", kFormatError);
        expectFailed(c, "10.0.0.2", kFormatError);
        expectFailed(c, "10.0.0.1", kFormatError);
        d.write("10.0.0.1 a\n10.0.0.2 b\n");
        expectLoaded(c, "10.0.0.2", "b");
        expectLoaded(c, "10.0.0.1", "a");
    });
}

TEST(CoordsFileTest, FailedLoadLeavesNothingBehind) {
    // A host that the corrected file no longer lists has no coordinates.
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1 stale\n10.0.0.5 old\nno-blank-here\n");
        expectFailed(c, "10.0.0.1", kFormatError);
        d.write("10.0.0.5 new\n");
        expectLoaded(c, "10.0.0.1", "");
        expectLoaded(c, "10.0.0.5", "new");
    });
}

TEST(CoordsFileTest, PathUnsetOnOneCallAndSetOnTheNext) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1 4 5\n");
        const std::string path = getenv("VARNO_PATH");
        unsetenv("VARNO_PATH");
        expectFailed(c, "10.0.0.1", kPathUnset);
        setenv("VARNO_PATH", path.c_str(), 1);
        expectLoaded(c, "10.0.0.1", "4 5");
    });
}

TEST(CoordsFileTest, MissingFileIsRetriedOnTheNextCall) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        expectFailed(c, "10.0.0.1", kNotFound);
        d.write("10.0.0.1 4 5\n");
        expectLoaded(c, "10.0.0.1", "4 5");
    });
}

TEST(CoordsFileTest, AnythingButARegularFileFailsTheLoad) {
    // A directory opens but cannot be read: not an empty table for the life of the process. A
    // FIFO would wait for a writer forever, holding every request that needs coordinates.
    for (int (*make)(const char*, mode_t) : {mkdir, mkfifo}) {
        inFreshProcess([&](Check& c, CoordsDir& d) {
            c.that("make gnp.coords", make(d.file().c_str(), 0700) == 0);
            expectFailed(c, "10.0.0.1", kNotFound);
            c.that("remove gnp.coords", remove(d.file().c_str()) == 0);
            d.write("10.0.0.1 4 5\n");
            expectLoaded(c, "10.0.0.1", "4 5");
        });
    }
}

TEST(CoordsFileTest, ChangesAfterCompleteLoadAreNotSeen) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1 before\n");
        expectLoaded(c, "10.0.0.1", "before");
        d.write("10.0.0.1 after\n\n");
        expectLoaded(c, "10.0.0.1", "before");
        unsetenv("VARNO_PATH");
        expectLoaded(c, "10.0.0.1", "before");
    });
}

TEST(ChompTest, RemovesOneTrailingLineFeed) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"abc\n", "abc"}, {"abc\n\n", "abc\n"}, {"abc", "abc"},
                 {"", ""},         {"\n", ""},           {"a\r\n", "a\r"}};
    for (const Case& k : cases) {
        std::string buf = k.in;
        chomp(buf.data());
        EXPECT_STREQ(buf.c_str(), k.out) << "input \"" << visible(k.in) << "\"";
    }
    chomp(nullptr);
}

// explainCoordinates reads the file with the table's rules: for each file, the line it names
// and the value it gives agree with what getCoordinates returns in a fresh process.
TEST(CoordsExplainTest, AgreesWithTheTable) {
    using R = CoordinatesExplanation::Result;
    struct Case {
        std::string file;
        const char* host;
        R result;
        int line;
        std::string coords;
    };
    const std::string longValue(140, 'x');  // the piece after 127 characters has no blank
    const std::vector<Case> cases = {
        {"10.0.0.1 1 2\n10.0.0.2 3\n10.0.0.1 5 6", "10.0.0.1", R::Found, 3, "5 6"},
        {"10.0.0.1 1 2\n", "10.0.0.9", R::NotListed, 0, ""},
        {"10.0.0.1 1 2\n\n10.0.0.9 7\n", "10.0.0.9", R::FormatError, 2, ""},
        {"10.0.0.1 " + longValue + "\n10.0.0.9 7\n", "10.0.0.9", R::FormatError, 1, ""},
        {"10.0.0.3 \n", "10.0.0.3", R::Found, 1, ""},
        {"10.0.0.1\t1 2\n", "10.0.0.1", R::NotListed, 0, ""},  // a tab is part of the host
    };
    for (const Case& c : cases) {
        inFreshProcess([&](Check& check, CoordsDir& dir) {
            dir.write(c.file);
            const CoordinatesExplanation e = explainCoordinates(testutil::addrOf(c.host));
            check.that(std::string("result for ") + c.host, e.result == c.result);
            check.eq("path", e.path, dir.file());
            check.eq("line", std::to_string(e.line), std::to_string(c.line));
            check.eq("explained coordinates", e.coords, c.coords);
            check.eq("table's coordinates", lookup(c.host).coords, c.coords);
            testutil::DiagCapture quiet(DiagStream::Out);
            const int tableLine = lookupCoordinates(testutil::addrOf(c.host)).line;
            check.eq("table's line", std::to_string(tableLine), std::to_string(c.line));
        });
    }
    inFreshProcess([](Check& check, CoordsDir&) {
        check.that("missing file", explainCoordinates(testutil::addrOf("10.0.0.1")).result ==
                                       CoordinatesExplanation::Result::FileMissing);
        unsetenv("VARNO_PATH");
        check.that("path unset", explainCoordinates(testutil::addrOf("10.0.0.1")).result ==
                                     CoordinatesExplanation::Result::PathUnset);
    });
}

}  // namespace
