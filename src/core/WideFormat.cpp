#include "core/WideFormat.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <locale.h>
#include <string_view>
#include <vector>

namespace {

// One conversion directive split into its parts.
template <typename Char>
struct stFormatSpec
{
    std::basic_string<Char> prefix; // flags, width and precision
    std::basic_string<Char> length; // length modifier as written
    Char conversion = 0;
};

template <typename Char>
bool IsFlagOrWidth(Char c)
{
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '*' || c == '.' ||
           (c >= '0' && c <= '9');
}

template <typename Char>
size_t ParseSpec(const Char *text, stFormatSpec<Char> &spec)
{
    size_t i = 0;
    while (text[i] && IsFlagOrWidth(text[i]))
        spec.prefix.push_back(text[i++]);
    if (text[i] == 'I' && text[i + 1] == '6' && text[i + 2] == '4') {
        spec.length = {'I', '6', '4'};
        i += 3;
    } else if (text[i] == 'I' && text[i + 1] == '3' && text[i + 2] == '2') {
        spec.length = {'I', '3', '2'};
        i += 3;
    } else {
        while (text[i] == 'h' || text[i] == 'l' || text[i] == 'L' || text[i] == 'w' || text[i] == 'z' ||
               text[i] == 'j' || text[i] == 't' || text[i] == 'I' || text[i] == 'q')
            spec.length.push_back(text[i++]);
    }
    spec.conversion = text[i];
    return text[i] ? i + 1 : i;
}

bool IsIntegerConversion(int c)
{
    return c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X' || c == 'o';
}

// The glibc length and conversion for one Windows directive. wideDefault: whether a bare "%s"
// means a wide string (true in wide formats).
template <typename Char>
std::basic_string<Char> MapSpec(const stFormatSpec<Char> &spec, bool wideDefault)
{
    const std::basic_string<Char> &len = spec.length;
    const auto is = [&len](const char *text) {
        return std::basic_string_view<Char>(len.data(), len.size()) ==
               std::basic_string<Char>(text, text + std::char_traits<char>::length(text));
    };
    std::basic_string<Char> out = spec.prefix;
    const Char c = spec.conversion;
    const auto lit = [](const char *text) {
        return std::basic_string<Char>(text, text + std::char_traits<char>::length(text));
    };
    if (c == 's' || c == 'S' || c == 'c' || c == 'C') {
        bool wide;
        if (is("h") || is("hh"))
            wide = false;
        else if (is("l") || is("w") || is("ll"))
            wide = true;
        else
            wide = (c == 's' || c == 'c') ? wideDefault : !wideDefault;
        const bool isString = (c == 's' || c == 'S');
        return out + lit(wide ? (isString ? "ls" : "lc") : (isString ? "s" : "c"));
    }
    if (IsIntegerConversion(c)) {
        std::basic_string<Char> mapped;
        if (is("I64") || is("ll") || is("q"))
            mapped = lit("ll");
        else if (is("l") || is("I32"))
            mapped.clear(); // long is 32 bits in these texts
        else if (is("I"))
            mapped = lit("z");
        else
            mapped = len;
        return out + mapped + std::basic_string<Char>(1, c);
    }
    return out + len + std::basic_string<Char>(1, c);
}

template <typename Char>
std::basic_string<Char> Translate(const Char *format, bool wideDefault)
{
    std::basic_string<Char> out;
    if (!format)
        return out;
    for (size_t i = 0; format[i];) {
        if (format[i] != '%') {
            out.push_back(format[i++]);
            continue;
        }
        if (format[i + 1] == '%') {
            out.push_back('%');
            out.push_back('%');
            i += 2;
            continue;
        }
        stFormatSpec<Char> spec;
        const size_t used = ParseSpec(format + i + 1, spec);
        out.push_back('%');
        if (spec.conversion == 'n') {
            out.push_back('%'); // "%n" becomes a literal percent sign
        } else {
            out += MapSpec(spec, wideDefault);
        }
        i += 1 + used;
    }
    return out;
}

// Narrow "%s" arguments are UTF-8 whatever the process locale is.
locale_t Utf8Locale()
{
    static const locale_t locale = [] {
        locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return loc ? loc : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    return locale;
}

class CScopedLocale
{
public:
    CScopedLocale() : m_previous(uselocale(Utf8Locale())) {}
    ~CScopedLocale() { uselocale(m_previous); }
    CScopedLocale(const CScopedLocale &) = delete;
    CScopedLocale &operator=(const CScopedLocale &) = delete;

private:
    locale_t m_previous;
};

} // namespace

std::wstring TranslateWideFormat(const wchar_t *format)
{
    return Translate(format, true);
}

std::string TranslateNarrowFormat(const char *format)
{
    return Translate(format, false);
}

std::wstring VFormatWide(const wchar_t *format, va_list args, size_t maxChars)
{
    if (!format)
        return {};
    const std::wstring translated = TranslateWideFormat(format);
    CScopedLocale locale;
    // vswprintf reports overflow and bad arguments alike by -1: grow until the cap, then cut.
    size_t size = 256;
    std::vector<wchar_t> buffer;
    for (;;) {
        size = std::min(size, maxChars + 1);
        buffer.assign(size, L'\0');
        va_list copy;
        va_copy(copy, args);
        const int written = vswprintf(buffer.data(), size, translated.c_str(), copy);
        va_end(copy);
        if (written >= 0)
            return std::wstring(buffer.data(), static_cast<size_t>(written));
        if (size > maxChars)
            break;
        size *= 4;
    }
    buffer[size - 1] = L'\0';
    return std::wstring(buffer.data());
}

std::wstring FormatWide(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = VFormatWide(format, args);
    va_end(args);
    return text;
}

std::string VFormatNarrow(const char *format, va_list args)
{
    if (!format)
        return {};
    const std::string translated = TranslateNarrowFormat(format);
    CScopedLocale locale;
    va_list copy;
    va_copy(copy, args);
    const int needed = vsnprintf(nullptr, 0, translated.c_str(), copy);
    va_end(copy);
    if (needed <= 0)
        return {};
    std::string out(static_cast<size_t>(needed) + 1, '\0');
    vsnprintf(out.data(), out.size(), translated.c_str(), args);
    out.resize(static_cast<size_t>(needed));
    return out;
}
