// The coordinates file rules, each scenario in a fresh process.

#include "coords.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(CoordsFileTest, EntriesBeforeFormatErrorStayUntilOverwritten) {
    inFreshProcess([](Check& c, CoordsDir& d) {
        d.write("10.0.0.1 kept\n10.0.0.5 old\nno-blank-here\n");
        expectFailed(c, "10.0.0.1", kFormatError);
        d.write("10.0.0.5 new\n");
        expectLoaded(c, "10.0.0.1", "kept");
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
