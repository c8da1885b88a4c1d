// Arbitrary bytes as a SrvRply reaching the client. A reply that parses is encoded again and must
// parse back to the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "slp_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    slpwire::SrvRply r;
    if (slpwire::parseSrvRply(data, size, &r) != slpwire::ReplyParse::kOk) return 0;
    std::vector<uint8_t> again;
    if (!slpwire::encodeSrvRply(r.hdr.xid, r.hdr.lang, r.error, r.urls, slpwire::kMaxLength, &again,
                                nullptr)) {
        return 0;  // more than a message can hold
    }
    slpwire::SrvRply back;
    if (slpwire::parseSrvRply(again.data(), again.size(), &back) != slpwire::ReplyParse::kOk ||
        back.urls != r.urls || back.error != r.error || back.hdr.xid != r.hdr.xid) {
        abort();
    }
    return 0;
}
