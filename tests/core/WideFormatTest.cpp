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

} // namespace
