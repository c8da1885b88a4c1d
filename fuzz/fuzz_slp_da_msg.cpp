// Arbitrary bytes as a message reaching the Directory Agent, over UDP and over TCP, with the
// registrations of the captured exchanges in its store. Every SrvRply it sends must parse.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "slp_agent.h"
#include "slp_regfile.h"
#include "slp_wire.h"

namespace {

const char kRegs[] =
    "service:ESMProxy://127.0.0.5:7020,en,65535\naddr=128.2.1.7\nmask=255.255.255.255\n\n"
    "service:ESMProxy://127.0.0.6:7021,en,300\naddr=10.1.0.0\nmask=255.255.0.0\n\n"
    "service:CompResource://127.0.0.9/?x-GNP-num=1,en,65535\nfoo=bar\nx-ready\n\n"
    "service:CompResource://127.0.0.10/?x-GNP-num=1,en,65535\nx-GNP-num=1,2\n"
    "x-GNP-clients=12.5 -3.0 7.25\nflag=true\nblob=\\FF\\00\\01\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<slpda::Registration> regs = [] {
        std::vector<slpda::Registration> r;
        slpda::RegFileError error;
        if (!slpda::parseRegFile(kRegs, {"default"}, {}, &r, &error)) abort();
        return r;
    }();
    slpda::AgentConfig cfg;
    cfg.scopes = {"default", "other"};
    slpda::DirectoryAgent agent(cfg);
    agent.store().replaceFileEntries(regs, 0);

    slpda::Arrival from;
    from.localAddrNet = 0x0100007f;
    from.peerAddrNet = 0x0100007f;
    from.peer = "127.0.0.1:1";
    slpda::Replies replies;
    std::string log;
    for (bool tcp : {false, true}) {
        from.tcp = tcp;
        from.nowMs += 1000;
        if (!agent.handle(data, size, from, &replies, &log)) continue;
        for (const std::vector<uint8_t>& reply : replies) {
            if (!tcp && reply.size() > slpda::DirectoryAgent::kUdpMax &&
                reply[1] == slpwire::kSrvRply) {
                abort();
            }
            slpwire::SrvRply r;
            if (reply[1] == slpwire::kSrvRply &&
                slpwire::parseSrvRply(reply.data(), reply.size(), &r) != slpwire::ReplyParse::kOk) {
                abort();
            }
        }
    }
    return 0;
}
