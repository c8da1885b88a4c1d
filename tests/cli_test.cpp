// Every program's command line, through the real binaries: the help, the version, and one line
// naming each bad argument with the pointer to --help and exit status 2. One table per program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // a prefix of standard output
    std::string err;  // the first line of standard error, exactly ("" for none)
};

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

void check(const char* path, const char* prog, const std::vector<Case>& cases) {
    const std::string pointer = std::string("Try '") + prog + " --help' for more information.\n";
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += " " + a;
        const testutil::Ran r = testutil::run(path, c.args, {}, 10000);
        EXPECT_EQ(r.status, c.status) << prog << shown << "\n" << r.err;
        EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << prog << shown << "\n" << r.out;
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "") << prog << shown;
        } else if (c.status == 2) {
            EXPECT_EQ(r.err, std::string(prog) + ": " + c.err + "\n" + pointer) << prog << shown;
        } else {
            EXPECT_EQ(firstLine(r.err), c.err) << prog << shown;
        }
    }
}

const std::string kVersion = "1.0.0\n";

TEST(CommandLine, EsmSynthd) {
    // The daemon keeps its own command line: only a lone --help or --version is an option.
    check(ESM_SYNTHD_PATH, "esm-synthd",
          {
              {{"--help"}, 0, "Usage: esm-synthd PORT DA\n", ""},
              {{"--version"}, 0, "esm-synthd " + kVersion, ""},
              {{"--bogus"}, 255, "arg: port DA\n", ""},
              {{"--help", "--version", "x"}, 255, "arg: port DA\n", ""},
              {{}, 255, "arg: port DA\n", ""},
          });
}

TEST(CommandLine, EsmSynth) {
    check(
        ESM_SYNTH_PATH, "esm-synth",
        {
            {{"--help"}, 0, "Usage: esm-synth HOST:PORT", ""},
            {{"--version"}, 0, "esm-synth " + kVersion, ""},
            {{"--bogus"}, 2, "", "unknown option '--bogus'"},
            {{"127.0.0.1:1", "--json=yes"}, 2, "", "option '--json' takes no value"},
            {{"127.0.0.1:1", "--bogus", "--json"},
             2,
             "{\"error\": \"unknown option '--bogus'\", \"status\": 2}\n",
             "unknown option '--bogus'"},
            {{"127.0.0.1:1", "--endpoint"}, 2, "", "option '--endpoint' needs a value"},
            {{"127.0.0.1:1", "--endpoint=128.2.1"},
             2,
             "",
             "--endpoint 128.2.1: not an IPv4 address"},
            {{"127.0.0.1:1", "--zone", "10.1.0.0/33@1.2.3.4"},
             2,
             "",
             "--zone 10.1.0.0/33@1.2.3.4: not ADDR/MASK@EP"},
            {{"127.0.0.1:1", "--zone", "10.1.5.0/16@10.1.2.3"},
             2,
             "",
             "--zone 10.1.5.0/16@10.1.2.3: 10.1.5.0 has host bits set for mask 255.255.0.0 "
             "(the zone is 10.1.0.0/16)"},
            {{"127.0.0.1:1", "--zone", "10.0.0.0/255.0.255.0@10.0.0.1"},
             2,
             "",
             "--zone 10.0.0.0/255.0.255.0@10.0.0.1: mask 255.0.255.0 is not contiguous"},
            {{"127.0.0.1:1"}, 2, "", "nothing to ask for: give at least one --endpoint or --zone"},
            {{"127.0.0.1:1", "--json"},
             2,
             "{\"error\": \"nothing to ask for: give at least one --endpoint or --zone\", "
             "\"status\": 2}\n",
             "nothing to ask for: give at least one --endpoint or --zone"},
            {{"--endpoint", "1.2.3.4"}, 2, "", "missing HOST:PORT of the service"},
            {{"127.0.0.1:65536", "--endpoint", "1.2.3.4"},
             2,
             "",
             "127.0.0.1:65536: not HOST:PORT with PORT in 1..65535"},
            {{"127.0.0.1:1", "127.0.0.1:2"}, 2, "", "unexpected argument '127.0.0.1:2'"},
            {{"127.0.0.1:1", "--timeout", "0", "--endpoint", "1.2.3.4"},
             2,
             "",
             "--timeout 0: not in 1..86400"},
            {{"127.0.0.1:1", "--send", "/dev/null", "--endpoint", "1.2.3.4"},
             2,
             "",
             "--send takes the whole request from the file; drop --endpoint/--zone"},
            {{"--explain", "--settings", "/dev/null", "1.2.3.4"},
             2,
             "",
             "--explain needs --da DA or ESM_DA in /dev/null"},
            {{"--explain", "--da", "127.0.0.1", "host:80"},
             2,
             "",
             "host:80: not an endpoint ADDR or a zone ADDR/MASK@EP"},
            {{"127.0.0.1:1", "--da", "127.0.0.1", "--endpoint", "1.2.3.4"},
             2,
             "",
             "--da is only for --explain"},
            {{"--print-request", "--endpoint", "128.2.1.7"},
             0,
             "<?xml version=\"1.0\"?>\n<SynthESMReq><id>",
             ""},
        });
}

TEST(CommandLine, EsmProxySim) {
    check(PROXY_SIM_PATH, "esm-proxy-sim",
          {
              {{"--help"}, 0, "Usage: esm-proxy-sim ADDR PORT", ""},
              {{"--version"}, 0, "esm-proxy-sim " + kVersion, ""},
              {{"--bogus"}, 2, "", "unknown option '--bogus'"},
              {{"127.0.0.1", "7000", "--ttl", "300"}, 2, "", "--ttl 300: not in 0..255"},
              {{"127.0.0.1", "7000", "--ttl=-1"}, 2, "", "--ttl -1: not in 0..255"},
              {{"127.0.0.1", "7000", "--ttl"}, 2, "", "option '--ttl' needs a value"},
              {{"127.0.0.1", "7000", "--hang", "--fail-init"},
               2,
               "",
               "--hang and --fail-init cannot be combined"},
              {{"127.0.0.1", "99999"}, 2, "", "PORT 99999: not in 1..65535"},
              {{"127.0.0.1"}, 2, "", "missing PORT"},
              {{"1.2.3", "7000"}, 2, "", "ADDR 1.2.3: not an IPv4 address"},
              {{"127.0.0.1", "7000", "x"}, 2, "", "unexpected argument 'x'"},
              {{"127.0.0.1", "7000", "--serve=1.2.3.4"}, 2, "", "--serve is only for --register"},
              {{"127.0.0.1", "7000", "--register=127.0.0.1"},
               2,
               "",
               "--register needs --serve ADDR[/MASK]"},
              {{"127.0.0.1", "7000", "--register=h:0", "--serve=1.2.3.4"},
               2,
               "",
               "--register h:0: not ADDR[:PORT][,...]"},
              {{"127.0.0.1", "7000", "--register=h", "--serve=10.1.5.0/16"},
               2,
               "",
               "--serve 10.1.5.0/16: 10.1.5.0 has host bits set for mask 255.255.0.0 (the zone is "
               "10.1.0.0/16)"},
          });
}

TEST(CommandLine, GnpMonitor) {
    check(GNP_MONITOR_PATH, "gnp-monitor",
          {
              {{"--help"}, 0, "Usage: gnp-monitor ADDR", ""},
              {{"--version"}, 0, "gnp-monitor " + kVersion, ""},
              {{"--bogus"}, 2, "", "unknown option '--bogus'"},
              {{}, 2, "", "missing ADDR"},
              {{"1.2.3"}, 2, "", "ADDR 1.2.3: not an IPv4 address"},
              {{"127.0.0.1", "5"}, 2, "", "unexpected argument '5'"},
          });
}

TEST(CommandLine, SlpFind) {
    check(
        SLP_FIND_PATH, "slp-find",
        {
            {{"--help"}, 0, "Usage: slp-find", ""},
            {{"--version"}, 0, "slp-find " + kVersion, ""},
            {{"--bogus", "ESMProxy"}, 2, "", "unknown option '--bogus'"},
            {{}, 2, "", "missing TYPE"},
            {{"--da", "127.0.0.1:0", "ESMProxy"}, 2, "", "--da 127.0.0.1:0: not ADDR[:PORT][,...]"},
            {{"--da=127.0.0.1,,x", "ESMProxy"}, 2, "", "--da 127.0.0.1,,x: not ADDR[:PORT][,...]"},
            {{"--scope=", "ESMProxy"}, 2, "", "--scope: empty scope"},
            {{"ESMProxy", "(a=b)", "extra"}, 2, "", "unexpected argument 'extra'"},
        });
}

TEST(CommandLine, SlpDa) {
    check(
        SLP_DA_PATH, "slp-da",
        {
            {{"-xh"}, 2, "", "unknown option '-x'"},
            {{"--bogus"}, 2, "", "unknown option '--bogus'"},
            {{"--reg"}, 2, "", "option '--reg' needs a value"},
            {{"--check=1"}, 2, "", "option '--check' takes no value"},
            {{"--check"}, 2, "", "--check needs --reg FILE"},
            {{"--listen", "127.0.0.50:99999"}, 2, "", "--listen 127.0.0.50:99999: not ADDR[:PORT]"},
            {{"--scopes", "a,,b"},
             2,
             "",
             "--scopes a,,b: scope \"\" is empty or holds a reserved character"},
            {{"--scopes=default,("},
             2,
             "",
             "--scopes default,(: scope \"(\" is empty or holds a reserved character"},
            {{"--allow-reg=10.0.0.0/40"},
             2,
             "",
             "--allow-reg 10.0.0.0/40: \"10.0.0.0/40\" is not an address or a.b.c.d/n"},
            {{"--max-attrs", "0"}, 2, "", "--max-attrs 0: not in 1..65535"},
            {{"--max-message=12k"}, 2, "", "--max-message 12k: not in 256..1048576"},
            {{"extra"}, 2, "", "unexpected argument 'extra'"},
        });
}

TEST(CommandLine, SlpReg) {
    const std::string url = "service:ESMProxy://127.0.0.5:7020";
    check(SLP_REG_PATH, "slp-reg",
          {
              {{"--help"}, 0, "Usage: slp-reg", ""},
              {{"--version"}, 0, "slp-reg " + kVersion, ""},
              {{}, 2, "", "missing register or deregister, and URL"},
              {{"add", url}, 2, "", "'add' is neither register nor deregister"},
              {{"register"}, 2, "", "missing URL"},
              {{"register", "127.0.0.5:7020"}, 2, "", "URL 127.0.0.5:7020: not SCHEME://ADDRESS"},
              {{"--lifetime=0", "register", url}, 2, "", "--lifetime 0: not in 1..65535"},
              {{"--attrs=(a=1)", "deregister", url}, 2, "", "--attrs is only for register"},
              {{"--da", "h:0", "register", url}, 2, "", "--da h:0: not ADDR[:PORT][,...]"},
          });
}

}  // namespace
