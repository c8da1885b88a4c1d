// Arbitrary bytes through parsing and decoding with both type tables; a decoded message is
// also serialised again, as the server does with replies.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "Msg.h"

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
