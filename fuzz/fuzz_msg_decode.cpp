// Arbitrary bytes through parsing and decoding with both type tables; a decoded message is
// also serialised again, as the server does with replies.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "Msg.h"

// The decoders log zones on standard output; keep the fuzzer's own output readable.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    for (MsgTable table : {MsgTable::Requests, MsgTable::Responses}) {
        std::unique_ptr<Msg> m(parseMsg(text, size, table));
        if (m) {
            free(m->getChars());
            m->setId(m->getId() + 1);
        }
    }
    return 0;
}
