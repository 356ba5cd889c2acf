#include "vproc/OSDDrawer.h"
#include "vproc/OsdWriter.h"

#include "FakeGlyphSource.h"
#include "OverlayTestFrame.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

constexpr uint16_t kOsd = 7;

struct OsdWriterTest : ::testing::Test
{
    std::shared_ptr<CFakeGlyphSource> glyphs = std::make_shared<CFakeGlyphSource>();

    std::unique_ptr<COsdWriter> Writer(bool longTexts = false)
    {
        return std::make_unique<COsdWriter>(longTexts, glyphs);
    }
    // A writer on a frame of that size with one red text item, no text yet, at the position.
    std::unique_ptr<COsdWriter> WriterWithOsd(int32_t width, int32_t height, int32_t position, int16_t dx = 0,
                                              int16_t dy = 0, bool longTexts = false)
    {
        auto writer = Writer(longTexts);
        writer->SetFrameSize(width, height, 0, 0);
        EXPECT_EQ(writer->AddOsd(kOsd, OSD_CONTENT_DYNAMIC_TEXT, ArialFont(), OSD_COLOR_RED, position, dx, dy, false), 1);
        return writer;
    }
    std::unique_ptr<COsdWriter> WriterWithText(int32_t width, int32_t height, const std::wstring &text,
                                               int32_t position, int16_t dx, int16_t dy)
    {
        auto writer = WriterWithOsd(width, height, position, dx, dy);
        writer->SetOsdText(kOsd, text);
        return writer;
    }
    stOsdItem Item(const COsdWriter &writer, uint16_t number = kOsd)
    {
        stOsdItem item;
        EXPECT_TRUE(writer.GetOsdItem(number, item));
        return item;
    }
};

TEST(InitOsgColorTest, ColourCodesGiveTheirYuvValues)
{
    struct
    {
        int32_t code;
        uint8_t y, u, v;
    } const cases[] = {{OSD_COLOR_BLACK, 0, 128, 128}, {OSD_COLOR_BLUE, 29, 255, 107}, {OSD_COLOR_GREEN, 150, 44, 21},
                       {OSD_COLOR_RED, 76, 85, 255},   {OSD_COLOR_YELLOW, 226, 1, 149}, {OSD_COLOR_WHITE, 255, 128, 128},
                       {3, 0, 128, 128}};
    for (const auto &c : cases) {
        const stColorYuv color = InitOsgColor(OsgColorCodeToRgb(c.code));
        EXPECT_EQ(color.y, c.y) << c.code;
        EXPECT_EQ(color.u, c.u) << c.code;
        EXPECT_EQ(color.v, c.v) << c.code;
    }
    // The low byte of the packed value is ignored.
    const stColorYuv red = InitOsgColor(0xFF0000FFu);
    EXPECT_EQ(red.y, 76);
    EXPECT_EQ(red.v, 255);
}

TEST_F(OsdWriterTest, AddOsdChecksKindAndFontHeightAndKeepsTheFirstOfANumber)
{
    auto writer = Writer();
    for (int32_t height : {15, 130, 18})
        EXPECT_EQ(writer->AddOsd(1, OSD_CONTENT_STATIC_TEXT, ArialFont(height), OSD_COLOR_RED, OSD_POS_CENTER, 0, 0, false), -1);
    EXPECT_EQ(writer->AddOsd(1, 0, ArialFont(), OSD_COLOR_RED, OSD_POS_CENTER, 0, 0, false), -1);
    EXPECT_EQ(writer->AddOsd(1, 10, ArialFont(), OSD_COLOR_RED, OSD_POS_CENTER, 0, 0, false), -1);
    EXPECT_EQ(writer->AddOsd(1, OSD_CONTENT_STATIC_TEXT, ArialFont(16), OSD_COLOR_RED, OSD_POS_CENTER, 0, 0, false), 1);
    EXPECT_EQ(writer->AddOsd(2, OSD_CONTENT_STATIC_TEXT, ArialFont(20), OSD_COLOR_RED, OSD_POS_CENTER, 0, 0, false), 2);
    EXPECT_EQ(writer->AddOsd(3, OSD_CONTENT_STATIC_TEXT, ArialFont(128), OSD_COLOR_RED, OSD_POS_CENTER, 0, 0, false), 3);
    // Same number again: the first item and its font stay.
    EXPECT_EQ(writer->AddOsd(1, OSD_CONTENT_TIME, ArialFont(64), OSD_COLOR_BLUE, OSD_POS_LEFT_TOP, 0, 0, false), 3);
    const stOsdItem item = Item(*writer, 1);
    EXPECT_EQ(item.contentKind, OSD_CONTENT_STATIC_TEXT);
    EXPECT_EQ(item.colorY, 76);
    writer->SetFrameSize(320, 240, 0, 0);
    ASSERT_EQ(writer->SetOsdText(1, L"A"), 1);
    EXPECT_EQ(Item(*writer, 1).lumaRows.size(), 16u); // the font of height 16, not 64
}

TEST_F(OsdWriterTest, ConfiguredOsdsAreCreatedInTheirFont)
{
    auto writer = Writer();
    writer->SetFrameSize(320, 64, 0, 0);
    stTYXOSDConfig config;
    config.OsdType = OSD_CONTENT_STATIC_TEXT;
    config.PosBase = OSD_POS_LEFT_TOP;
    config.XShift = 3;
    config.YShift = 2;
    config.TextColor = OSD_COLOR_GREEN;
    config.TextHeight = 20;
    config.Content = L"AB";
    EXPECT_EQ(writer->CreateFont(4, config), 1);
    const stOsdItem item = Item(*writer, 4);
    EXPECT_EQ(item.text, L"AB");
    EXPECT_EQ(item.lumaRows.size(), 20u);
    EXPECT_EQ(item.colorY, 150);
    EXPECT_EQ(item.StartX, 3);
    config.TextHeight = 18;
    EXPECT_EQ(writer->CreateFont(5, config), -1);
    config.TextHeight = 16;
    config.OsdType = OSD_CONTENT_DYNAMIC_TEXT;
    EXPECT_EQ(writer->CreateFont(6, config), 2);
    EXPECT_TRUE(Item(*writer, 6).text.empty()); // only a static text is set from the configuration
}

TEST_F(OsdWriterTest, TextLengthLimitsFollowTheLongTextsFlag)
{
    for (bool longTexts : {false, true}) {
        auto writer = WriterWithOsd(2048, 64, OSD_POS_LEFT_TOP, 0, 0, longTexts);
        EXPECT_EQ(writer->SetOsdText(kOsd, std::wstring(64, L'A')), 64);
        EXPECT_EQ(writer->SetOsdText(kOsd, std::wstring(65, L'A')), longTexts ? 65 : -1);
        EXPECT_EQ(writer->SetOsdText(kOsd, std::wstring(136, L'A')), longTexts ? 136 : -1);
        EXPECT_EQ(writer->SetOsdText(kOsd, std::wstring(137, L'A')), -1);
    }
    auto writer = Writer();
    CLogCapture log;
    EXPECT_EQ(writer->SetOsdText(kOsd, L""), -1);
    EXPECT_TRUE(log.Contains(L"The new OSD text to be set is empty!", 3));
    EXPECT_EQ(writer->SetOsdText(99, L"A"), -1); // no font for that number
}

TEST_F(OsdWriterTest, TextBeforeTheFrameSizeIsParkedAndRenderedByTheFirstSize)
{
    auto writer = Writer();
    writer->AddOsd(kOsd, OSD_CONTENT_STATIC_TEXT, ArialFont(), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 0, 0, false);
    CLogCapture log;
    EXPECT_EQ(writer->SetOsdText(kOsd, L"AB"), 0);
    EXPECT_TRUE(log.Contains(L"Frame size wasn't determined, OSD text should setting later!", 6));
    EXPECT_EQ(Item(*writer).pendingText, L"AB");
    EXPECT_FALSE(writer->HasDeviceBlock(kOsd));
    EXPECT_EQ(glyphs->opened.load(), 0);

    EXPECT_EQ(writer->SetFrameSize(0, 0, 0, 0), 0);
    EXPECT_FALSE(writer->HasDeviceBlock(kOsd));
    EXPECT_EQ(writer->SetFrameSize(64, 32, 0, 0), 0);
    const stOsdItem item = Item(*writer);
    EXPECT_TRUE(item.pendingText.empty());
    EXPECT_EQ(item.textWidth, 2 * CFakeGlyphSource::kAdvance);
    EXPECT_TRUE(writer->HasDeviceBlock(kOsd));
}

TEST_F(OsdWriterTest, BlanksAdvanceThePenWithoutPixels)
{
    auto writer = WriterWithText(320, 64, L"A B", OSD_POS_LEFT_TOP, 0, 0);
    const stOsdItem item = Item(*writer);
    EXPECT_EQ(item.textWidth, 3 * CFakeGlyphSource::kAdvance);
    const int32_t row = CFakeGlyphSource::Ascent(16) - CFakeGlyphSource::kGlyphRows + 1;
    const std::vector<uint16_t> expected = {1, 2, 3, 4, 13, 14, 15, 16};
    EXPECT_EQ(item.lumaRows[static_cast<size_t>(row)], expected);
    EXPECT_TRUE(item.lumaRows[0].empty());

    CLogCapture log;
    EXPECT_EQ(writer->SetOsdText(kOsd, L"   "), 0);
    EXPECT_TRUE(log.Contains(L"No character added successfully!", 3));
    EXPECT_FALSE(writer->HasDeviceBlock(kOsd));
}

TEST_F(OsdWriterTest, MissingGlyphIsSkippedAndTheRestRendered)
{
    auto writer = WriterWithOsd(320, 64, OSD_POS_LEFT_TOP);
    CLogCapture log;
    const std::wstring text = {L'A', CFakeGlyphSource::kMissing, L'B'};
    EXPECT_EQ(writer->SetOsdText(kOsd, text), 2);
    EXPECT_TRUE(log.Contains(L"Failed to getting points info for char('", 3));
    EXPECT_EQ(Item(*writer).textWidth, 2 * CFakeGlyphSource::kAdvance);
}

TEST_F(OsdWriterTest, FontFailuresGiveTheirCodes)
{
    auto writer = WriterWithOsd(320, 64, OSD_POS_LEFT_TOP);
    CLogCapture log;
    glyphs->failWith = -2;
    EXPECT_EQ(writer->SetOsdText(kOsd, L"A"), -2);
    glyphs->failWith = -4;
    EXPECT_EQ(writer->SetOsdText(kOsd, L"A"), -4);
    EXPECT_TRUE(log.Contains(L"Indirect Font Creating failed with last error=0! While(Char height=16, width=0, weight=0, charset=134, name=Arial.).", 3));
    glyphs->failWith = -6;
    EXPECT_EQ(writer->SetOsdText(kOsd, L"A"), -6);
}

TEST_F(OsdWriterTest, PlacementByPositionCode)
{
    // Right-bottom: the last text row on the last frame row, the right edge at W - w.
    auto writer = WriterWithText(64, 40, L"AB", OSD_POS_RIGHT_BOTTOM, 0, 0);
    stOsdItem item = Item(*writer);
    EXPECT_EQ(item.StartX, 64 - 12);
    EXPECT_EQ(item.StartY + static_cast<int32_t>(item.lumaRows.size()), 40);

    stOsdItem probe;
    probe.textWidth = 30;
    probe.lumaRows.resize(10);
    probe.dx = 3;
    probe.dy = -2;
    probe.position = OSD_POS_CENTER;
    COsdWriter::CalculateOsdStartPos(probe, 101, 51);
    EXPECT_EQ(probe.StartX, 101 / 2 - 15 + 3);
    EXPECT_EQ(probe.StartY, 51 / 2 - 2 - 5);
    probe.position = OSD_POS_BOTTOM_MIDDLE;
    probe.dy = 5;
    COsdWriter::CalculateOsdStartPos(probe, 101, 51);
    EXPECT_EQ(probe.StartY, 51 - 10); // clamped back into the frame
    probe.dy = -2;
    probe.position = OSD_POS_LEFT_TOP;
    COsdWriter::CalculateOsdStartPos(probe, 101, 51);
    EXPECT_EQ(probe.StartX, 3);
    EXPECT_EQ(probe.StartY, 1); // never above row 1
    probe.textWidth = 200;
    COsdWriter::CalculateOsdStartPos(probe, 101, 51);
    EXPECT_EQ(probe.StartX, 1); // wider than the frame
}

TEST_F(OsdWriterTest, UndefinedPositionIsNeverPlacedAndRefused)
{
    auto writer = WriterWithOsd(64, 32, OSD_POS_UNDEFINED);
    EXPECT_EQ(writer->SetOsdText(kOsd, L"A"), -1);
    const stOsdItem item = Item(*writer);
    EXPECT_EQ(item.StartX, -1);
    EXPECT_TRUE(item.chromaRows.empty());
    EXPECT_FALSE(writer->HasDeviceBlock(kOsd));
}

TEST_F(OsdWriterTest, SetFrameSizeSkipsTheSameSizeAndRefusesNegativeOnes)
{
    auto writer = Writer();
    EXPECT_EQ(writer->SetFrameSize(-1, 10, 0, 0), -1);
    EXPECT_EQ(writer->SetFrameSize(64, 32, 0, 0), 0);
    CLogCapture log;
    EXPECT_EQ(writer->SetFrameSize(64, 32, 0, 0), 0);
    EXPECT_TRUE(log.Contains(L"Input frame size are same with current values, skip...", 6));
    log.Clear();
    EXPECT_EQ(writer->SetFrameSize(64, 32, 64, 32), 0);
    EXPECT_TRUE(log.Contains(L"Input frame size are same with current values, skip..."));
    log.Clear();
    EXPECT_EQ(writer->SetFrameSize(64, 32, 128, 0), 0);
    EXPECT_FALSE(log.Contains(L"Input frame size are same with current values, skip..."));
}

// Red "A" at (2, 2) on a dark grey frame: luma exactly at the glyph, chroma blended by coverage.
TEST_F(OsdWriterTest, DrawsLumaAtLitPixelsAndBlendsChromaByCoverage)
{
    auto writer = WriterWithText(32, 32, L"A", OSD_POS_LEFT_TOP, 2, 2);
    COverlayTestFrame frame(32, 32);
    ASSERT_EQ(writer->ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false), 0);
    const int32_t top = 2 + CFakeGlyphSource::Ascent(16) - CFakeGlyphSource::kGlyphRows + 1; // frame row 9
    for (int32_t y = 0; y < 32; ++y) {
        for (int32_t x = 0; x < 32; ++x) {
            const bool lit = y >= top && y < top + 6 && x >= 3 && x < 7;
            ASSERT_EQ(frame.Y(x, y), lit ? 76 : 16) << x << "," << y;
        }
    }
    // Rows 9..14 and columns 3..6: samples (1..3, 4..7) hold 1, 2 or 4 lit pixels.
    const auto blend = [](int32_t color, int32_t g) { return (color * g + 128 * (4 - g)) / 4; };
    const int32_t coverage[4][3] = {{1, 2, 1}, {2, 4, 2}, {2, 4, 2}, {1, 2, 1}};
    for (int32_t cy = 0; cy < 16; ++cy) {
        for (int32_t cx = 0; cx < 16; ++cx) {
            const bool inside = cy >= 4 && cy <= 7 && cx >= 1 && cx <= 3;
            const int32_t g = inside ? coverage[cy - 4][cx - 1] : 0;
            ASSERT_EQ(frame.U(cx, cy), blend(85, g)) << cx << "," << cy;
            ASSERT_EQ(frame.V(cx, cy), blend(255, g)) << cx << "," << cy;
        }
    }
    EXPECT_TRUE(frame.GuardIntact());
}

// The device path, with the picture in device or host memory, draws what the host loop draws; and
// the count of visible texts is not cut to a byte: 300 texts all reach the picture.
TEST_F(OsdWriterTest, ManyTextsAreAllDrawnOnTheDevicePath)
{
    auto writer = Writer();
    writer->SetFrameSize(320, 240, 0, 0);
    for (uint16_t n = 0; n < 300; ++n) {
        const auto dx = static_cast<int16_t>(n % 20 * 16);
        const auto dy = static_cast<int16_t>(n / 20 * 16);
        ASSERT_EQ(writer->AddOsd(n + 1, OSD_CONTENT_DYNAMIC_TEXT, ArialFont(), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, dx, dy,
                                 false),
                  n + 1);
        ASSERT_EQ(writer->SetOsdText(n + 1, L"A"), 1);
    }
    writer->AddOsd(301, OSD_CONTENT_DYNAMIC_TEXT, ArialFont(), OSD_COLOR_YELLOW, OSD_POS_CENTER, 3, 1, false);
    ASSERT_EQ(writer->SetOsdText(301, L"AB C"), 3);
    writer->AddOsd(302, OSD_CONTENT_DYNAMIC_TEXT, ArialFont(20), OSD_COLOR_GREEN, OSD_POS_RIGHT_TOP, 1, 3, false);
    ASSERT_EQ(writer->SetOsdText(302, L"XYZ"), 3);
    COverlayTestFrame onHost(320, 240);
    writer->ProcessFrame(onHost.Data());
    COverlayTestFrame onDevice(320, 240);
    onDevice.OnDevice([&](uint8_t *data) { writer->ProcessFrameUseGpu(data, onDevice.Bytes(), true); });
    COverlayTestFrame copied(320, 240);
    writer->ProcessFrameUseGpu(copied.Data(), copied.Bytes(), false);
    EXPECT_EQ(onDevice.Picture(), onHost.Picture());
    EXPECT_EQ(copied.Picture(), onHost.Picture());
    EXPECT_TRUE(onDevice.GuardIntact());
    const stOsdItem last = Item(*writer, 300);
    const int32_t litRow = last.StartY + CFakeGlyphSource::Ascent(16) - CFakeGlyphSource::kGlyphRows + 1;
    EXPECT_EQ(onDevice.Y(last.StartX + 1, litRow), 255);
}

TEST_F(OsdWriterTest, HiddenTextsAreNotDrawn)
{
    auto writer = WriterWithText(32, 32, L"A", OSD_POS_LEFT_TOP, 2, 2);
    EXPECT_FALSE(writer->SetOsdVisible(99, false));
    EXPECT_TRUE(writer->SetOsdVisible(kOsd, false));
    CLogCapture log;
    COverlayTestFrame frame(32, 32);
    writer->ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    writer->ProcessFrame(frame.Data());
    EXPECT_EQ(frame.Picture(), COverlayTestFrame(32, 32).Picture());
    EXPECT_TRUE(log.Contains(L"All OSD was switched off.", 6));
    EXPECT_TRUE(writer->SetOsdVisible(kOsd, true));
    writer->ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    EXPECT_NE(frame.Picture(), COverlayTestFrame(32, 32).Picture());
}

// A text placed on a big frame is placed again when the frame shrinks, and nothing is ever written
// outside the picture, even for a text wider than the frame.
TEST_F(OsdWriterTest, ShrinkingFrameReplacesTextsAndDrawingStaysInsideThePicture)
{
    auto writer = WriterWithText(640, 360, L"ABCD", OSD_POS_RIGHT_BOTTOM, 0, 0);
    EXPECT_EQ(Item(*writer).StartX, 640 - 24);
    writer->SetFrameSize(48, 24, 0, 0);
    stOsdItem item = Item(*writer);
    EXPECT_EQ(item.StartX, 48 - 24);
    EXPECT_EQ(item.StartY, 24 - 16);
    COverlayTestFrame small(48, 24);
    writer->ProcessFrameUseGpu(small.Data(), small.Bytes(), false);
    EXPECT_TRUE(small.GuardIntact());
    EXPECT_EQ(small.Y(47 - 2, 23 - 3), 76);

    // Eight characters (48 columns) on a 32-wide frame: cut at the right edge, no wrap into the
    // next row and nothing below the last row.
    auto wide = WriterWithText(32, 16, L"AAAAAAAA", OSD_POS_LEFT_BOTTOM, 0, 0);
    COverlayTestFrame frame(32, 16);
    frame.OnDevice([&](uint8_t *data) { wide->ProcessFrameUseGpu(data, frame.Bytes(), true); });
    EXPECT_TRUE(frame.GuardIntact());
    for (int32_t y = 0; y < 16; ++y)
        EXPECT_EQ(frame.Y(0, y), 16) << y;
    EXPECT_EQ(frame.Y(29, 12), 76);
    COverlayTestFrame hostFrame(32, 16);
    wide->ProcessFrame(hostFrame.Data());
    EXPECT_EQ(hostFrame.Picture(), frame.Picture());
    EXPECT_TRUE(hostFrame.GuardIntact());
}

TEST_F(OsdWriterTest, FrameSmallerThanItsGeometryIsNotDrawn)
{
    auto writer = WriterWithText(32, 32, L"A", OSD_POS_LEFT_TOP, 2, 2);
    COverlayTestFrame frame(32, 16);
    writer->ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    EXPECT_EQ(frame.Picture(), COverlayTestFrame(32, 16).Picture());
    EXPECT_TRUE(frame.GuardIntact());
}

// The packed block itself is read back by every device-path drawing test; a text without chroma
// rows never reaches the device.
TEST_F(OsdWriterTest, PointsWithoutChromaRowsAreNotCopied)
{
    stOsdItem item;
    item.lumaRows = {{}, {1, 2, 3}, {7}};
    CLogCapture log;
    EXPECT_EQ(CopyInOSDInfo_Tuning(item), -1);
    EXPECT_TRUE(log.Contains(L"Source OSD Points line size(3, 0) is zero, give up coping", 3));
    EXPECT_EQ(item.pOsdInfoInDvc, nullptr);
}

TEST_F(OsdWriterTest, FailedDeviceAllocationLeavesNoBlockAndDrawsNothing)
{
    auto writer = WriterWithOsd(32, 32, OSD_POS_LEFT_TOP, 2, 2);
    CLogCapture log;
    DevInjectFault(EDevFault::Malloc, 1);
    EXPECT_EQ(writer->SetOsdText(kOsd, L"A"), -1);
    EXPECT_TRUE(log.Contains(L"Failed while alloc device memory!", 2));
    EXPECT_FALSE(writer->HasDeviceBlock(kOsd));
    COverlayTestFrame frame(32, 32);
    writer->ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    EXPECT_EQ(frame.Picture(), COverlayTestFrame(32, 32).Picture());
}

} // namespace
