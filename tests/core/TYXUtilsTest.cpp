#include "core/TYXUtils.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace {

TEST(TYXUtilsTest, TrimWhitespaceCountsWhatItRemoves)
{
    const struct
    {
        const wchar_t *given;
        int32_t removed;
        const wchar_t *kept;
    } cases[] = {{L"\t hello \r\n", 5, L"hello"}, {L"    ", 4, L""}, {L"", 0, L""}, {L"a b", 0, L"a b"}};
    for (const auto &c : cases) {
        std::wstring text = c.given;
        EXPECT_EQ(TrimWhitespace(text), c.removed) << c.given;
        EXPECT_EQ(text, c.kept) << c.given;
    }
}

TEST(TYXUtilsTest, ProgramClockCarriesTheEightHourOffset)
{
    const int64_t wall = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const int64_t program = GetCurrentTimeUs();
    EXPECT_NEAR(static_cast<double>(program - wall), 28800000000.0, 5e6);
}

TEST(TYXUtilsTest, MultiByteBuffersAreSizedFromTheConversion)
{
    // Four supplementary characters take 16 bytes, more than twice their count.
    const std::wstring smiles(4, static_cast<wchar_t>(0x1F600));
    auto narrow = CTYXUtils::WideToMultiByte(smiles.c_str(), 0);
    ASSERT_TRUE(narrow);
    EXPECT_EQ(std::strlen(narrow.get()), 16u);

    auto part = CTYXUtils::WideToMultiByte(L"abcdef", 3);
    ASSERT_TRUE(part);
    EXPECT_STREQ(part.get(), "abc");

    auto wide = CTYXUtils::MultiByteToWide("\xE4\xB8\xAD" "x", 0);
    ASSERT_TRUE(wide);
    EXPECT_EQ(std::wstring(wide.get()), L"\u4e2dx");
}

TEST(TYXUtilsTest, WideToUtf8GivesNoneForEmptyText)
{
    EXPECT_EQ(CTYXUtils::WideToUtf8(L""), nullptr);
    EXPECT_EQ(CTYXUtils::WideToUtf8(nullptr), nullptr);
    auto text = CTYXUtils::WideToUtf8(L"\u4e2d");
    ASSERT_TRUE(text);
    EXPECT_STREQ(text.get(), "\xE4\xB8\xAD");
}

TEST(TYXUtilsTest, GpuErrorHandlerOnlyLogs)
{
    CLogCapture capture;
    HandleGPUCriticalError(0, L"no error");
    HandleGPUCriticalError(false, L"not fatal");
    EXPECT_TRUE(capture.Lines().empty());
    HandleGPUCriticalError(700, L"copy");
    HandleGPUCriticalError(true, L"copy");
    ASSERT_EQ(capture.Lines().size(), 2u);
    EXPECT_TRUE(capture.Contains(L"] Cuda call failed with cuda error(700) returned!", 3));
    EXPECT_TRUE(capture.Contains(L"]Notify TYX main to quit for GPU Error!", 3));
}

} // namespace
