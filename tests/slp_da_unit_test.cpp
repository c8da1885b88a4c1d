// The Directory Agent's parts: search filters, attribute lists, the registration store, the
// registration file and message handling, without sockets.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "slp_agent.h"
#include "slp_attr.h"
#include "slp_filter.h"
#include "slp_regfile.h"
#include "slp_store.h"
#include "slp_test_util.h"
#include "slp_text.h"
#include "slp_wire.h"

using slpda::Attribute;
using slpda::AttrParse;
using slpda::Filter;
using slptest::Bytes;
using slpwire::UrlEntry;

namespace {

class FilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(slpda::parseAttrList("(addr=128.2.1.7),(mask=255.255.255.255),(x-GNP-num=1),"
                                       "(x-GNP-clients=12.5 -3.0 7.25),(multi=1,2,3),"
                                       "(name=  Some   String ),(flag=true),(blob=\\FF\\00\\01),"
                                       "x-ready,(words=alpha,beta),(star=a\\2ab),(neg=-7)",
                                       &mAttrs),
                  AttrParse::kOk);
    }
    // Parses (which must succeed) and evaluates.
    bool match(const std::string& text) {
        Filter f;
        EXPECT_TRUE(f.parse(text)) << text;
        return f.matches(mAttrs);
    }
    static bool parses(const std::string& text) {
        Filter f;
        return f.parse(text);
    }
    std::vector<Attribute> mAttrs;
};

}  // namespace

TEST_F(FilterTest, Equality) {
    EXPECT_TRUE(match("(addr=128.2.1.7)"));
    EXPECT_TRUE(match("(ADDR=128.2.1.7)"));
    EXPECT_TRUE(match("(addr=128.2.1.\\37)"));  // an escaped '7'
    EXPECT_FALSE(match("(addr=128.2.1.8)"));
    EXPECT_FALSE(match("(addr=128.2.1.70)"));
    EXPECT_FALSE(match("(absent=1)"));
    EXPECT_TRUE(match("(x-GNP-clients=12.5 -3.0 7.25)"));
    // Inner white space is folded, case ignored.
    EXPECT_TRUE(match("(name=some string)"));
    EXPECT_TRUE(match("(name=SOME     STRING)"));
    EXPECT_TRUE(match("(x-gnp-clients=12.5   -3.0 7.25)"));
    EXPECT_FALSE(match("(name=somestring)"));
    // Integers compare as numbers; another type never matches.
    EXPECT_TRUE(match("(x-GNP-num=01)"));
    EXPECT_TRUE(match("(neg=-7)"));
    EXPECT_FALSE(match("(x-GNP-num=1x)"));
    // Any value of a multi-valued attribute; keywords only for presence.
    EXPECT_TRUE(match("(multi=3)"));
    EXPECT_FALSE(match("(multi=4)"));
    EXPECT_TRUE(match("(words=BETA)"));
    EXPECT_FALSE(match("(x-ready=x)"));
    EXPECT_TRUE(match("(star=a\\2ab)"));
}

TEST_F(FilterTest, ApproximateIsEquality) {
    EXPECT_TRUE(match("(addr~=128.2.1.7)"));
    EXPECT_TRUE(match("(name~=some string)"));
    EXPECT_FALSE(match("(addr~=128.2.1.8)"));
}

TEST_F(FilterTest, Presence) {
    EXPECT_TRUE(match("(x-ready=*)"));
    EXPECT_TRUE(match("(X-Ready=*)"));
    EXPECT_TRUE(match("(addr=*)"));
    EXPECT_FALSE(match("(absent=*)"));
}

TEST_F(FilterTest, SubstringWildcards) {
    EXPECT_TRUE(match("(addr=128.2.*)"));
    EXPECT_TRUE(match("(addr=*.1.7)"));
    EXPECT_TRUE(match("(addr=1*2*7)"));
    EXPECT_TRUE(match("(addr=*2.1*)"));
    EXPECT_TRUE(match("(addr=**)"));
    EXPECT_FALSE(match("(addr=*9*)"));
    EXPECT_FALSE(match("(addr=128*128*)"));  // pieces may not overlap
    EXPECT_TRUE(match("(name=SOME*str*)"));
    EXPECT_TRUE(match("(name=some *)"));
    EXPECT_FALSE(match("(name=somes*)"));
    EXPECT_TRUE(match("(words=be*)"));
    EXPECT_TRUE(match("(star=a*b)"));
    EXPECT_FALSE(match("(addr=\\2a)"));     // an escaped star is a literal star
    EXPECT_FALSE(match("(x-GNP-num=1*)"));  // Integers never match a pattern
    EXPECT_FALSE(match("(absent=a*)"));
}

TEST_F(FilterTest, LessOrEqualAndGreaterOrEqual) {
    EXPECT_TRUE(match("(x-GNP-num<=1)"));
    EXPECT_FALSE(match("(x-GNP-num<=0)"));
    EXPECT_TRUE(match("(x-GNP-num>=-5)"));
    EXPECT_TRUE(match("(neg<=-7)"));
    EXPECT_FALSE(match("(neg>=0)"));
    EXPECT_TRUE(match("(multi>=3)"));
    EXPECT_FALSE(match("(multi>=4)"));
    EXPECT_TRUE(match("(multi<=1)"));
    EXPECT_FALSE(match("(x-GNP-num<=one)"));
    // Strings in byte order of their folded text, over the whole length.
    EXPECT_TRUE(match("(name<=SOME STRING)"));
    EXPECT_TRUE(match("(name<=z)"));
    EXPECT_FALSE(match("(name>=t)"));
    EXPECT_TRUE(match("(name>=some)"));
    EXPECT_FALSE(match("(name<=some)"));
    EXPECT_TRUE(match("(blob<=\\FF\\00\\02)"));
    EXPECT_FALSE(match("(blob>=\\FF\\00\\02)"));
    EXPECT_FALSE(match("(flag<=true)"));  // Booleans have equality only
}

TEST_F(FilterTest, BooleansAndOpaques) {
    EXPECT_TRUE(match("(flag=TRUE)"));
    EXPECT_FALSE(match("(flag=false)"));
    EXPECT_FALSE(match("(flag=1)"));
    EXPECT_TRUE(match("(blob=\\FF\\00\\01)"));
    EXPECT_TRUE(match("(blob=\\ff\\00\\01)"));
    EXPECT_FALSE(match("(blob=\\FF\\00\\02)"));
    EXPECT_FALSE(match("(blob=001)"));
}

TEST_F(FilterTest, AndOrNot) {
    EXPECT_TRUE(match("(&(addr=128.2.1.7)(mask=255.255.255.255))"));
    EXPECT_FALSE(match("(&(addr=128.2.1.7)(mask=255.255.0.0))"));
    EXPECT_TRUE(match("(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=12.5 -3.0 7.25)))"));
    EXPECT_FALSE(match("(|(foo=bar)(&(x-GNP-num=2)(x-GNP-clients=12.5 -3.0 7.25)))"));
    EXPECT_TRUE(match("(&(addr=128.2.1.7))"));
    EXPECT_FALSE(match("(|(foo=bar)(x=y))"));
    EXPECT_TRUE(match("(!(foo=bar))"));
    EXPECT_FALSE(match("(!(addr=128.2.1.7))"));
    EXPECT_TRUE(match("(&(!(multi=9))(|(flag=false)(words=alpha)))"));
    EXPECT_TRUE(match(""));  // no predicate: everything matches
}

TEST_F(FilterTest, MalformedFiltersAreRefused) {
    for (const char* bad :
         {"(&(addr=128.2.1.7)(mask=255.255.255.255)",  // last ')' missing
          "addr=1", "(addr=1))", "(addr=1) ", " (addr=1)", "( addr=1)", "(addr =1)",
          "(&(a=1) (b=2))", "()", "(&)", "(|)", "(!)", "(!(a=1)(b=2))", "(a<1)", "(a>1)", "(a~1)",
          "(=1)", "(a=)", "(a=b(c)", "(a=\\zz)", "(a=\\4)", "(a<=1*)", "(a~=x*)", "(a>=*)", "(*=1)",
          "(a*b=1)", "(a=1)(b=2)",
          // A blank next to a value is a blank outside it.
          "(flag= true)", "(flag=true )", "(addr=\t128.2.1.7)", "(name=  SOME     STRING  )",
          "(name= some*)", "(name=some* )", "(x= *)", "(a)", "(", ")", "(&(a=1)", "x"}) {
        EXPECT_FALSE(parses(bad)) << bad;
        Filter f;
        f.parse(bad);
        EXPECT_FALSE(f.matches(mAttrs)) << bad;  // a failed filter never matches
    }
}

TEST_F(FilterTest, NestingAndLeavesAreBounded) {
    auto nested = [](int depth) {
        std::string s;
        for (int i = 1; i < depth; ++i) s += "(&";
        s += "(addr=128.2.1.7)";
        for (int i = 1; i < depth; ++i) s += ")";
        return s;
    };
    auto wide = [](int leaves) {
        std::string s = "(|";
        for (int i = 0; i < leaves; ++i) s += "(addr=128.2.1.7)";
        return s + ")";
    };
    const slpda::FilterLimits limits;
    EXPECT_TRUE(match(nested(limits.maxDepth)));
    EXPECT_FALSE(parses(nested(limits.maxDepth + 1)));
    EXPECT_FALSE(parses(nested(100000)));
    EXPECT_TRUE(match(wide(limits.maxLeaves)));
    EXPECT_FALSE(parses(wide(limits.maxLeaves + 1)));
    Filter f;
    EXPECT_TRUE(f.parse(wide(100), {2, 100}));
    EXPECT_FALSE(f.parse(nested(3), {2, 100}));
}

TEST(SlpAttributes, ListsParseIntoTypedAttributes) {
    std::vector<Attribute> a;
    ASSERT_EQ(slpda::parseAttrList(" (A=1, 02) , kw ,(s=x\\2cy),(B=TRUE),(a=3)", &a),
              AttrParse::kOk);
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a[0].tag, "a");
    EXPECT_EQ(a[0].type, slpda::ValueType::kInteger);
    EXPECT_EQ(a[0].ints, (std::vector<int64_t>{1, 2, 3}));  // repeated tags merge
    // Sorted by tag.
    EXPECT_EQ(a[1].type, slpda::ValueType::kBoolean);
    EXPECT_TRUE(a[2].keyword);
    EXPECT_EQ(a[3].values, std::vector<std::string>{"x,y"});
    EXPECT_EQ(slpda::attributeCount(a), 6u);
    ASSERT_EQ(slpda::parseAttrList("", &a), AttrParse::kOk);
    EXPECT_TRUE(a.empty());

    EXPECT_EQ(slpda::parseAttrList("(x=1,abc)", &a), AttrParse::kTypeError);
    EXPECT_EQ(slpda::parseAttrList("(x=1),(x=abc)", &a), AttrParse::kTypeError);
    for (const char* bad : {"(x=1", "((x=1)", "(=1)", "(x)", "(x=\\4)", "(a=1),,b", "(a=1)b", "a(b",
                            "(a*=1)", "(a=(1))"}) {
        EXPECT_EQ(slpda::parseAttrList(bad, &a), AttrParse::kParseError) << bad;
    }
    int64_t n = 0;
    EXPECT_TRUE(slpda::parseSlpInteger("-2147483648", &n));
    EXPECT_FALSE(slpda::parseSlpInteger("2147483648", &n));
    EXPECT_FALSE(slpda::parseSlpInteger("+1", &n));
}

TEST(SlpText, ServiceTypesMatchWithOrWithoutPrefix) {
    EXPECT_TRUE(slpda::typeMatches("ESMProxy", "service:ESMProxy"));
    EXPECT_TRUE(slpda::typeMatches("service:ESMProxy", "service:ESMProxy"));
    EXPECT_TRUE(slpda::typeMatches("SERVICE:esmproxy", "service:ESMProxy"));
    EXPECT_FALSE(slpda::typeMatches("ESM", "service:ESMProxy"));
    EXPECT_FALSE(slpda::typeMatches("", "service:ESMProxy"));
    EXPECT_TRUE(slpda::typeMatches("printer", "service:printer:lpr"));
    EXPECT_TRUE(slpda::typeMatches("service:printer:lpr", "service:printer:lpr"));
    EXPECT_FALSE(slpda::typeMatches("printer:http", "service:printer:lpr"));
    EXPECT_FALSE(slpda::typeMatches("lpr", "service:printer:lpr"));
    EXPECT_TRUE(slpda::typeMatches("http", "http"));
    EXPECT_EQ(slpda::urlServiceType("service:CompResource://10.0.0.9/?x-GNP-num=1"),
              "service:CompResource");
    EXPECT_EQ(slpda::fold("  Some \t  String \r\n"), "some string");
    EXPECT_EQ(slpda::logSafe("a\"b\nc\x80"), "a\\22b\\0ac\\80");
}

namespace {

slpda::Registration reg(const std::string& url, uint16_t lifetime, const std::string& attrs = "",
                        std::vector<std::string> scopes = {"default"},
                        const std::string& lang = "en") {
    slpda::Registration r;
    r.url = url;
    r.lang = lang;
    r.type = slpda::urlServiceType(url);
    r.lifetime = lifetime;
    r.scopes = std::move(scopes);
    EXPECT_EQ(slpda::parseAttrList(attrs, &r.attrs), AttrParse::kOk);
    return r;
}

std::vector<UrlEntry> findAll(slpda::Store& s, int64_t nowMs, const std::string& filter = "",
                              const std::string& type = "ESMProxy",
                              std::vector<std::string> scopes = {"DEFAULT"}) {
    Filter f;
    EXPECT_TRUE(f.parse(filter));
    return s.find(type, scopes, f, nowMs);
}

const char kP1[] = "service:ESMProxy://127.0.0.5:7020";
const char kP2[] = "service:ESMProxy://127.0.0.6:7021";

}  // namespace

TEST(SlpStore, KeepsRegistrationOrderAndMovesFreshReplacementsToTheEnd) {
    slpda::Store s;
    EXPECT_EQ(s.add(reg(kP1, 65535, "(addr=1)"), true, 0), 0);
    EXPECT_EQ(s.add(reg(kP2, 65535), true, 0), 0);
    EXPECT_EQ(findAll(s, 0), (std::vector<UrlEntry>{{65535, kP1}, {65535, kP2}}));
    EXPECT_EQ(s.add(reg(kP1, 65535, "(addr=2)"), true, 0), 0);
    EXPECT_EQ(findAll(s, 0), (std::vector<UrlEntry>{{65535, kP2}, {65535, kP1}}));
    EXPECT_TRUE(findAll(s, 0, "(addr=1)").empty());  // replaced entirely
    EXPECT_EQ(findAll(s, 0, "(addr=2)").size(), 1u);
    // The same URL in another language is answered once.
    EXPECT_EQ(s.add(reg(kP1, 65535, "", {"default"}, "de"), true, 0), 0);
    EXPECT_EQ(findAll(s, 0).size(), 2u);
    EXPECT_TRUE(findAll(s, 0, "", "CompResource").empty());
    EXPECT_TRUE(findAll(s, 0, "", "ESMProxy", {"other"}).empty());
    EXPECT_EQ(s.add(reg(kP1, 0), true, 0), slpwire::kInvalidRegistration);
}

TEST(SlpStore, LifetimesRunOutButPermanentEntriesNeverAge) {
    slpda::Store s;
    s.add(reg(kP1, 10), true, 1000);
    s.add(reg(kP2, 65535), true, 1000);
    EXPECT_EQ(findAll(s, 1000), (std::vector<UrlEntry>{{10, kP1}, {65535, kP2}}));
    EXPECT_EQ(findAll(s, 5500), (std::vector<UrlEntry>{{6, kP1}, {65535, kP2}}));
    EXPECT_EQ(findAll(s, 10999), (std::vector<UrlEntry>{{1, kP1}, {65535, kP2}}));
    EXPECT_EQ(findAll(s, 11000), (std::vector<UrlEntry>{{65535, kP2}}));
    EXPECT_EQ(s.size(int64_t{1} << 40), 1u);
}

TEST(SlpStore, UpdatesNeedAnExistingEntryWithTheSameTypeAndScopes) {
    slpda::Store s;
    EXPECT_EQ(s.add(reg(kP1, 100, "(a=1),(b=2)"), false, 0), slpwire::kInvalidUpdate);
    s.add(reg(kP1, 100, "(a=1),(b=2)"), true, 0);
    EXPECT_EQ(s.add(reg(kP1, 100, "(a=5)", {"other"}), false, 0), slpwire::kScopeNotSupported);
    slpda::Registration other = reg(kP1, 100, "(a=5)");
    other.type = "service:Other";
    EXPECT_EQ(s.add(other, false, 0), slpwire::kInvalidUpdate);
    EXPECT_EQ(s.add(reg(kP1, 300, "(a=5),(c=3)"), false, 50000), 0);
    EXPECT_EQ(findAll(s, 50000, "(&(a=5)(b=2)(c=3))"), (std::vector<UrlEntry>{{300, kP1}}));
    EXPECT_TRUE(findAll(s, 50000, "(a=1)").empty());
}

TEST(SlpStore, DeregistrationRemovesUrlsOrTags) {
    slpda::Store s;
    s.add(reg(kP1, 65535, "(addr=1),(mask=2),(x-one=1),(x-two=2)"), true, 0);
    s.add(reg(kP2, 65535), true, 0);
    EXPECT_EQ(s.remove(kP1, {"other"}, "", 0), slpwire::kScopeNotSupported);
    EXPECT_EQ(s.remove(kP1, {"DEFAULT"}, "x-*, MASK", 0), 0);
    EXPECT_EQ(findAll(s, 0, "(addr=1)").size(), 1u);
    EXPECT_TRUE(findAll(s, 0, "(|(mask=*)(x-one=*)(x-two=*))").empty());
    EXPECT_EQ(s.remove(kP1, {"default"}, "", 0), 0);
    EXPECT_EQ(findAll(s, 0), (std::vector<UrlEntry>{{65535, kP2}}));
    EXPECT_EQ(s.remove("service:ESMProxy://unknown", {"default"}, "", 0), 0);
}

TEST(SlpStore, IndexedLookupsFindWhatAFullScanFinds) {
    // Registrations of several types and value types; every filter's answer must equal a scan.
    slpda::Store s;
    std::vector<slpda::Registration> all;
    for (int i = 0; i < 300; ++i) {
        const std::string n = std::to_string(i % 7);
        slpda::Registration r =
            i % 3 == 0   ? reg("service:ESMProxy://127.0.1." + std::to_string(i) + ":1", 65535,
                               "(addr=10.0.0." + n + "),(mask=255.255.255.255)")
            : i % 3 == 1 ? reg("service:printer:lpr://h" + std::to_string(i), 65535,
                               "(x=" + n + "),(flag=" + (i % 2 ? "true" : "false") +
                                   "),(blob=\\FF\\0" + n + "),kw")
                         : reg("service:printer:http://h" + std::to_string(i), 65535,
                               "(x=" + n + ",100),(name=Some  Name " + n + ")",
                               {i % 2 ? "default" : "other"});
        ASSERT_EQ(s.add(r, true, 0), 0);
        all.push_back(r);
    }
    const std::pair<const char*, const char*> queries[] = {
        {"ESMProxy", "(&(addr=10.0.0.3)(mask=255.255.255.255))"},
        {"ESMProxy", "(|(addr=10.0.0.1)(addr=10.0.0.6))"},
        {"ESMProxy", "(&(addr=10.0.0.3)(!(mask=1)))"},
        {"ESMProxy", "(addr=10.0.0.*)"},
        {"printer", "(x=03)"},
        {"printer", "(&(x=3)(flag=TRUE))"},
        {"service:printer:http", "(x=100)"},
        {"printer", "(blob=\\ff\\03)"},
        {"printer", "(|(x=1)(name=some name 2))"},
        {"printer", "(|(x=1)(kw=*))"},
        {"printer:lpr", "(x>=5)"},
        {"printer", ""},
        {"printer", "(x=nothing)"},
    };
    for (const auto& [type, pred] : queries) {
        Filter f;
        ASSERT_TRUE(f.parse(pred)) << pred;
        std::vector<UrlEntry> expected;
        for (const slpda::Registration& r : all) {
            if (slpda::typeMatches(type, r.type) && slpda::scopesIntersect({"default"}, r.scopes) &&
                f.matches(r.attrs)) {
                expected.push_back({65535, r.url});
            }
        }
        EXPECT_EQ(s.find(type, {"default"}, f, 0), expected) << type << " " << pred;
    }
}

TEST(SlpStore, FileEntriesComeFirstAndAreReplacedWhole) {
    slpda::Store s;
    const char kP3[] = "service:ESMProxy://127.0.0.7:7022";
    EXPECT_EQ(s.replaceFileEntries({reg(kP1, 65535, "(f=1)"), reg(kP2, 65535, "(f=1)")}, 0), 2u);
    EXPECT_EQ(s.add(reg(kP3, 300, "(n=1)"), true, 0), 0);
    EXPECT_EQ(s.add(reg(kP2, 300, "(n=1)"), true, 0), 0);  // the network takes kP2 over
    // Read again: kP1 changes, kP2 stays the network's, the network's kP3 is kept.
    EXPECT_EQ(s.replaceFileEntries({reg(kP2, 65535, "(f=2)"), reg(kP1, 65535, "(f=2)")}, 0), 1u);
    EXPECT_EQ(findAll(s, 0), (std::vector<UrlEntry>{{65535, kP1}, {300, kP3}, {300, kP2}}));
    EXPECT_EQ(findAll(s, 0, "(f=2)"), (std::vector<UrlEntry>{{65535, kP1}}));
    EXPECT_EQ(findAll(s, 0, "(n=1)").size(), 2u);
    EXPECT_EQ(s.replaceFileEntries({}, 0), 0u);
    EXPECT_EQ(s.size(0), 2u);
}

TEST(SlpStore, ALookupStopsAtItsWorkLimit) {
    slpda::Store s;
    for (int i = 0; i < 100; ++i) {
        s.add(reg("service:ESMProxy://h" + std::to_string(i), 65535,
                  "(a=" + std::string(200, 'v') + "),(b=" + std::to_string(i) + ")"),
              true, 0);
    }
    Filter f;
    ASSERT_TRUE(f.parse("(|(a=*x*)(b=7))"));
    // Per entry: 4, the first item 1 + (1 + 200 / 64), the second 1 + 1.
    bool over = false;
    EXPECT_EQ(s.find("ESMProxy", {"default"}, f, 0, 100 * 11, &over).size(), 1u);
    EXPECT_FALSE(over);
    EXPECT_TRUE(s.find("ESMProxy", {"default"}, f, 0, 100 * 11 - 1, &over).empty());
    EXPECT_TRUE(over);
    // An indexed lookup tries one entry.
    ASSERT_TRUE(f.parse("(&(b=7)(a=*v*))"));
    EXPECT_EQ(s.find("ESMProxy", {"default"}, f, 0, 20, &over).size(), 1u);
    EXPECT_FALSE(over);
}

TEST(SlpRegFile, ReadsRegistrationsCommentsAndScopes) {
    const std::string text =
        "\n# running ESM proxy that serves exactly client endpoint 128.2.1.7\n"
        "service:ESMProxy://127.0.0.5:7020,en,65535\r\n"
        "scopes=DEFAULT\n"
        "  addr=128.2.1.7\n"
        "; a comment inside the registration\n"
        "mask=255.255.255.255\n"
        "\n \t\n"
        "service:ESMProxy://127.0.0.6:7020 , en , 300 , ignored-type\n"
        "addr=10.1.0.0\n"
        "x-ready\n"
        "\n"
        "service:CompResource://127.0.0.9/?x-GNP-num=1,en,65535\n"
        "x-GNP-num=1\n"
        "x-GNP-clients=12.5 -3.0 7.25";
    std::vector<slpda::Registration> regs;
    slpda::RegFileError error;
    ASSERT_TRUE(slpda::parseRegFile(text, {"default", "other"}, {}, &regs, &error)) << error.reason;
    ASSERT_EQ(regs.size(), 3u);
    EXPECT_EQ(regs[0].url, "service:ESMProxy://127.0.0.5:7020");
    EXPECT_EQ(regs[0].type, "service:ESMProxy");
    EXPECT_EQ(regs[0].lifetime, 65535);
    EXPECT_EQ(regs[0].scopes, std::vector<std::string>{"DEFAULT"});
    Filter f;
    ASSERT_TRUE(f.parse("(&(addr=128.2.1.7)(mask=255.255.255.255))"));
    EXPECT_TRUE(f.matches(regs[0].attrs));
    EXPECT_EQ(regs[1].lifetime, 300);
    EXPECT_EQ(regs[1].scopes, (std::vector<std::string>{"default", "other"}));
    ASSERT_TRUE(f.parse("(&(addr=10.1.0.0)(x-ready=*))"));
    EXPECT_TRUE(f.matches(regs[1].attrs));
    EXPECT_EQ(regs[2].type, "service:CompResource");
    ASSERT_TRUE(f.parse("(&(x-GNP-num=1)(x-GNP-clients=12.5 -3.0 7.25))"));
    EXPECT_TRUE(f.matches(regs[2].attrs));
}

TEST(SlpRegFile, MalformedFilesAreRefusedWhole) {
    const std::string longLine = "service:a://h,en,10\nx=" + std::string(4094, 'v') + "\n";
    const struct {
        std::string text;
        int line;
        const char* why;
    } cases[] = {
        {"service:a://h,en,0\n", 1, "lifetime must be 1..65535"},
        {"service:a://h,en,65536\n", 1, "lifetime must be 1..65535"},
        {"service:a://h,en,ten\n", 1, "lifetime must be 1..65535"},
        {"service:a://h,en\n", 1, "expected url,language-tag,lifetime[,service-type]"},
        {"service:a://h,,10\n", 1, "the language tag is empty"},
        {"service:a:h,en,10\n", 1, "the URL has no \"://\""},
        {"service:ESMProxy://127.0.0.6:70200,en,10\n", 1, "port 70200 is not in 1..65535"},
        {"service:x://u@h:0/p,en,10\n", 1, "port 0 is not in 1..65535"},
        {"service:x://h:7o2,en,10\n", 1, "port \"7o2\" is not a number"},
        {"service:ESMProxy://127.0.0.6/,en,10\n", 1, "an ESMProxy URL needs a port"},
        {"ESMProxy://127.0.0.5:7020,en,10\n", 1, "the URL does not start with \"service:\""},
        {"service:a://h,en,10\n\nservice:b://h,en,10\nscopes=elsewhere\n", 4,
         "a scope that this DA does not serve"},
        {"service:a://h,en,10\nscopes=default,,x\n", 2, "bad scope \"\" in the scope list"},
        {"service:a://h,en,10\nscopes=default\nscopes=default\n", 3, "a second scopes line"},
        {"service:a://h,en,10\nx=1\n# c\nx=abc\n", 4,
         "values of different types for one attribute"},
        {"service:a://h,en,10\naddr=1\nx=(1)\n", 3, "malformed attribute"},
        {"service:a://h,en,10\naddr=1\nmask 255.255.255.255\n", 3,
         "\"mask 255.255.255.255\" is neither tag=value nor a keyword"},
        {"service:a://h,en,10\nx=1,2,3\ny\n", 3,
         "more than 3 attribute values and keywords in one registration (--max-attrs)"},
        {"service:a://h,en,10\n\nservice:b://h,en,10\n\nservice:c://h,en,10\n", 5,
         "more than 2 registrations (--max-registrations)"},
        {longLine, 2, "longer than 4095 characters"},
    };
    const slpda::RegFileLimits limits{3, 2};
    for (const auto& c : cases) {
        std::vector<slpda::Registration> regs;
        slpda::RegFileError error;
        EXPECT_FALSE(slpda::parseRegFile(c.text, {"default"}, limits, &regs, &error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_EQ(error.reason, c.why) << c.text;
        EXPECT_TRUE(regs.empty());
    }
}

// glibc's fclose leaves errno alone when it succeeds, but nothing promises that: this one sets
// it, so that a reader that takes errno after closing reports the wrong reason.
extern "C" int fclose(FILE* f) {
    static const auto real = reinterpret_cast<int (*)(FILE*)>(dlsym(RTLD_NEXT, "fclose"));
    const int r = real(f);
    errno = ESPIPE;
    return r;
}

TEST(SlpRegFile, ReadFailuresGiveTheirOwnReason) {
    testutil::TempDir dir;
    ASSERT_TRUE(testutil::spit(dir.file("big"), std::string(slpda::kMaxRegFile + 1, '#')));
    for (const auto& [path, reason] :
         {std::pair<std::string, std::string>{dir.path(), strerror(EISDIR)},
          {dir.file("none"), strerror(ENOENT)},
          {dir.file("big"), strerror(EFBIG)}}) {
        std::string text, why;
        EXPECT_FALSE(slpda::readRegFile(path, &text, &why));
        EXPECT_EQ(why, path + ": " + reason);
    }
}

namespace {

class AgentTest : public ::testing::Test {
protected:
    AgentTest() : mAgent(config()) {
        mAgent.store().add(reg(kP1, 65535, "(addr=128.2.1.7)"), true, 0);
        mFrom.localAddrNet = htonl(0x7f000033);  // 127.0.0.51
        mFrom.peerAddrNet = htonl(0x7f000001);
        mFrom.peer = "127.0.0.1:5000";
    }
    static slpda::AgentConfig config() {
        slpda::AgentConfig c;
        c.scopes = {"default"};
        c.bootTime = 1234;
        return c;
    }
    // Handles msg; mReply is the first reply, mReplies all of them.
    bool handle(const Bytes& msg) {
        bool sent = mAgent.handle(msg.data(), msg.size(), mFrom, &mReplies, &mLog);
        mReply = mReplies.empty() ? Bytes() : mReplies[0];
        return sent;
    }
    static Bytes rqst(const std::string& type, const std::string& scope, const std::string& pred,
                      uint16_t flags = 0, const std::string& prlist = "",
                      const std::string& spi = "") {
        Bytes b;
        slpwire::encodeSrvRqst(0x1234, "en", flags, prlist, type, scope, pred, spi, &b);
        return b;
    }
    uint16_t replyError() {
        return mReply.size() >= 18 ? static_cast<uint16_t>(mReply[16] << 8 | mReply[17]) : 0xffff;
    }

    slpda::DirectoryAgent mAgent;
    slpda::Arrival mFrom;
    slpda::Replies mReplies;
    Bytes mReply;
    std::string mLog;
};

}  // namespace

TEST_F(AgentTest, LogsEveryRequestOnOneLine) {
    ASSERT_TRUE(handle(rqst("ESMProxy", "default", "(addr=128.2.1.7)")));
    EXPECT_EQ(mLog,
              "udp 127.0.0.1:5000 SrvRqst type=\"ESMProxy\" scope=\"default\" "
              "predicate=\"(addr=128.2.1.7)\" urls=1 error=0");
    ASSERT_TRUE(handle(rqst("ESMProxy", "default", "(addr=\"x\ny)")));
    EXPECT_EQ(mLog,
              "udp 127.0.0.1:5000 SrvRqst type=\"ESMProxy\" scope=\"default\" "
              "predicate=\"(addr=\\22x\\0ay)\" urls=0 error=0");
    EXPECT_FALSE(handle({1, 2, 3}));
    EXPECT_EQ(mLog, "udp 127.0.0.1:5000 malformed message of 3 bytes dropped");
}

TEST_F(AgentTest, RequestChecksComeInOrder) {
    ASSERT_TRUE(handle(rqst("ESMProxy", "default", "", 0, "", "spi")));
    EXPECT_EQ(replyError(), slpwire::kAuthenticationUnknown);
    ASSERT_TRUE(handle(rqst("", "default", "")));
    EXPECT_EQ(replyError(), slpwire::kParseError);
    ASSERT_TRUE(handle(rqst("ESMProxy", "", "")));
    EXPECT_EQ(replyError(), slpwire::kScopeNotSupported);
    ASSERT_TRUE(handle(rqst("ESMProxy", "default", "(addr=")));
    EXPECT_EQ(replyError(), slpwire::kParseError);
    ASSERT_TRUE(handle(rqst("service:service-agent", "default", "")));
    EXPECT_EQ(mReply, slptest::srvRply(0x1234, 0, {}));
    // Our own address in the previous responders: we answered already.
    EXPECT_FALSE(handle(rqst("ESMProxy", "default", "", 0, "127.0.0.9,127.0.0.51")));
    EXPECT_TRUE(mReply.empty());
    EXPECT_NE(mLog.find(" no reply"), std::string::npos);
}

TEST_F(AgentTest, DirectoryAgentRequestsGetAnAdvert) {
    ASSERT_TRUE(handle(rqst("service:directory-agent", "DEFAULT", "")));
    Bytes expected;
    slpwire::encodeDAAdvert(0x1234, "en", 0, 1234, "service:directory-agent://127.0.0.51",
                            "default", &expected);
    EXPECT_EQ(mReply, expected);
    ASSERT_TRUE(handle(rqst("service:directory-agent", "", "")));
    EXPECT_EQ(mReply, expected);
    ASSERT_TRUE(handle(rqst("service:directory-agent", "other", "")));
    slpwire::encodeDAAdvert(0x1234, "en", slpwire::kScopeNotSupported, 1234,
                            "service:directory-agent://127.0.0.51", "default", &expected);
    EXPECT_EQ(mReply, expected);
}

TEST_F(AgentTest, MulticastRequestsGetNoErrorsAndNoEmptyAnswers) {
    const uint16_t mc = slpwire::kFlagMcast;
    EXPECT_TRUE(handle(rqst("ESMProxy", "default", "(addr=128.2.1.7)", mc)));
    EXPECT_FALSE(handle(rqst("ESMProxy", "default", "(addr=1.1.1.1)", mc)));
    EXPECT_FALSE(handle(rqst("ESMProxy", "other", "", mc)));
    EXPECT_FALSE(handle(rqst("ESMProxy", "default", "(", mc)));
    EXPECT_TRUE(handle(rqst("service:directory-agent", "default", "", mc)));
}

TEST_F(AgentTest, OtherMessagesAndMandatoryExtensions) {
    Bytes attr = rqst("ESMProxy", "default", "");
    attr[1] = slpwire::kAttrRqst;
    ASSERT_TRUE(handle(attr));
    Bytes expected;
    slpwire::encodeErrorReply(slpwire::kAttrRply, 0x1234, "en", slpwire::kMsgNotSupported,
                              &expected);
    EXPECT_EQ(mReply, expected);
    EXPECT_EQ(mLog, "udp 127.0.0.1:5000 AttrRqst error=14");

    Bytes ack;
    slpwire::encodeSrvAck(9, "en", 0, &ack);
    EXPECT_FALSE(handle(ack));
    EXPECT_EQ(mLog, "udp 127.0.0.1:5000 SrvAck ignored");

    Bytes ext = rqst("ESMProxy", "default", "");
    size_t off = ext.size();
    ext.insert(ext.end(), {0x40, 0x02, 0, 0, 0});
    ext[4] = static_cast<uint8_t>(ext.size());
    ext[9] = static_cast<uint8_t>(off);
    ASSERT_TRUE(handle(ext));
    EXPECT_EQ(replyError(), slpwire::kOptionNotUnderstood);
}

TEST_F(AgentTest, RegistrationsAreCheckedAndAcknowledged) {
    auto srvReg = [](uint16_t flags, uint16_t life, const std::string& scopes,
                     const std::string& attrs, const std::string& lang = "en") {
        Bytes b;
        slpwire::encodeSrvReg(7, lang, flags, {life, "service:ESMProxy://127.0.0.7:7022"},
                              "service:ESMProxy", scopes, attrs, &b);
        return b;
    };
    const uint16_t fresh = slpwire::kFlagFresh;
    auto ackError = [this]() {
        return static_cast<uint16_t>(mReply[mReply.size() - 2] << 8 | mReply.back());
    };
    ASSERT_TRUE(handle(srvReg(fresh, 0, "default", "")));
    EXPECT_EQ(ackError(), slpwire::kInvalidRegistration);
    ASSERT_TRUE(handle(srvReg(fresh, 10, "default", "", "")));
    EXPECT_EQ(ackError(), slpwire::kInvalidRegistration);
    Bytes badPort;
    slpwire::encodeSrvReg(7, "en", fresh, {10, "service:ESMProxy://h:70200"}, "", "default", "",
                          &badPort);
    ASSERT_TRUE(handle(badPort));
    EXPECT_EQ(ackError(), slpwire::kInvalidRegistration);
    EXPECT_NE(mLog.find("error=3 (port 70200 is not in 1..65535)"), std::string::npos) << mLog;
    ASSERT_TRUE(handle(srvReg(fresh, 10, "default,other", "")));
    EXPECT_EQ(ackError(), slpwire::kScopeNotSupported);
    ASSERT_TRUE(handle(srvReg(fresh, 10, "default", "(a=1")));
    EXPECT_EQ(ackError(), slpwire::kParseError);
    ASSERT_TRUE(handle(srvReg(fresh, 10, "default", "(a=1,x)")));
    EXPECT_EQ(ackError(), slpwire::kInvalidRegistration);
    ASSERT_TRUE(handle(srvReg(0, 10, "default", "(a=1)")));
    EXPECT_EQ(ackError(), slpwire::kInvalidUpdate);
    ASSERT_TRUE(handle(srvReg(fresh, 10, "DEFAULT", "(a=1)")));
    EXPECT_EQ(ackError(), 0);
    EXPECT_EQ(mLog,
              "udp 127.0.0.1:5000 SrvReg url=\"service:ESMProxy://127.0.0.7:7022\" "
              "type=\"service:ESMProxy\" scope=\"DEFAULT\" lifetime=10 error=0");
    ASSERT_TRUE(handle(rqst("ESMProxy", "default", "(a=1)")));
    slpwire::SrvRply r;
    ASSERT_EQ(slpwire::parseSrvRply(mReply.data(), mReply.size(), &r), slpwire::ReplyParse::kOk);
    EXPECT_EQ(r.urls, (std::vector<UrlEntry>{{10, "service:ESMProxy://127.0.0.7:7022"}}));
}

TEST_F(AgentTest, LargeAnswersOverUdpAreCutAndFlagged) {
    for (int i = 0; i < 40; ++i) {
        std::string url =
            "service:ESMProxy://127.0.1." + std::to_string(i) + ":7020/padding-padding";
        mAgent.store().add(reg(url, 65535), true, 0);
    }
    ASSERT_TRUE(handle(rqst("ESMProxy", "default", "")));
    EXPECT_LE(mReply.size(), slpda::DirectoryAgent::kUdpMax);
    slpwire::SrvRply r;
    ASSERT_EQ(slpwire::parseSrvRply(mReply.data(), mReply.size(), &r), slpwire::ReplyParse::kOk);
    EXPECT_EQ(r.hdr.flags, slpwire::kFlagOverflow);
    EXPECT_LT(r.urls.size(), 41u);
    mFrom.tcp = true;
    ASSERT_TRUE(handle(rqst("ESMProxy", "default", "")));
    ASSERT_EQ(slpwire::parseSrvRply(mReply.data(), mReply.size(), &r), slpwire::ReplyParse::kOk);
    EXPECT_EQ(r.hdr.flags, 0);
    EXPECT_EQ(r.urls.size(), 41u);
}

TEST_F(AgentTest, LoopbackDiscoveryEndsWithAnErrorAdvert) {
    // As captured: the DA on 127.0.0.1 answers a loopback client with its DAAdvert and then the
    // same DAAdvert with INTERNAL_ERROR, which ends the client's wait for more.
    slpda::AgentConfig c = config();
    c.bootTime = 0x6b182bc8;  // the captured agent's boot time
    slpda::DirectoryAgent agent(c);
    mFrom.localAddrNet = htonl(0x7f000001);
    const slpda::Replies both = {slptest::vector("daadvert_reply"),
                                 slptest::vector("daadvert_reply_second")};
    for (bool tcp : {false, true}) {
        mFrom.tcp = tcp;
        Bytes req = slptest::vector("srvrqst_da_discovery");
        ASSERT_TRUE(agent.handle(req.data(), req.size(), mFrom, &mReplies, &mLog));
        EXPECT_EQ(mReplies, both) << (tcp ? "tcp" : "udp");
    }
    // The local-agent handshake: no scope list, over TCP.
    Bytes handshake;
    slpwire::encodeSrvRqst(0xbdf5, "en", 0, "", "service:directory-agent", "", "", "", &handshake);
    ASSERT_EQ(handshake.size(), 49u);
    ASSERT_TRUE(agent.handle(handshake.data(), handshake.size(), mFrom, &mReplies, &mLog));
    EXPECT_EQ(mReplies, both);
    EXPECT_EQ(mLog,
              "tcp 127.0.0.1:5000 SrvRqst type=\"service:directory-agent\" scope=\"\" "
              "predicate=\"\" urls=1 error=0");

    // One DAAdvert only for another host, a multicast request, or an advert carrying an error.
    mFrom.peerAddrNet = htonl(0x0a000001);
    ASSERT_TRUE(agent.handle(handshake.data(), handshake.size(), mFrom, &mReplies, &mLog));
    EXPECT_EQ(mReplies, slpda::Replies{both[0]});
    mFrom.peerAddrNet = htonl(0x7f000001);
    Bytes mcast = rqst("service:directory-agent", "default", "", slpwire::kFlagMcast);
    ASSERT_TRUE(agent.handle(mcast.data(), mcast.size(), mFrom, &mReplies, &mLog));
    EXPECT_EQ(mReplies.size(), 1u);
    Bytes other = rqst("service:directory-agent", "other", "");
    ASSERT_TRUE(agent.handle(other.data(), other.size(), mFrom, &mReplies, &mLog));
    EXPECT_EQ(mReplies.size(), 1u);
}

TEST_F(AgentTest, OnlyAllowedSendersRegister) {
    auto srvReg = [] {
        Bytes b;
        slpwire::encodeSrvReg(7, "en", slpwire::kFlagFresh, {10, "service:ESMProxy://10.1.0.7:1"},
                              "service:ESMProxy", "default", "(a=1)", &b);
        return b;
    };
    Bytes dereg;
    slpwire::encodeSrvDeReg(8, "en", "default", {0, kP1}, "", &dereg);
    Bytes refused;
    slpwire::encodeSrvAck(7, "en", slpwire::kAuthenticationAbsent, &refused);
    mFrom.peerAddrNet = htonl(0x0a010007);  // 10.1.0.7
    mFrom.peer = "10.1.0.7:427";
    ASSERT_TRUE(handle(srvReg()));
    EXPECT_EQ(mReply, refused);
    EXPECT_EQ(mLog,
              "udp 10.1.0.7:427 SrvReg url=\"service:ESMProxy://10.1.0.7:1\" "
              "type=\"service:ESMProxy\" scope=\"default\" lifetime=10 error=6 "
              "(not allowed to register)");
    ASSERT_TRUE(handle(dereg));
    EXPECT_EQ(mReply.back(), slpwire::kAuthenticationAbsent);
    EXPECT_EQ(mAgent.store().size(0), 1u);  // kP1 is still there

    slpda::AgentConfig c = config();
    std::string bad;
    ASSERT_TRUE(slpda::parseCidrList("192.0.2.1, 10.1.0.0/16", &c.allowReg, &bad));
    slpda::DirectoryAgent widened(c);
    Bytes req = srvReg();
    ASSERT_TRUE(widened.handle(req.data(), req.size(), mFrom, &mReplies, &mLog));
    EXPECT_EQ(mReplies[0].back(), 0);
    mFrom.peerAddrNet = htonl(0x7f000001);  // loopback is no longer in the list
    ASSERT_TRUE(widened.handle(req.data(), req.size(), mFrom, &mReplies, &mLog));
    EXPECT_EQ(mReplies[0].back(), slpwire::kAuthenticationAbsent);

    for (const char* wrong : {"", "10.1.0.0/33", "10.1.0/8", "10.1.0.0/", "a.b.c.d", "1.2.3.4,"}) {
        EXPECT_FALSE(slpda::parseCidrList(wrong, &c.allowReg, &bad)) << wrong;
    }
}

TEST_F(AgentTest, LimitsRefuseLargeMessagesRegistrationsAndStores) {
    slpda::AgentConfig c = config();
    c.limits.maxMessage = 100;
    c.limits.maxAttrs = 2;
    c.limits.maxRegistrations = 2;
    slpda::DirectoryAgent agent(c);
    auto regAt = [&](slpda::DirectoryAgent& a, const std::string& url, const std::string& attrs,
                     uint16_t flags) {
        Bytes b;
        slpwire::encodeSrvReg(7, "en", flags, {10, url}, "service:x", "default", attrs, &b);
        a.handle(b.data(), b.size(), mFrom, &mReplies, &mLog);
        return mReplies.empty() ? -1 : mReplies[0].back();
    };
    auto reg = [&](const std::string& url, const std::string& attrs) {
        return regAt(agent, url, attrs, slpwire::kFlagFresh);
    };
    EXPECT_EQ(reg("service:x://a", "(a=1,2,3)"), slpwire::kInvalidRegistration);
    EXPECT_NE(mLog.find("error=3 (over --max-attrs)"), std::string::npos) << mLog;
    EXPECT_EQ(reg("service:x://a", "(a=1),b"), 0);
    EXPECT_EQ(reg("service:x://b", ""), 0);
    EXPECT_EQ(reg("service:x://c", ""), slpwire::kDaBusyNow);
    EXPECT_NE(mLog.find("error=11 (over --max-registrations)"), std::string::npos) << mLog;
    EXPECT_EQ(reg("service:x://b", "(b=2)"), 0);  // replacing one is still fine
    // Updates may not grow a registration past the limits: in values, nor in bytes.
    EXPECT_EQ(regAt(agent, "service:x://a", "(c=3)", 0), slpwire::kInvalidRegistration);
    EXPECT_NE(mLog.find("error=3 (over --max-attrs)"), std::string::npos) << mLog;
    c.limits.maxAttrs = 128;
    slpda::DirectoryAgent wide(c);
    const std::string v(35, 'v');
    EXPECT_EQ(regAt(wide, "service:x://d", "(a=" + v + ")", slpwire::kFlagFresh), 0);
    EXPECT_EQ(regAt(wide, "service:x://d", "(b=" + v + ")", 0), 0);
    EXPECT_EQ(regAt(wide, "service:x://d", "(c=" + v + ")", 0), slpwire::kInvalidRegistration);
    EXPECT_NE(mLog.find("error=3 (over --max-message)"), std::string::npos) << mLog;

    Bytes big = rqst("x", "default", "(a=" + std::string(80, 'v') + ")");
    EXPECT_FALSE(agent.handle(big.data(), big.size(), mFrom, &mReplies, &mLog));
    EXPECT_EQ(mLog, "udp 127.0.0.1:5000 message of " + std::to_string(big.size()) +
                        " bytes dropped: over the 100-byte limit");
}
