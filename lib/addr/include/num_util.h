#pragma once

// Number text conversions shared by the value types, the codec and the lookups. They follow the
// 32-bit C conversions exactly, so that every peer reads the same numbers from the same text.

#include <cstddef>
#include <cstdint>

// strtoul in base 10 with a 32-bit unsigned long: leading white space skipped, optional sign (a
// minus negates modulo 2^32), stops at the first non-digit, no digits gives 0, a magnitude above
// 4294967295 gives 4294967295. Null gives 0.
uint32_t parseU32(const char* text);

// strtol in base 10 with a 32-bit long: as parseU32, but signed and clamped to
// [-2147483648, 2147483647].
int32_t parseI32(const char* text);

// Room for the "%d" text of any 32-bit number: sign, ten digits and the terminating NUL.
constexpr size_t kI32TextSize = 12;

// Writes v as printf's "%d" does into out (kI32TextSize bytes), NUL-terminated; returns the
// number of characters before the NUL. Uses no shared buffer and no locale.
size_t formatI32(int32_t v, char* out);
