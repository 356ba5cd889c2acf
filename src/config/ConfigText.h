#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/TextCompare.h"

// Text helpers of the configuration.

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
