#include "num_util.h"

namespace {

constexpr uint64_t kU32Max = 0xFFFFFFFFull;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads sign and magnitude; the magnitude saturates just above `limit` so it never overflows.
const char* scanMagnitude(const char* p, bool* negative, uint64_t limit, uint64_t* magnitude) {
    while (isSpace(*p)) ++p;
    *negative = false;
    if (*p == '+' || *p == '-') {
        *negative = (*p == '-');
        ++p;
    }
    uint64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (v <= limit) v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    *magnitude = v;
    return p;
}

}  // namespace

uint32_t parseU32(const char* text) {
    if (text == nullptr) return 0;
    bool negative;
    uint64_t v;
    scanMagnitude(text, &negative, kU32Max, &v);
    if (v > kU32Max) return 0xFFFFFFFFu;
    uint32_t u = static_cast<uint32_t>(v);
    return negative ? static_cast<uint32_t>(0u - u) : u;
}

int32_t parseI32(const char* text) {
    if (text == nullptr) return 0;
    bool negative;
    uint64_t v;
    scanMagnitude(text, &negative, kU32Max, &v);
    if (negative) {
        if (v >= 2147483648ull) return INT32_MIN;
        return -static_cast<int32_t>(v);
    }
    if (v > 2147483647ull) return INT32_MAX;
    return static_cast<int32_t>(v);
}

size_t formatI32(int32_t v, char* out) {
    char* p = out;
    uint32_t u = static_cast<uint32_t>(v);
    if (v < 0) {
        *p++ = '-';
        u = 0u - u;
    }
    char digits[10];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    while (n > 0) *p++ = digits[--n];
    *p = '\0';
    return static_cast<size_t>(p - out);
}
