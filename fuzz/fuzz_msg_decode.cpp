// Arbitrary bytes through parsing and decoding with both type tables, and with the requests
// table once more under the limits a server sets (backed counts, a memory reservation); a
// decoded message is also serialised again, as the server does with replies.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "Msg.h"
#include "memory_budget.h"

// The decoders log zones on standard output; keep the fuzzer's own output readable.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    static MemoryBudget budget(64 * 1024 * 1024);
    MemoryReservation reservation(&budget, std::chrono::milliseconds(0));
    DecodeLimits limits;
    limits.reservation = &reservation;
    limits.backedCounts = true;
    for (int pass = 0; pass < 3; ++pass) {
        const MsgTable table = pass == 1 ? MsgTable::Responses : MsgTable::Requests;
        std::unique_ptr<Msg> m(parseMsg(text, size, table, nullptr, pass == 2 ? &limits : nullptr));
        if (m) {
            free(m->getChars());
            m->setId(m->getId() + 1);
        }
    }
    return 0;
}
