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

    // With settings, the daemon's settings file alone names the agent and the directory;
    // otherwise --da and the environment do.
    Outcome explain(const std::string& coords, const std::string& da, const std::string& entry,
                    const std::string& settings) {
        spit(file(), coords);
        spit(settingsFile(), settings);
        std::vector<std::string> args = {"--explain", "--settings", settingsFile(), entry};
        if (!settings.empty()) return run(ESM_SYNTH_PATH, args, {"VARNO_PATH"});
        args.insert(args.end(), {"--da", da});
        return run(ESM_SYNTH_PATH, args, {"VARNO_PATH=" + mConfig.path()});
    }
    std::string file() const { return mConfig.path() + "/gnp.coords"; }
    std::string settingsFile() const { return mConfig.path() + "/esm-synthd"; }

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
        std::string settings = "";
    };
    const std::string from = " (ESM_DA in " + settingsFile() + ")\n";
    const std::string computeNodeFor8 =
        noProxyFor8 + "    Directory Agent " + da +
        ": answered, nothing registered matches\n  coordinates of 128.2.1.8: " + file() +
        " line 1: \"128.2.1.8 12.5 -3.0 7.25\"\n  CompResource query (scope default): " + kCompute +
        "\n    Directory Agent " + da +
        ": answered\n    found service:CompResource://127.0.36.9/?x-GNP-num=1 (lifetime 65535)\n"
        "  => compute node 127.0.36.9 (the proxy program would be loaded there)\n";
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
        // The daemon's settings file: the agent and the directory it names, and where each
        // value came from; without VARNO_PATH, no coordinates.
        {"settings file", good, da, "128.2.1.8", 0,
         "Directory Agents " + da + from + "VARNO_PATH " + mConfig.path() + " (VARNO_PATH in " +
             settingsFile() + ")\n" + computeNodeFor8,
         "# as the unit reads it\nESM_DA=" + da + "\n VARNO_PATH = \"" + mConfig.path() + "\"\n"},
        {"settings without VARNO_PATH", good, da, "128.2.1.8", 1,
         "Directory Agents " + da + from +
             "VARNO_PATH not set (neither in the environment nor in " + settingsFile() +
             "): no coordinates, so no compute node can be found\n" + noProxyFor8 +
             "    Directory Agent " + da +
             ": answered, nothing registered matches\n"
             "  coordinates of 128.2.1.8: none: VARNO_PATH is not set\n"
             "  => no proxy: no running proxy registered and no coordinates for 128.2.1.8\n",
         "ESM_DA=" + da + "\n"},
    };
    for (const Case& c : cases) {
        const Outcome r = explain(c.coords, c.da, c.entry, c.settings);
        // Where the values came from, first; the age of the daemon's table, when it matters.
        std::string out = c.out;
        if (c.settings.empty()) {
            out = "Directory Agents " + c.da + " (--da)\nVARNO_PATH " + mConfig.path() +
                  " (the environment)\n" + out;
        }
        if (out.find("coordinates of") != std::string::npos)
            out += "the daemon reads gnp.coords at its first lookup and on SIGHUP\n";
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, out) << c.name;
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
