// The number rules of the command language, and 32-bit counter arithmetic.
#pragma once

#include <cstdint>

// Offsets and byte values: hexadecimal. Leading white space, a sign and a
// 0x prefix are accepted; conversion stops at the first non-digit; no digits
// give 0. The digits form an unsigned 32-bit number read as signed, so
// 80000000 to ffffffff are negative; a number too large for 32 bits gives -1.
int32_t hex_number(const char* text);

// Byte counts: the same rule in decimal.
int32_t count_number(const char* text);

// startbyte: a signed decimal number, held at the 32-bit limits when larger.
int32_t startbyte_number(const char* text);

// Counters wrap as 32-bit numbers instead of overflowing.
inline int32_t wrap_add(int32_t value, int64_t step)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(step));
}
