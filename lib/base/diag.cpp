#include "diag.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::atomic<DiagSink> gSink{nullptr};

void defaultSink(DiagStream stream, const char* text, size_t len) {
    fwrite(text, 1, len, stream == DiagStream::Out ? stdout : stderr);
}

void emit(DiagStream stream, const char* text, size_t len) {
    DiagSink sink = gSink.load(std::memory_order_acquire);
    (sink != nullptr ? sink : defaultSink)(stream, text, len);
}

}  // namespace

DiagSink setDiagSink(DiagSink sink) {
    return gSink.exchange(sink, std::memory_order_acq_rel);
}

void discardDiag(DiagStream, const char*, size_t) {}

void diagf(DiagStream stream, const char* fmt, ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        emit(stream, small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&big[0], big.size(), fmt, again);
    va_end(again);
    emit(stream, big.data(), static_cast<size_t>(n));
}

void diagPerror(const char* what) {
    const int saved = errno;
    char buf[256];
    // The GNU strerror_r returns the text, which may or may not be buf.
    const char* reason = strerror_r(saved, buf, sizeof buf);
    if (what != nullptr && what[0] != '\0') {
        diagf(DiagStream::Err, "%s: %s\n", what, reason);
    } else {
        diagf(DiagStream::Err, "%s\n", reason);
    }
    errno = saved;
}

void diagFlush() {
    fflush(nullptr);
}
