#include "numbers.hpp"

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

// Skips white space and a sign; returns true for a minus sign.
bool take_sign(const char*& p)
{
    while (is_space(*p))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    return negative;
}

int32_t unsigned_number(const char* p, int base)
{
    bool negative = take_sign(p);
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16)
        p += 2;
    uint64_t value = 0;
    bool too_large = false;
    for (; digit_value(*p) < base; ++p) {
        value = value * base + digit_value(*p);
        if (value > UINT32_MAX) {
            too_large = true;
            value = UINT32_MAX;
        }
    }
    if (too_large)
        return -1;
    uint32_t bits = static_cast<uint32_t>(value);
    return static_cast<int32_t>(negative ? 0u - bits : bits);
}

} // namespace

int32_t hex_number(const char* text)
{
    return unsigned_number(text, 16);
}

int32_t count_number(const char* text)
{
    return unsigned_number(text, 10);
}

int64_t startbyte_number(const char* p)
{
    bool negative = take_sign(p);
    int64_t value = 0;
    for (; digit_value(*p) < 10; ++p)
        value = value > (INT64_MAX - digit_value(*p)) / 10 ? INT64_MAX : value * 10 + digit_value(*p);
    if (negative)
        return value > -int64_t{INT32_MIN} ? INT32_MIN : -value;
    return value;
}
