// The coordinates file rules, each scenario in a fresh process.

#include "coords.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "coords_fixture.h"

namespace {

using namespace coordstest;

TEST(CoordsFileTest, ExampleFileGivesTextAndPrintsLookup) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1 12.5 -3.0 7.25\n10.0.0.2 1 2 3\n");
        expectLoaded(c, "10.0.0.1", "12.5 -3.0 7.25");
        expectLoaded(c, "10.0.0.2", "1 2 3");
        expectLoaded(c, "10.0.0.9", "");
    });
}

TEST(CoordsFileTest, LastDuplicateWins) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1 first\n10.0.0.2 x\n10.0.0.1 second\n");
        expectLoaded(c, "10.0.0.1", "second");
    });
}

TEST(CoordsFileTest, HostWithLeadingZerosIsNeverFound) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("010.000.000.001 1 2\n");
        expectLoaded(c, "10.0.0.1", "");
        expectLoaded(c, "8.0.0.1", "");
    });
}

TEST(CoordsFileTest, TabIsPartOfTheHost) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1\t5 6\n");
        expectLoaded(c, "10.0.0.1", "");
    });
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1\t5\n");
        expectFailed(c, "10.0.0.1", kFormatError);
    });
}

TEST(CoordsFileTest, CarriageReturnStaysInValue) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1 1 2\r\n");
        expectLoaded(c, "10.0.0.1", "1 2\r");
    });
}

TEST(CoordsFileTest, EmptyValueLooksUpAsNoCoordinates) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.3 \n10.0.0.4 7\n");
        expectLoaded(c, "10.0.0.3", "");
        expectLoaded(c, "10.0.0.4", "7");
    });
}

TEST(CoordsFileTest, LastLineWithoutLineFeed) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1 a\n10.0.0.2 b c");
        expectLoaded(c, "10.0.0.2", "b c");
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

TEST(CoordsFileTest, UnreadableFileLeavesTableUnloaded) {
    // A directory opens but cannot be read: not an empty table for the life of the process.
    inFreshProcess([](Check& c, CoordsDir& d) {
        c.that("mkdir gnp.coords", mkdir(d.file().c_str(), 0700) == 0);
        expectFailed(c, "10.0.0.1", kNotFound);
        rmdir(d.file().c_str());
        d.write("10.0.0.1 4 5\n");
        expectLoaded(c, "10.0.0.1", "4 5");
    });
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

}  // namespace
