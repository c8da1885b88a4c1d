// Registering with real slp-da agents: slp-reg, and esm-proxy-sim --register, seen through
// slp-find as the daemon's lookups would see them.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "slp_test_util.h"

namespace {

using testutil::run;

const char kProxy[] = "service:ESMProxy://127.0.52.5:7020";
const char kEndpoint[] = "(&(addr=128.2.1.7)(mask=255.255.255.255))";

TEST(SlpReg, RegistersWithEveryAgentAndSaysWhoRefused) {
    const slptest::Agent da("127.0.52.2", "");
    const slptest::Agent closed("127.0.52.3", "", {"--allow-reg", "10.0.0.0/8"});
    const std::string dead = "127.0.52.4:" + std::to_string(testutil::freePort("127.0.52.4"));
    const std::string attrs = "--attrs=(addr=128.2.1.7),(mask=255.255.255.255)";
    const std::string found = std::string(kProxy) + ",300\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
        int findStatus;  // slp-find's afterwards at da
    };
    const Case cases[] = {
        {{"--da", da.da(), "--lifetime", "300", attrs, "register", kProxy},
         0,
         "registered " + std::string(kProxy) + " with " + da.da() + " (lifetime 300 s)\n",
         "",
         0},
        {{"--da", da.da(), "deregister", kProxy},
         0,
         "deregistered " + std::string(kProxy) + " from " + da.da() + "\n",
         "",
         1},
        {{"--da", closed.da(), attrs, "register", kProxy},
         1,
         "",
         "slp-reg: refused: error 6 (AUTHENTICATION_ABSENT): this host may not register there\n"
         "slp-reg: " +
             closed.da() + ": answered error 6 (AUTHENTICATION_ABSENT)\n",
         1},
        {{"--da", dead, "register", kProxy},
         3,
         "",
         "slp-reg: no Directory Agent answered (SLP error -23)\nslp-reg: " + dead +
             ": refused (nothing listens there)\n",
         1},
        // One agent down does not stop the others from getting it.
        {{"--da", dead + "," + da.da(), "--lifetime=300", attrs, "register", kProxy},
         0,
         "registered " + std::string(kProxy) + " with " + da.da() + " (lifetime 300 s)\n",
         "slp-reg: " + dead + ": refused (nothing listens there)\n",
         0},
    };
    for (const Case& c : cases) {
        const testutil::Ran r = run(SLP_REG_PATH, c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << " " << c.args[1];
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        const testutil::Ran f = run(SLP_FIND_PATH, {"--da", da.da(), "ESMProxy", kEndpoint});
        EXPECT_EQ(f.status, c.findStatus) << c.args[1];
        EXPECT_EQ(f.out, c.findStatus == 0 ? found : "");
    }
}

TEST(SlpReg, ProxySimulatorRegistersItselfUntilStopped) {
    const slptest::Agent da("127.0.52.12", "");
    const std::string port = std::to_string(testutil::freePort("127.0.52.15"));
    const std::string url = "service:ESMProxy://127.0.52.15:" + port;
    testutil::Child proxy(PROXY_SIM_PATH, {"127.0.52.15", port, "--register", da.da(), "--serve",
                                           "128.2.1.7", "--lifetime", "2"});
    // Registered, and again before its 2 s run out.
    ASSERT_TRUE(testutil::waitFor(
        [&] { return testutil::grep(da.log(), "SrvReg url=\"" + url).size() >= 2; }, 5000))
        << da.log() << proxy.err();
    const testutil::Ran found = run(SLP_FIND_PATH, {"--da", da.da(), "ESMProxy", kEndpoint});
    EXPECT_EQ(found.out, url + ",2\n");
    proxy.signal(SIGTERM);
    const int status = proxy.wait(10000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(testutil::grep(proxy.err(), "deregistered"),
              std::vector<std::string>{"esm-proxy-sim: deregistered " + url + " from " + da.da()});
    EXPECT_EQ(run(SLP_FIND_PATH, {"--da", da.da(), "ESMProxy", kEndpoint}).status, 1);
}

}  // namespace
