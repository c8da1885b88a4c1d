// Arbitrary bytes as a request head and as a response head. The scanners must stay inside the
// buffer, keep every token within its field, and agree with their own results.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http_impl.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

void checkToken(const HeadToken& t, const char* begin, const char* end, size_t maxLen) {
    check(t.data >= begin && t.len >= 1 && t.len <= maxLen &&
          t.len <= static_cast<size_t>(end - t.data));
    check(memchr(t.data, '\0', t.len) == nullptr);
}

void checkContentLength(const char* from, const char* end) {
    int length = 0;
    const char* body = nullptr;
    if (parseContentLength(from, end, &length, &body)) {
        check(body >= from + 16 && body <= end);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* begin = reinterpret_cast<const char*>(data);
    const char* end = begin + size;

    RequestLine line;
    if (parseRequestLine(begin, end, &line)) {
        checkToken(line.method, begin, end, kMaxMethodLen);
        checkToken(line.uri, begin, end, kUriBufSize - 1);
        checkToken(line.version, begin, end, kMaxVersionLen);
        check(line.end >= line.version.data + line.version.len && line.end <= end);
        checkContentLength(line.end, end);
    }

    StatusLine status;
    if (parseStatusLine(begin, end, &status)) {
        checkToken(status.version, begin, end, kMaxVersionLen);
        checkToken(status.reason, begin, end, kMaxReasonLen);
        if (status.connectionClose) {
            check(status.end >= status.reason.data + status.reason.len + 16 && status.end <= end);
            checkContentLength(status.end, end);
        }
    }
    checkContentLength(begin, end);
    return 0;
}
