#include "core/WideFormat.h"

#include "platform/TextCodec.h"

#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <locale.h>
#include <sys/types.h>
#include <optional>
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

// The values of the "*" width and precision of one directive, in argument order.
struct stStarValues
{
    int values[2] = {0, 0};
    int count = 0;
};

// swprintf and vswprintf report overflow and bad arguments alike by -1: the buffer grows from size
// until the cap, then the text is cut. write(buffer, size) is the printing call.
template <typename Write>
std::wstring GrowingFormat(size_t size, size_t maxChars, Write write)
{
    std::vector<wchar_t> buffer;
    for (;;) {
        size = std::min(size, maxChars + 1);
        buffer.assign(size, L'\0');
        const int written = write(buffer.data(), size);
        if (written >= 0)
            return std::wstring(buffer.data(), static_cast<size_t>(written));
        if (size > maxChars)
            break;
        size *= 4;
    }
    buffer[size - 1] = L'\0';
    return std::wstring(buffer.data());
}

template <typename... Args>
std::wstring FormatDirective(const std::wstring &directive, size_t maxChars, Args... args)
{
    return GrowingFormat(64, maxChars, [&](wchar_t *buffer, size_t size) {
        return swprintf(buffer, size, directive.c_str(), args...);
    });
}

template <typename T>
std::wstring FormatWithStars(const std::wstring &directive, const stStarValues &stars, size_t maxChars, T value)
{
    switch (stars.count) {
    case 0: return FormatDirective(directive, maxChars, value);
    case 1: return FormatDirective(directive, maxChars, stars.values[0], value);
    default: return FormatDirective(directive, maxChars, stars.values[0], stars.values[1], value);
    }
}

// The precision written after "." (a "*" takes the last star value); none without a dot.
std::optional<int> PrecisionOf(const std::wstring &prefix, const stStarValues &stars)
{
    const size_t dot = prefix.find(L'.');
    if (dot == std::wstring::npos)
        return std::nullopt;
    if (dot + 1 < prefix.size() && prefix[dot + 1] == L'*')
        return stars.values[stars.count - 1];
    int value = 0;
    for (size_t i = dot + 1; i < prefix.size() && prefix[i] >= L'0' && prefix[i] <= L'9'; ++i)
        value = value * 10 + (prefix[i] - L'0');
    return value;
}

// A narrow "%s" argument: UTF-8 bytes (up to the precision), bytes that are not UTF-8 shown as
// U+FFFD, then formatted as wide text with the directive's flags and width.
std::wstring FormatNarrowString(const stFormatSpec<wchar_t> &spec, const stStarValues &stars, const char *text,
                                size_t maxChars)
{
    const std::optional<int> precision = PrecisionOf(spec.prefix, stars);
    std::wstring wide = L"(null)";
    if (text) {
        const size_t bytes = precision && *precision >= 0 ? strnlen(text, static_cast<size_t>(*precision)) : strlen(text);
        const std::string_view view(text, bytes);
        if (auto converted = CTextCodec::Utf8ToWide(view)) {
            wide = std::move(*converted);
        } else {
            wide.clear();
            for (const char c : view)
                wide.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<wchar_t>(c) : L'\uFFFD');
        }
    } else if (precision && *precision >= 0 && static_cast<size_t>(*precision) < wide.size()) {
        wide.resize(static_cast<size_t>(*precision));
    }
    const std::wstring widthPart = spec.prefix.substr(0, spec.prefix.find(L'.'));
    stStarValues width;
    if (widthPart.find(L'*') != std::wstring::npos)
        width.values[width.count++] = stars.values[0];
    return FormatWithStars(L"%" + widthPart + L"ls", width, maxChars, wide.c_str());
}

template <typename Signed, typename Unsigned>
std::wstring FormatInteger(const std::wstring &directive, wchar_t conversion, const stStarValues &stars,
                           size_t maxChars, va_list *args)
{
    if (conversion == L'd' || conversion == L'i')
        return FormatWithStars(directive, stars, maxChars, va_arg(*args, Signed));
    return FormatWithStars(directive, stars, maxChars, va_arg(*args, Unsigned));
}

// One directive with the argument it takes; what a string or character argument brings is escaped.
std::wstring FormatArgument(const stFormatSpec<wchar_t> &spec, va_list *args, size_t maxChars)
{
    const wchar_t conversion = spec.conversion;
    if (conversion == L'n')
        return L"%"; // never written through, as the translation does
    const std::wstring mapped = MapSpec(spec, true);
    const std::wstring literal = L"%" + spec.prefix + spec.length + (conversion ? std::wstring(1, conversion) : L"");
    if (!conversion || !std::wcschr(L"sScCdiuxXofFeEgGaAp", conversion))
        return literal;
    stStarValues stars;
    for (const wchar_t c : spec.prefix) {
        if (c == L'*' && stars.count < 2)
            stars.values[stars.count++] = va_arg(*args, int);
    }
    const std::wstring directive = L"%" + mapped;
    // The glibc length modifier sits between the flags and the conversion.
    const std::wstring length = mapped.substr(spec.prefix.size(), mapped.size() - spec.prefix.size() - 1);
    switch (conversion) {
    case L's':
    case L'S':
        if (length == L"l")
            return EscapeControlCharacters(FormatWithStars(directive, stars, maxChars, va_arg(*args, const wchar_t *)));
        return EscapeControlCharacters(FormatNarrowString(spec, stars, va_arg(*args, const char *), maxChars));
    case L'c':
    case L'C':
        if (length == L"l")
            return EscapeControlCharacters(FormatWithStars(directive, stars, maxChars, va_arg(*args, wint_t)));
        return EscapeControlCharacters(FormatWithStars(directive, stars, maxChars, va_arg(*args, int)));
    case L'p': return FormatWithStars(directive, stars, maxChars, va_arg(*args, void *));
    case L'f':
    case L'F':
    case L'e':
    case L'E':
    case L'g':
    case L'G':
    case L'a':
    case L'A':
        if (length == L"L")
            return FormatWithStars(directive, stars, maxChars, va_arg(*args, long double));
        return FormatWithStars(directive, stars, maxChars, va_arg(*args, double));
    default: break;
    }
    if (length == L"ll" || length == L"L" || length == L"q")
        return FormatInteger<long long, unsigned long long>(directive, conversion, stars, maxChars, args);
    if (length == L"z")
        return FormatInteger<ssize_t, size_t>(directive, conversion, stars, maxChars, args);
    if (length == L"j")
        return FormatInteger<intmax_t, uintmax_t>(directive, conversion, stars, maxChars, args);
    if (length == L"t")
        return FormatInteger<ptrdiff_t, size_t>(directive, conversion, stars, maxChars, args);
    return FormatInteger<int, unsigned int>(directive, conversion, stars, maxChars, args);
}

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
    return GrowingFormat(256, maxChars, [&](wchar_t *buffer, size_t size) {
        va_list copy;
        va_copy(copy, args);
        const int written = vswprintf(buffer, size, translated.c_str(), copy);
        va_end(copy);
        return written;
    });
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

std::wstring EscapeControlCharacters(std::wstring_view text)
{
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        const uint32_t code = static_cast<uint32_t>(c);
        wchar_t escape[8];
        if (c == L'\r') {
            out += L"\\r";
        } else if (c == L'\n') {
            out += L"\\n";
        } else if (c == L'\t') {
            out += L"\\t";
        } else if (code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F)) {
            swprintf(escape, 8, L"\\x%02x", code);
            out += escape;
        } else if (code == 0x2028 || code == 0x2029) { // line and paragraph separators
            swprintf(escape, 8, L"\\u%04x", code);
            out += escape;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::wstring VFormatWideEscaped(const wchar_t *format, va_list args, size_t maxChars)
{
    if (!format)
        return {};
    CScopedLocale locale;
    va_list copy;
    va_copy(copy, args);
    std::wstring out;
    for (size_t i = 0; format[i] && out.size() <= maxChars;) {
        if (format[i] != L'%') {
            out.push_back(format[i++]);
            continue;
        }
        if (format[i + 1] == L'%') {
            out.push_back(L'%');
            i += 2;
            continue;
        }
        stFormatSpec<wchar_t> spec;
        i += 1 + ParseSpec(format + i + 1, spec);
        out += FormatArgument(spec, &copy, maxChars);
    }
    va_end(copy);
    if (out.size() > maxChars)
        out.resize(maxChars);
    return out;
}
