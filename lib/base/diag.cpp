#include "diag.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "no_destructor.h"

namespace {

std::atomic<DiagSink> gSink{nullptr};

// Whether the text last sent on a stream ended a line, so that diagLine can start a line of its
// own after a line another thread left open ("sending ESMInit to ...").
struct LineState {
    std::mutex mu;
    bool atLineStart = true;  // guarded by mu
};

LineState& lineState(DiagStream stream) {
    static NoDestructor<LineState> sStates[2];
    return *sStates[stream == DiagStream::Out ? 0 : 1].get();
}

void defaultSink(DiagStream stream, const char* text, size_t len) {
    fwrite(text, 1, len, stream == DiagStream::Out ? stdout : stderr);
}

// One sink call; with newLine, a line feed first unless the stream is at the start of a line.
void emit(DiagStream stream, const char* text, size_t len, bool newLine = false) {
    if (len == 0) return;
    LineState& state = lineState(stream);
    std::lock_guard<std::mutex> lock(state.mu);
    DiagSink sink = gSink.load(std::memory_order_acquire);
    if (sink == nullptr) sink = defaultSink;
    if (newLine && !state.atLineStart) {
        std::string whole = "\n";
        whole.append(text, len);
        sink(stream, whole.data(), whole.size());
    } else {
        sink(stream, text, len);
    }
    state.atLineStart = text[len - 1] == '\n';
}

// fmt with ap into *out; false when it cannot be formatted.
__attribute__((format(printf, 2, 0))) bool format(std::string* out, const char* fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    if (n >= 0) {
        out->assign(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(&(*out)[0], out->size(), fmt, again);
        out->resize(static_cast<size_t>(n));
    }
    va_end(again);
    return n >= 0;
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

void diagLine(DiagStream stream, const char* fmt, ...) {
    std::string text;
    va_list ap;
    va_start(ap, fmt);
    const bool ok = format(&text, fmt, ap);
    va_end(ap);
    if (ok) emit(stream, text.data(), text.size(), true);
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
