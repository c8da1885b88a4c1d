#include <climits>
#include <cstring>

#include "http_impl.h"

namespace {

// sscanf's whitespace: space, tab, LF, vertical tab, form feed, CR.
bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Walks a buffer with the matching rules of one sscanf call. The text ends at the first NUL,
// as it does for sscanf on the NUL-terminated head buffer.
class HeadScanner {
public:
    HeadScanner(const char* begin, const char* end) : mPos(begin), mEnd(end) {
        if (const void* nul = memchr(begin, '\0', static_cast<size_t>(end - begin))) {
            mEnd = static_cast<const char*>(nul);
        }
    }

    const char* pos() const { return mPos; }

    // A whitespace directive: any run, none included.
    void skipSpace() {
        while (mPos < mEnd && isSpace(*mPos)) ++mPos;
    }

    // %s with a field of maxLen characters; a longer run fails rather than being cut.
    bool token(size_t maxLen, HeadToken* out) {
        skipSpace();
        const char* start = mPos;
        while (mPos < mEnd && !isSpace(*mPos)) ++mPos;
        size_t len = static_cast<size_t>(mPos - start);
        if (len == 0 || len > maxLen) return false;
        *out = HeadToken{start, len};
        return true;
    }

    // %d: optional sign and at least one digit; the value saturates at the int range.
    bool integer(int* out) {
        skipSpace();
        bool negative = false;
        if (mPos < mEnd && (*mPos == '+' || *mPos == '-')) negative = *mPos++ == '-';
        const char* digits = mPos;
        long long v = 0;
        for (; mPos < mEnd && *mPos >= '0' && *mPos <= '9'; ++mPos) {
            if (v <= INT_MAX) v = v * 10 + (*mPos - '0');
        }
        if (mPos == digits) return false;
        if (negative) v = -v;
        *out = static_cast<int>(v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : v));
        return true;
    }

    // Ordinary characters of the format match themselves exactly.
    bool literal(const char* text) {
        size_t n = strlen(text);
        if (static_cast<size_t>(mEnd - mPos) < n || memcmp(mPos, text, n) != 0) return false;
        mPos += n;
        return true;
    }

private:
    const char* mPos;
    const char* mEnd;
};

}  // namespace

bool parseRequestLine(const char* begin, const char* end, RequestLine* out) {
    HeadScanner s(begin, end);
    if (!s.token(kMaxMethodLen, &out->method) || !s.token(kUriBufSize - 1, &out->uri) ||
        !s.token(kMaxVersionLen, &out->version)) {
        return false;
    }
    s.skipSpace();
    out->end = s.pos();
    return true;
}

bool parseStatusLine(const char* begin, const char* end, StatusLine* out) {
    HeadScanner s(begin, end);
    if (!s.token(kMaxVersionLen, &out->version) || !s.integer(&out->code) ||
        !s.token(kMaxReasonLen, &out->reason)) {
        return false;
    }
    s.skipSpace();
    out->connectionClose = s.literal("Connection:");
    if (out->connectionClose) {
        s.skipSpace();
        out->connectionClose = s.literal("close");
    }
    if (out->connectionClose) {
        s.skipSpace();
        out->end = s.pos();
    }
    return true;
}

bool parseContentLength(const char* begin, const char* end, int* length, const char** body) {
    HeadScanner s(begin, end);
    if (!s.literal("Content-Length:") || !s.integer(length)) return false;
    s.skipSpace();
    *body = s.pos();
    return true;
}
