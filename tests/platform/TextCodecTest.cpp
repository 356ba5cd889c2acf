#include "platform/TextCodec.h"

#include <gtest/gtest.h>

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

TEST(TextCodecTest, LongTextGrowsTheOutput)
{
    const std::wstring text(100000, L'\u6587');
    const auto utf8 = CTextCodec::WideToUtf8(text);
    ASSERT_TRUE(utf8.has_value());
    EXPECT_EQ(utf8->size(), 300000u);
    EXPECT_EQ(CTextCodec::Utf8ToWide(*utf8).value_or(L""), text);
}

} // namespace
