// The measure of sound against picture, checked on clips made with a known offset: it must see the
// offset that was put in, also a whole period of it, and only in the part of the picture it is
// told to look at.

#include "support/FlashBeepClip.h"
#include "support/SyncAnalysis.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// The clip's marks lie on pictures and samples; what the coders smear stays well within this.
constexpr double kToleranceMs = 5.0;
constexpr double kClipSeconds = 12.0;
constexpr int kFlashes = 6; // at 1, 3, ..., 11 s

stTestMediaSpec ClipMedia(const std::string &container = "mp4")
{
    stTestMediaSpec media;
    media.container = container;
    media.seconds = kClipSeconds;
    media.width = 640;
    media.height = 360;
    return media;
}

class SyncMeasureTest : public ::testing::Test
{
protected:
    stSyncReport Measure(int soundOffsetMs, const std::string &container = "mp4")
    {
        stFlashBeepSpec marks;
        marks.soundOffsetMs = soundOffsetMs;
        const std::filesystem::path file = m_dir.File("clip." + container);
        EXPECT_EQ(WriteFlashBeepClip(file, ClipMedia(container), marks), 0);
        return AnalyseSync(file);
    }

    CTempDir m_dir;
};

void ExpectEveryPairAt(const stSyncReport &report, double offsetMs, int pairs)
{
    ASSERT_TRUE(report.opened) << report.error;
    ASSERT_EQ(static_cast<int>(report.pairs.size()), pairs) << report.Summary();
    for (size_t i = 0; i < report.pairs.size(); ++i) {
        EXPECT_EQ(report.pairs[i].number, report.pairs.front().number + static_cast<int>(i)) << report.Summary();
        EXPECT_NEAR(report.pairs[i].offsetMs, offsetMs, kToleranceMs) << "flash " << report.pairs[i].number;
    }
    EXPECT_NEAR(MedianOffsetMs(report.pairs), offsetMs, kToleranceMs);
    EXPECT_NEAR(LargestOffsetMs(report.pairs), offsetMs, kToleranceMs);
}

TEST_F(SyncMeasureTest, FindsEveryFlashWithItsBeepAndTheTimeCovered)
{
    const stSyncReport report = Measure(0);
    ExpectEveryPairAt(report, 0.0, kFlashes);
    EXPECT_EQ(report.pairs.front().number, 0);
    EXPECT_NEAR(report.pairs.front().pictureMs, 1000.0, kToleranceMs);
    EXPECT_NEAR(report.PictureSeconds(), kClipSeconds, 0.05) << report.Summary();
    EXPECT_NEAR(report.SoundSeconds(), kClipSeconds, 0.05) << report.Summary();
}

TEST_F(SyncMeasureTest, SeesSoundLateAndSoundEarly)
{
    ExpectEveryPairAt(Measure(300), 300.0, kFlashes);
    ExpectEveryPairAt(Measure(-200), -200.0, kFlashes);
}

// One beep every period: without the numbers a beep a whole period late would pair with the next
// flash and look in step.
TEST_F(SyncMeasureTest, AWholePeriodLateIsNotInStep)
{
    const stSyncReport report = Measure(2000);
    ExpectEveryPairAt(report, 2000.0, kFlashes - 1);
}

// An output that drops the first picture of a flash shows the flash a picture late although its
// sound and picture are in step: that flash has no known start and is not paired; the rest are.
TEST_F(SyncMeasureTest, AFlashWhoseFirstPictureWasDroppedIsNotPaired)
{
    stTestMediaSpec media = ClipMedia();
    media.videoCodec = "mjpeg"; // every picture stands alone, so one can be left out
    const std::filesystem::path whole = m_dir.File("whole.mp4");
    ASSERT_EQ(WriteFlashBeepClip(whole, media, stFlashBeepSpec{}), 0);
    const std::filesystem::path dropped = m_dir.File("dropped.mp4");
    // As an output that dropped the flash's first picture stores the rest.
    const auto notTheFlashsFirst = [](const stTestPacket &packet) {
        return packet.mediaType != 0 || std::abs(packet.ptsUs - 3000000) >= 1000;
    };
    ASSERT_EQ(CopyTestMediaPackets(whole, dropped, nullptr, {}, notTheFlashsFirst), 0);

    const stSyncReport report = AnalyseSync(dropped);
    ASSERT_TRUE(report.opened) << report.error;
    EXPECT_EQ(report.pictures, static_cast<int>(kClipSeconds * 25) - 1) << report.Summary();
    ASSERT_EQ(static_cast<int>(report.pairs.size()), kFlashes - 1) << report.Summary();
    for (const stSyncPair &pair : report.pairs) {
        EXPECT_NE(pair.number, 1) << "the flash at 3 s began in the missing picture";
        EXPECT_NEAR(pair.offsetMs, 0.0, kToleranceMs) << "flash " << pair.number;
    }
}

// A push arrives as FLV, whose stamps are whole milliseconds.
TEST_F(SyncMeasureTest, ReadsFlvAsWellAsMp4)
{
    ExpectEveryPairAt(Measure(300, "flv"), 300.0, kFlashes);
}

// The clip fills one window of a 2x2 picture while the window beside it flashes half a period
// apart: only the region asked for counts.
TEST_F(SyncMeasureTest, LooksOnlyIntoItsRegion)
{
    stFlashBeepSpec marks;
    marks.width = 0.5;
    marks.height = 0.5;
    marks.decoyOffsetMs = 1000;
    const std::filesystem::path file = m_dir.File("window.mp4");
    ASSERT_EQ(WriteFlashBeepClip(file, ClipMedia(), marks), 0);

    stSyncRegion window;
    window.width = 0.5;
    window.height = 0.5;
    ExpectEveryPairAt(AnalyseSync(file, window), 0.0, kFlashes);

    stSyncRegion beside = window;
    beside.left = 0.5;
    const stSyncReport decoy = AnalyseSync(file, beside);
    ASSERT_TRUE(decoy.opened) << decoy.error;
    EXPECT_GE(decoy.flashes.size(), 5u) << decoy.Summary();
    for (const stSyncPair &pair : decoy.pairs)
        EXPECT_GT(std::abs(pair.offsetMs), 500.0) << "the decoy flashes a second from every beep";
}

} // namespace
