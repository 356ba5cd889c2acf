#include "config/ConfigText.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f';
}

int DigitValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'Z')
        return c - L'A' + 10;
    return 99;
}

struct stParsedNumber
{
    bool negative = false;
    bool overflow = false; // beyond 64 bits
    uint64_t magnitude = 0;
};

stParsedNumber ParseMagnitude(std::wstring_view text, int base)
{
    stParsedNumber result;
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        result.negative = text[i] == L'-';
        ++i;
    }
    if (base == 16 && i + 2 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X') &&
        DigitValue(text[i + 2]) < 16)
        i += 2;
    const uint64_t limit = std::numeric_limits<uint64_t>::max();
    for (; i < text.size(); ++i) {
        const int digit = DigitValue(text[i]);
        if (digit >= base)
            break;
        if (result.magnitude > (limit - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
            result.overflow = true;
        else
            result.magnitude = result.magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return result;
}

template <typename T>
T ClampSigned(const stParsedNumber &number)
{
    const uint64_t maxPositive = static_cast<uint64_t>(std::numeric_limits<T>::max());
    if (!number.negative)
        return (number.overflow || number.magnitude > maxPositive) ? std::numeric_limits<T>::max()
                                                                    : static_cast<T>(number.magnitude);
    if (number.overflow || number.magnitude > maxPositive + 1)
        return std::numeric_limits<T>::min();
    if (number.magnitude == maxPositive + 1)
        return std::numeric_limits<T>::min();
    return static_cast<T>(-static_cast<T>(number.magnitude));
}

} // namespace

int32_t WideToInt32(std::wstring_view text, int base)
{
    return ClampSigned<int32_t>(ParseMagnitude(text, base));
}

int64_t WideToInt64(std::wstring_view text, int base)
{
    return ClampSigned<int64_t>(ParseMagnitude(text, base));
}

uint64_t WideToUInt64(std::wstring_view text, int base)
{
    const stParsedNumber number = ParseMagnitude(text, base);
    if (number.overflow)
        return std::numeric_limits<uint64_t>::max();
    return number.negative ? (~number.magnitude + 1) : number.magnitude;
}

double WideToReal(std::wstring_view text)
{
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    // Only ASCII can be part of a number; the rest ends it.
    std::string ascii;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    for (; i < text.size() && text[i] > 0 && text[i] < 0x80 && ascii.size() < 512; ++i)
        ascii.push_back(static_cast<char>(text[i]));
    double value = 0.0;
    const auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value,
                                              std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // from_chars leaves the value alone; tell overflow from underflow by the exponent's sign.
        const size_t e = ascii.find_first_of("eE");
        const bool tiny = e != std::string::npos && e + 1 < ascii.size() && ascii[e + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (error != std::errc()) {
        value = 0.0;
    }
    (void)end;
    return negative ? -value : value;
}

float NarrowToFloat(double value)
{
    if (std::isnan(value))
        return std::numeric_limits<float>::quiet_NaN();
    if (value > static_cast<double>(std::numeric_limits<float>::max()))
        return std::numeric_limits<float>::infinity();
    if (value < -static_cast<double>(std::numeric_limits<float>::max()))
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}
