// esm-synth --explain and slp-find against a real slp-da and a real coordinates file: what the
// daemon's locator would find, and why nothing was found when so.
#include <gtest/gtest.h>

#include "overlay_fixture.h"
#include "slp_test_util.h"

using namespace overlay;

namespace {

struct Outcome {
    int status;
    std::string out, err;
};

Outcome run(const char* path, const std::vector<std::string>& args,
            const std::vector<std::string>& env = {}) {
    testutil::Child c(path, args, env);
    const int status = c.wait(30000);
    return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.out(), c.err()};
}

const char kRunning[] = "(&(addr=128.2.1.7)(mask=255.255.255.255))";
const char kCompute[] = "(|(foo=bar)(&(x-GNP-num=1)(x-GNP-clients=12.5 -3.0 7.25)))";

// An agent on 127.0.36.2 with a running proxy for 128.2.1.7 and a compute node for the
// coordinates of 128.2.1.8; a configuration directory with the given coordinates file.
class Explain : public ::testing::Test {
protected:
    Explain()
        : mConfig(""),
          mDa("127.0.36.2", mConfig.path(),
              reg("service:ESMProxy://127.0.36.5:7020",
                  {"addr=128.2.1.7", "mask=255.255.255.255"}) +
                  reg("service:CompResource://127.0.36.9/?x-GNP-num=1",
                      {"x-GNP-num=1", "x-GNP-clients=12.5 -3.0 7.25"})) {}

    Outcome explain(const std::string& coords, const std::string& da,
                    const std::vector<std::string>& entries) {
        spit(file(), coords);
        std::vector<std::string> args = {"--explain", "--da", da};
        args.insert(args.end(), entries.begin(), entries.end());
        return run(ESM_SYNTH_PATH, args, {"VARNO_PATH=" + mConfig.path()});
    }
    std::string file() const { return mConfig.path() + "/gnp.coords"; }

    ConfigDir mConfig;
    DirectoryAgent mDa;
};

TEST_F(Explain, TellsWhatTheLocatorFindsAndWhyNot) {
    const std::string da = mDa.arg();
    const std::string dead = "127.0.36.3:" + std::to_string(testutil::freePort("127.0.36.3"));
    const std::string good = "128.2.1.8 12.5 -3.0 7.25\n";
    slptest::FakeDa badUrl("127.0.36.4",
                           slptest::answer({{65535, "service:ESMProxy://127.0.36.6:70200"}}));
    const std::string badUrlDa = "127.0.36.4:" + std::to_string(badUrl.port());
    const std::string running = std::string("  ESMProxy query (scope default): ") + kRunning + "\n";
    const std::string noProxyFor8 =
        "endpoint 128.2.1.8\n"
        "  ESMProxy query (scope default): (&(addr=128.2.1.8)(mask=255.255.255.255))\n";
    struct Case {
        const char* name;
        std::string coords, da, entry;
        int status;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"running proxy", good, da, "128.2.1.7", 0,
         "endpoint 128.2.1.7\n" + running + "    Directory Agent " + da +
             ": answered\n    found service:ESMProxy://127.0.36.5:7020 (lifetime 65535)\n"
             "  => running proxy 127.0.36.5:7020\n"},
        {"compute node", good, da, "10.1.0.0/16@128.2.1.8", 0,
         "zone 10.1.0.0/16 (representative 128.2.1.8)\n"
         "  ESMProxy query (scope default): (&(addr=10.1.0.0)(mask=255.255.0.0))\n"
         "    Directory Agent " +
             da + ": answered, nothing registered matches\n  coordinates of 128.2.1.8: " + file() +
             " line 1: \"128.2.1.8 12.5 -3.0 7.25\"\n  CompResource query (scope default): " +
             kCompute + "\n    Directory Agent " + da +
             ": answered\n    found service:CompResource://127.0.36.9/?x-GNP-num=1 (lifetime "
             "65535)\n  => compute node 127.0.36.9 (the proxy program would be loaded there)\n"},
        {"dead agent", good, dead, "128.2.1.8", 1,
         noProxyFor8 + "    Directory Agent " + dead +
             ": refused (nothing listens there)\n  coordinates of 128.2.1.8: " + file() +
             " line 1: \"128.2.1.8 12.5 -3.0 7.25\"\n  CompResource query (scope default): " +
             kCompute + "\n    Directory Agent " + dead +
             ": refused (nothing listens there)\n  => no proxy: no Directory Agent answered\n"},
        // The second query passes the agent that refused the first one over.
        {"dead agent first", good, dead + "," + da, "128.2.1.8", 0,
         noProxyFor8 + "    Directory Agent " + dead + ": refused (nothing listens there)\n" +
             "    Directory Agent " + da + ": answered, nothing registered matches\n" +
             "  coordinates of 128.2.1.8: " + file() +
             " line 1: \"128.2.1.8 12.5 -3.0 7.25\"\n  CompResource query (scope default): " +
             kCompute + "\n    Directory Agent " + da + ": answered\n    Directory Agent " + dead +
             ": passed over (it refused recently)\n"
             "    found service:CompResource://127.0.36.9/?x-GNP-num=1 (lifetime 65535)\n"
             "  => compute node 127.0.36.9 (the proxy program would be loaded there)\n"},
        {"bad file", "10.0.0.1 1 2\n\n" + good, da, "128.2.1.8", 1,
         noProxyFor8 + "    Directory Agent " + da +
             ": answered, nothing registered matches\n  coordinates of 128.2.1.8: none: " + file() +
             " is invalid at line 2 (no blank between host and coordinates): \"\"; no "
             "coordinates are read until it is corrected\n"
             "  => no proxy: no running proxy registered and no coordinates for 128.2.1.8\n"},
        // An agent of the test's own, as an agent may refuse such a registration.
        {"bad port", good, badUrlDa, "128.2.1.7", 1,
         "endpoint 128.2.1.7\n" + running + "    Directory Agent " + badUrlDa +
             ": answered\n    found service:ESMProxy://127.0.36.6:70200 (lifetime 65535)\n"
             "  => no proxy: the registered URL service:ESMProxy://127.0.36.6:70200 has port "
             "70200, not in 1..65535\n"},
        {"host not listed", "10.0.0.1 1 2\n", da, "128.2.1.8", 1,
         noProxyFor8 + "    Directory Agent " + da +
             ": answered, nothing registered matches\n  coordinates of 128.2.1.8: none: " + file() +
             " does not list 128.2.1.8\n"
             "  => no proxy: no running proxy registered and no coordinates for 128.2.1.8\n"},
    };
    for (const Case& c : cases) {
        const Outcome r = explain(c.coords, c.da, {c.entry});
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }
    // The agent heard exactly the locator's queries, in the scope the daemon uses.
    const std::vector<std::string> queries = mDa.queries();
    ASSERT_GE(queries.size(), 2u);
    EXPECT_EQ(queries[0], std::string("type=\"ESMProxy\" scope=\"default\" predicate=\"") +
                              kRunning + "\" urls=1");
    EXPECT_EQ(queries[2], std::string("type=\"CompResource\" scope=\"default\" predicate=\"") +
                              kCompute + "\" urls=1");
}

TEST_F(Explain, SlpFindAsksWhatTheDaemonAsks) {
    const std::string dead = "127.0.36.3:" + std::to_string(testutil::freePort("127.0.36.3"));
    const Outcome found = run(SLP_FIND_PATH, {"--da", mDa.arg(), "ESMProxy", kRunning});
    EXPECT_EQ(found.status, 0);
    EXPECT_EQ(found.out, "service:ESMProxy://127.0.36.5:7020,65535\n");
    const Outcome none = run(SLP_FIND_PATH, {"--da", mDa.arg(), "ESMProxy", "(addr=1.1.1.1)"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    // The first agent is down, the second answers: failover, as in the daemon.
    const Outcome failover =
        run(SLP_FIND_PATH, {"--da", dead + "," + mDa.arg(), "--json", "CompResource"});
    EXPECT_EQ(failover.status, 0);
    EXPECT_EQ(failover.out,
              "{\"urls\": [{\"url\": \"service:CompResource://127.0.36.9/?x-GNP-num=1\", "
              "\"lifetime\": 65535}], \"agents\": [{\"agent\": \"" +
                  dead +
                  "\", \"outcome\": \"refused\", \"da_error\": 0, \"detail\": \"refused (nothing "
                  "listens there)\"}, {\"agent\": \"" +
                  mDa.arg() +
                  "\", \"outcome\": \"found\", \"da_error\": 0, \"detail\": \"answered\"}]}\n");
    const Outcome down = run(SLP_FIND_PATH, {"--da", dead, "ESMProxy"});
    EXPECT_EQ(down.status, 3);
    EXPECT_EQ(down.err, "slp-find: no Directory Agent answered (SLP error -23)\nslp-find: " + dead +
                            ": refused (nothing listens there)\n");
    const Outcome scope = run(SLP_FIND_PATH, {"--da", mDa.arg(), "--scope", "other", "ESMProxy"});
    EXPECT_EQ(scope.status, 3);
    EXPECT_EQ(scope.err, "slp-find: no Directory Agent answered (SLP error -4)\nslp-find: " +
                             mDa.arg() + ": answered error 4 (SCOPE_NOT_SUPPORTED)\n");
}

}  // namespace
