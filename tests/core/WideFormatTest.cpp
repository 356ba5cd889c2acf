#include "core/WideFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace {

// Strings and characters, integer lengths by the Windows sizes, percent signs, and never writing through %n.
TEST(WideFormatTest, WindowsConventionsAreTranslated)
{
    const std::pair<const wchar_t *, const wchar_t *> cases[] = {
        {L"%s|%S|%hs|%ls|%ws|%c|%C", L"%ls|%s|%s|%ls|%ls|%lc|%c"},
        {L"%ld %lu %lx %I64d %lld %I32u %hd %5.2f %-08.3d", L"%d %u %x %lld %lld %u %hd %5.2f %-08.3d"},
        {L"100%% %n", L"100%% %%"}};
    for (const auto &[given, translated] : cases)
        EXPECT_EQ(TranslateWideFormat(given), translated) << given;
    EXPECT_EQ(TranslateNarrowFormat("%s|%S|%ls|%c|%C"), "%s|%ls|%ls|%c|%lc");
}

TEST(WideFormatTest, FormatsWideAndNarrowArguments)
{
    const int32_t value = -5;
    EXPECT_EQ(FormatWide(L"[%s:%x] %S=%ld %lld", L"Mux", 0x4000000, "\xE4\xB8\xAD", value,
                         static_cast<long long>(1) << 40),
              L"[Mux:4000000] \u4e2d=-5 1099511627776");
}

std::wstring FormatLimited(size_t limit, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = VFormatWide(format, args, limit);
    va_end(args);
    return text;
}

TEST(WideFormatTest, LongOutputIsCutAtTheLimit)
{
    const std::wstring longText(10000, L'x');
    EXPECT_EQ(FormatLimited(4047, L"%s", longText.c_str()).size(), 4047u);
    EXPECT_EQ(FormatLimited(100000, L"%s!", longText.c_str()).size(), 10001u);
}

std::wstring FormatEscaped(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = VFormatWideEscaped(format, args);
    va_end(args);
    return text;
}

std::wstring FormatPlain(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = VFormatWide(format, args);
    va_end(args);
    return text;
}

TEST(WideFormatTest, ControlCharactersBecomeEscapes)
{
    EXPECT_EQ(EscapeControlCharacters(L"a\r\nb\x1b[31mc\td\x7f\u0085e\u2028f\u4e2d\\"),
              L"a\\r\\nb\\x1b[31mc\\td\\x7f\\x85e\\u2028f\u4e2d\\");
}

// What an argument brings is escaped; the format's own line breaks stay.
TEST(WideFormatTest, ArgumentsOfALogLineAreEscaped)
{
    EXPECT_EQ(FormatEscaped(L"URL=%s|%S|%hs|%c|%.4s\n", L"rtmp://x\r\n[TRLSEC]", "v\x1b[2J", "\n", L'\r',
                            L"ab\ncd"),
              L"URL=rtmp://x\\r\\n[TRLSEC]|v\\x1b[2J|\\n|\\r|ab\\nc\n");
    // Without control characters the text is the one VFormatWide makes, whatever the directives.
    const wchar_t *format = L"[%s:%x] %S=%ld %lld %5.2f|%-6s|%C %hs %.3s %*d %-*.*s %I64u %zu %o %X %e %hd 100%% %n";
    const long long big = static_cast<long long>(1) << 40;
    EXPECT_EQ(FormatEscaped(format, L"Mux", 0x4000000, "\xE4\xB8\xAD", -5, big, 3.14159, L"ab", 'z', "narrow",
                            "abcdef", 6, 42, 5, 2, L"xyz", static_cast<unsigned long long>(big), static_cast<size_t>(7),
                            8, 255, 1.5e10, static_cast<short>(-3)),
              FormatPlain(format, L"Mux", 0x4000000, "\xE4\xB8\xAD", -5, big, 3.14159, L"ab", 'z', "narrow", "abcdef",
                          6, 42, 5, 2, L"xyz", static_cast<unsigned long long>(big), static_cast<size_t>(7), 8, 255,
                          1.5e10, static_cast<short>(-3)));
    // Bytes that are not UTF-8 keep the rest of the argument; a null string shows as such.
    EXPECT_EQ(FormatEscaped(L"%S|%S", "a\xFF" "b", static_cast<const char *>(nullptr)), L"a\uFFFDb|(null)");
}

} // namespace
