#include "vproc/OsdWriter.h"

#include "FakeGlyphSource.h"
#include "OverlayTestFrame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

namespace {

// Local time 2026-07-05 09:05:03 on this host.
time_t FixedLocalTime()
{
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 6;
    local.tm_mday = 5;
    local.tm_hour = 9;
    local.tm_min = 5;
    local.tm_sec = 3;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

struct OsdClockTest : ::testing::Test
{
    std::shared_ptr<CFakeGlyphSource> glyphs = std::make_shared<CFakeGlyphSource>();
    COsdWriter writer{false, glyphs};
    std::atomic<time_t> now{FixedLocalTime()};

    void SetUp() override
    {
        writer.SetClock([this] { return now.load(); });
        writer.SetFrameSize(320, 64, 0, 0);
    }
    std::wstring Text(uint16_t number)
    {
        stOsdItem item;
        EXPECT_TRUE(writer.GetOsdItem(number, item));
        return item.text;
    }
};

TEST_F(OsdClockTest, ClockTextsShowTheInjectedLocalTime)
{
    writer.AddOsd(1, OSD_CONTENT_TIME, ArialFont(), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 0, false);
    writer.AddOsd(2, OSD_CONTENT_DATE, ArialFont(), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 20, false);
    writer.AddOsd(3, OSD_CONTENT_DATETIME, ArialFont(), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 40, false);
    COverlayTestFrame frame(320, 64);
    writer.ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    EXPECT_EQ(Text(1), L"09:05:03");
    EXPECT_EQ(Text(2), L"2026- 7-5");
    EXPECT_EQ(Text(3), L"2026-7-5 09:05:03");
    EXPECT_NE(frame.Picture(), COverlayTestFrame(320, 64).Picture());
}

TEST_F(OsdClockTest, ClockTextsAreRenderedAtMostOncePerSecond)
{
    writer.AddOsd(1, OSD_CONTENT_TIME, ArialFont(), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 0, false);
    COverlayTestFrame frame(320, 64);
    writer.ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    writer.ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    writer.ProcessFrame(frame.Data());
    EXPECT_EQ(glyphs->opened.load(), 1);
    now = now.load() + 1;
    writer.ProcessFrame(frame.Data());
    EXPECT_EQ(glyphs->opened.load(), 2);
    EXPECT_EQ(Text(1), L"09:05:04");
}

TEST_F(OsdClockTest, ExcludedClocksAndTextsNeverReadTheClock)
{
    std::atomic<int> reads{0};
    writer.SetClock([&] {
        ++reads;
        return now.load();
    });
    writer.AddOsd(1, OSD_CONTENT_TIME, ArialFont(), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 0, true);
    writer.AddOsd(2, OSD_CONTENT_STATIC_TEXT, ArialFont(), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 20, false);
    writer.AddOsd(3, 3, ArialFont(), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 40, false); // no clock format
    writer.SetOsdText(2, L"A");
    COverlayTestFrame frame(320, 64);
    writer.ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    writer.ProcessFrame(frame.Data());
    EXPECT_EQ(reads.load(), 0);
    EXPECT_TRUE(Text(1).empty());
}

// Remote commands retext, hide and add texts while a frame thread draws; run under the sanitizers.
TEST_F(OsdClockTest, RetextWhileDrawing)
{
    writer.AddOsd(1, OSD_CONTENT_TIME, ArialFont(), OSD_COLOR_WHITE, OSD_POS_RIGHT_TOP, 0, 0, false);
    writer.AddOsd(2, OSD_CONTENT_DYNAMIC_TEXT, ArialFont(), OSD_COLOR_RED, OSD_POS_CENTER, 0, 0, false);
    constexpr int kRounds = 200;
    std::latch start(2);
    std::thread drawer([&] {
        COverlayTestFrame frame(320, 64);
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            if (i % 2)
                writer.ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
            else
                writer.ProcessFrame(frame.Data());
            if (i % 20 == 0)
                writer.SetFrameSize(i % 40 ? 320 : 160, 64, 0, 0);
            ASSERT_TRUE(frame.GuardIntact());
        }
    });
    std::thread commands([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            writer.SetOsdText(2, std::wstring(static_cast<size_t>(1 + i % 20), L'A'));
            writer.SetOsdVisible(1, i % 3 != 0);
            writer.AddOsd(static_cast<uint16_t>(10 + i % 30), OSD_CONTENT_DYNAMIC_TEXT, ArialFont(), OSD_COLOR_BLUE,
                          OSD_POS_LEFT_BOTTOM, 0, 0, false);
            now = now.load() + 1;
        }
    });
    drawer.join();
    commands.join();
    EXPECT_EQ(writer.GetOsdCount(), 32);
}

} // namespace
