#include "platform/TextCodec.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(TextCodecTest, GbkRoundTripOfChineseText)
{
    const auto gbk = CTextCodec::WideToGbk(L"\u4e2d\u6587");
    ASSERT_TRUE(gbk.has_value());
    EXPECT_EQ(*gbk, std::string("\xD6\xD0\xCE\xC4"));
    const auto wide = CTextCodec::GbkToWide(*gbk);
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(*wide, L"\u4e2d\u6587");
}

TEST(TextCodecTest, GbkGreekLettersOfStoredFiles)
{
    EXPECT_EQ(CTextCodec::GbkToWide("\xA6\xD8").value_or(L""), L"\u03c9");
    EXPECT_EQ(CTextCodec::GbkToWide("\xA6\xC8").value_or(L""), L"\u03b8");
}

TEST(TextCodecTest, Utf8OfBmpAndSupplementaryCharacters)
{
    EXPECT_EQ(CTextCodec::WideToUtf8(L"\u4e2d").value_or(""), std::string("\xE4\xB8\xAD"));
    const std::wstring smile(1, static_cast<wchar_t>(0x1F600));
    const auto utf8 = CTextCodec::WideToUtf8(smile);
    ASSERT_TRUE(utf8.has_value());
    EXPECT_EQ(*utf8, std::string("\xF0\x9F\x98\x80"));
    EXPECT_EQ(CTextCodec::Utf8ToWide(*utf8).value_or(L""), smile);
}

TEST(TextCodecTest, EmptyAndInvalidInput)
{
    EXPECT_EQ(CTextCodec::WideToUtf8(L"").value_or("x"), "");
    EXPECT_FALSE(CTextCodec::Utf8ToWide("\xC3\x28").has_value());
    EXPECT_FALSE(CTextCodec::Convert("abc", "NO-SUCH-ENCODING", "UTF-8").has_value());
}

TEST(TextCodecTest, UnconvertibleCharactersBecomeTheReplacementCharacter)
{
    std::wstring text = L"ok ";
    text += static_cast<wchar_t>(0xD800);             // a lone surrogate
    text += L" \u4e2d ";
    text += static_cast<wchar_t>(0x110000);           // beyond Unicode
    text += static_cast<wchar_t>(0x1F600);
    EXPECT_FALSE(CTextCodec::WideToUtf8(text).has_value());
    EXPECT_EQ(CTextCodec::WideToUtf8Replacing(text),
              std::string("ok \xEF\xBF\xBD \xE4\xB8\xAD \xEF\xBF\xBD\xF0\x9F\x98\x80"));
    EXPECT_EQ(CTextCodec::WideToUtf8Replacing(L"\u00e9\u07ff\u0800"), std::string("\xC3\xA9\xDF\xBF\xE0\xA0\x80"));
    EXPECT_EQ(CTextCodec::WideToUtf8Replacing(L""), "");
}

// Converting is frequent (every log line, every path): a thread opens each converter once, and a
// failed conversion leaves it usable.
TEST(TextCodecTest, AThreadKeepsItsConverters)
{
    EXPECT_EQ(CTextCodec::WideToGbk(L"\u4e2d").value_or(""), std::string("\xD6\xD0"));
    EXPECT_FALSE(CTextCodec::GbkToWide("\x81").has_value()); // cut in the middle of a character
    const int64_t opened = CTextCodec::OpenedConverters();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(CTextCodec::WideToGbk(L"\u4e2d").value_or(""), std::string("\xD6\xD0"));
        ASSERT_EQ(CTextCodec::GbkToWide("\xD6\xD0").value_or(L""), L"\u4e2d");
        ASSERT_FALSE(CTextCodec::GbkToWide("\xD6").has_value());
    }
    EXPECT_EQ(CTextCodec::OpenedConverters(), opened);

    std::thread other([] { EXPECT_EQ(CTextCodec::WideToGbk(L"\u6587").value_or(""), std::string("\xCE\xC4")); });
    other.join();
    EXPECT_EQ(CTextCodec::OpenedConverters(), opened + 1); // each thread has its own
}

TEST(TextCodecTest, LongTextGrowsTheOutput)
{
    const std::wstring text(100000, L'\u6587');
    const auto utf8 = CTextCodec::WideToUtf8(text);
    ASSERT_TRUE(utf8.has_value());
    EXPECT_EQ(utf8->size(), 300000u);
    EXPECT_EQ(CTextCodec::Utf8ToWide(*utf8).value_or(L""), text);
}

} // namespace
