// Value types, address text helpers and the 32-bit number conversions.
#include "EndPoint.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "num_util.h"

namespace {

TEST(TextHelpers, InetAddrFollowsInetAtonRules) {
    EXPECT_EQ(inet_ADDR("255.255.255.255"), 0xFFFFFFFFul);
    EXPECT_EQ(inet_ADDR("not an address"), 0ul);
    EXPECT_EQ(inet_ADDR(""), 0ul);
    EXPECT_EQ(inet_ADDR(nullptr), 0ul);
    EXPECT_EQ(inet_NTOS(inet_ADDR("10.1")), "10.0.0.1");
    EXPECT_EQ(inet_NTOS(inet_ADDR("0x7f.1")), "127.0.0.1");
    EXPECT_EQ(inet_NTOS(inet_ADDR("010.0.0.1")), "8.0.0.1");  // octal part
    EXPECT_EQ(inet_NTOS(inet_ADDR("128.2.1.7")), "128.2.1.7");
    EXPECT_EQ(inet_NTOS(0), "0.0.0.0");
}

TEST(TextHelpers, InetNtosIsSafeOnManyThreads) {
    // A shared result buffer would let one thread read another's address.
    std::vector<std::thread> threads;
    std::vector<int> bad(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &bad] {
            const std::string want = "10.0.0." + std::to_string(t);
            const unsigned long a = inet_ADDR(want.c_str());
            for (int i = 0; i < 20000; ++i) {
                if (inet_NTOS(a) != want) ++bad[static_cast<size_t>(t)];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int b : bad) EXPECT_EQ(b, 0);
}

TEST(TextHelpers, UltostrAndMask2int) {
    EXPECT_EQ(ultostr(4294967295ul), "4294967295");
    EXPECT_EQ(ultostr(0), "0");
    EXPECT_EQ(mask2int(inet_ADDR("255.255.255.0")), 24);
    EXPECT_EQ(mask2int(inet_ADDR("0.0.0.0")), 0);
    EXPECT_EQ(mask2int(inet_ADDR("255.255.255.255")), 32);
    EXPECT_EQ(mask2int(inet_ADDR("255.255.255.128")), 25);
    EXPECT_EQ(mask2int(inet_ADDR("255.0.255.0")), 24);  // only trailing zeros count
}

TEST(NumberText, ParseU32KeepsThirtyTwoBitStrtoulRules) {
    EXPECT_EQ(parseU32("7560"), 7560u);
    EXPECT_EQ(parseU32("  \t42xyz"), 42u);
    EXPECT_EQ(parseU32("+5"), 5u);
    EXPECT_EQ(parseU32("-1"), 4294967295u);
    EXPECT_EQ(parseU32("-939524086"), 3355443210u);
    EXPECT_EQ(parseU32("4294967295"), 4294967295u);
    EXPECT_EQ(parseU32("4294967296"), 4294967295u);
    EXPECT_EQ(parseU32("99999999999"), 4294967295u);
    EXPECT_EQ(parseU32("-99999999999"), 4294967295u);  // overflow wins over the sign
    EXPECT_EQ(parseU32("99999999999999999999999999999"), 4294967295u);
    EXPECT_EQ(parseU32("abc"), 0u);
    EXPECT_EQ(parseU32("0x10"), 0u);
    EXPECT_EQ(parseU32(""), 0u);
    EXPECT_EQ(parseU32(nullptr), 0u);
}

TEST(NumberText, ParseI32ClampsLikeStrtol) {
    EXPECT_EQ(parseI32("-1"), -1);
    EXPECT_EQ(parseI32("12abc"), 12);
    EXPECT_EQ(parseI32("2147483648"), 2147483647);
    EXPECT_EQ(parseI32("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(parseI32("-2147483649"), -2147483647 - 1);
    EXPECT_EQ(parseI32("x"), 0);
}

TEST(NumberText, FormattersWriteWhatPrintfWrites) {
    // The codec writes every number and address with these, so a difference changes wire bytes.
    char want[32], got[kAddrTextSize];
    for (int32_t v : {0, 7, -1, 9, 10, -10, 99, 100, 65535, -939524086, INT32_MAX, INT32_MIN}) {
        snprintf(want, sizeof want, "%d", v);
        EXPECT_EQ(formatI32(v, got), strlen(want));
        EXPECT_STREQ(got, want);
    }
    for (uint32_t b = 0; b < 256; ++b) {  // every byte value, in every position
        for (uint32_t a : {b, b << 8, b << 16, b << 24, b * 0x01010101u, b ^ 0x0A00FF64u}) {
            const auto* o = reinterpret_cast<const unsigned char*>(&a);
            snprintf(want, sizeof want, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
            ASSERT_EQ(formatAddr(a, got), strlen(want));
            ASSERT_STREQ(got, want);
            ASSERT_EQ(inet_NTOS(a), want);
        }
    }
}

TEST(ValueTypes, TextSettersCutToTheFieldWidth) {
    TransportEndPoint t;
    t.setPort("70000");
    EXPECT_EQ(t.getPort(), 4464);
    t.setPort("99999999999");
    EXPECT_EQ(t.getPort(), 65535);
    t.setPort("abc");
    EXPECT_EQ(t.getPort(), 0);
    MulticastEndPoint m;
    m.setTTL("300");
    EXPECT_EQ(m.getTTL(), 44);
    m.setTTL("-1");
    EXPECT_EQ(m.getTTL(), 255);
    vicSDREndPoint v;
    v.setDataPort("65536");
    v.setTTL("256");
    v.setDataAddr("nonsense");
    EXPECT_EQ(v.getDataPort(), 0);
    EXPECT_EQ(v.getTTL(), 0);
    EXPECT_EQ(v.getDataAddrStr(), "0.0.0.0");
}

TEST(ValueTypes, TextForms) {
    MulticastEndPoint m;
    EXPECT_EQ(m.getStr(), "0.0.0.0:0 [ttl 64]");
    EXPECT_EQ(MulticastEndPoint(inet_ADDR("225.5.6.7"), 4000, 1).getStr(),
              "225.5.6.7:4000 [ttl 1]");
    EXPECT_EQ(TransportEndPoint(inet_ADDR("10.0.0.1"), 4000).getStr(), "10.0.0.1:4000");
    EndZone z(inet_ADDR("10.1.0.0"), inet_ADDR("255.255.0.0"));
    EXPECT_EQ(z.getStr(), "10.1.0.0/16");
    EXPECT_EQ(z.getMaskStr(), "255.255.0.0");
    EXPECT_EQ(EndPoint(inet_ADDR("128.2.1.7")).getStr(), "128.2.1.7");
    EXPECT_EQ(vicSDREndPoint().getTTL(), 64);
}

TEST(ValueTypes, CopiesKeepTheAboneFlag) {
    TransportEndPoint t(inet_ADDR("10.0.0.9"), 0);
    t.setAboneNode();
    TransportEndPoint copy = t;
    EXPECT_TRUE(copy.isAboneNode());
    TransportEndPoint assigned;
    assigned = t;
    EXPECT_TRUE(assigned.isAboneNode());
    EXPECT_EQ(assigned.getAddrStr(), "10.0.0.9");
}

TEST(ValueTypes, GnpNodeCoordinates) {
    GNPNode n;
    n.allocCoordVec(3);
    EXPECT_EQ(n.size(), 3);
    EXPECT_EQ(n.coordAt(0), "0.000000");
    n.setCoordAt(3, 1.0);
    n.setCoordAt(-1, 1.0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(n.DcoordAt(i), 0.0);
    n.setCoordAt(2, 12.5);
    EXPECT_EQ(n.coordAt(2), "12.500000");
    n.allocCoordVec(-4);
    EXPECT_EQ(n.size(), 0);

    GNPNode fromText(std::vector<std::string>{"1.5", "-3", "x"});
    ASSERT_EQ(fromText.size(), 3);
    EXPECT_EQ(fromText.DcoordAt(0), 1.5);
    EXPECT_EQ(fromText.DcoordAt(1), -3.0);
    EXPECT_EQ(fromText.DcoordAt(2), 0.0);
}

TEST(ValueTypes, HugeRealsAreWrittenInFull) {
    // "%f" of 1e60 has 67 characters (60 digits): more than a 64-byte buffer holds.
    const std::string s = formatReal(1e60);
    EXPECT_EQ(s.size(), 67u);
    EXPECT_EQ(s.substr(s.size() - 7), ".000000");
    EXPECT_EQ(strtod(s.c_str(), nullptr), 1e60);
    EXPECT_EQ(formatReal(-1e300).size(), 309u);
    EXPECT_EQ(formatReal(12.3456789), "12.345679");
    EXPECT_EQ(formatReal(0.0000004), "0.000000");
}

}  // namespace
