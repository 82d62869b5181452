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

// startbyte: a signed decimal file position, held at the largest 64-bit
// number when larger; a negative one is held at the smallest 32-bit number.
int64_t startbyte_number(const char* text);

// Counters wrap instead of overflowing: offsets as 32-bit numbers, the
// dump's label and a load's count of reads as 64-bit ones.
inline int32_t wrap_add(int32_t value, int64_t step)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value) + static_cast<uint32_t>(step));
}
inline int64_t wrap_add(int64_t value, int64_t step)
{
    return static_cast<int64_t>(static_cast<uint64_t>(value) + static_cast<uint64_t>(step));
}
