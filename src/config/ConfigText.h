#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Text helpers of the configuration, header-only so that the program-wide registries can use them
// without linking the loaders.

// Letter case is folded for ASCII only, as the keyword and alias comparisons always did: a Chinese
// alias matches only itself.
inline wchar_t FoldAsciiCase(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

inline bool EqualsNoCase(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i]))
            return false;
    }
    return true;
}

// Conversions with the meaning of the Windows C library on a 32-bit long: leading white space and
// a sign are accepted, conversion stops at the first character that is not a digit, and a value
// beyond the range is clamped to it. No digits give 0.
int32_t WideToInt32(std::wstring_view text, int base = 10);
int64_t WideToInt64(std::wstring_view text, int base = 10);
// All 64 bits of a hexadecimal or decimal number (a leading minus negates modulo 2^64).
uint64_t WideToUInt64(std::wstring_view text, int base = 10);
// A real number in the C locale whatever the host locale; values beyond the range give infinity.
double WideToReal(std::wstring_view text);
// A double narrowed to float the way the hardware does it: too large gives infinity.
float NarrowToFloat(double value);
