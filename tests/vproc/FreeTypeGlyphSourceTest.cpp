#include "vproc/FreeTypeGlyphSource.h"
#include "vproc/OsdWriter.h"

#include "FakeGlyphSource.h"
#include "OverlayTestFrame.h"
#include "support/LogCapture.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

// Arial and its metric twin Liberation Sans: units per em and the Windows ascent and descent.
constexpr double kUnitsPerEm = 2048.0;
constexpr double kWinAscent = 1854.0;
constexpr double kWinDescent = 434.0;

std::string MatchFontFile(const char *family, std::string &matchedFamily)
{
    FcInit();
    FcPattern *pattern = FcNameParse(reinterpret_cast<const FcChar8 *>(family));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern *font = FcFontMatch(nullptr, pattern, &result);
    std::string path;
    FcChar8 *value = nullptr;
    if (font && FcPatternGetString(font, FC_FILE, 0, &value) == FcResultMatch)
        path = reinterpret_cast<const char *>(value);
    if (font && FcPatternGetString(font, FC_FAMILY, 0, &value) == FcResultMatch)
        matchedFamily = reinterpret_cast<const char *>(value);
    if (font)
        FcPatternDestroy(font);
    FcPatternDestroy(pattern);
    return path;
}

// What FreeType itself says about one character at the em size of a 32-pixel Arial cell.
struct stReference
{
    int32_t advance = 0, left = 0, top = 0, width = 0, rows = 0, lit = 0;
};

class CFreeTypeReference
{
public:
    explicit CFreeTypeReference(int32_t cellHeight)
    {
        std::string family;
        const std::string path = MatchFontFile("Arial", family);
        if (FT_Init_FreeType(&m_library) || FT_New_Face(m_library, path.c_str(), 0, &m_face))
            return;
        const double em = cellHeight * kUnitsPerEm / (kWinAscent + kWinDescent);
        FT_Set_Char_Size(m_face, 0, static_cast<FT_F26Dot6>(std::lround(em * 64)), 72, 72);
    }
    ~CFreeTypeReference()
    {
        if (m_face)
            FT_Done_Face(m_face);
        if (m_library)
            FT_Done_FreeType(m_library);
    }
    bool Ok() const { return m_face != nullptr; }
    stReference Glyph(wchar_t character) const
    {
        stReference ref;
        if (FT_Load_Char(m_face, character, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO))
            return ref;
        const FT_GlyphSlot slot = m_face->glyph;
        ref.advance = static_cast<int32_t>(slot->advance.x >> 6);
        ref.left = slot->bitmap_left;
        ref.top = slot->bitmap_top;
        ref.width = static_cast<int32_t>(slot->bitmap.width);
        ref.rows = static_cast<int32_t>(slot->bitmap.rows);
        for (int32_t r = 0; r < ref.rows; ++r) {
            for (int32_t b = 0; b < (ref.width + 7) / 8; ++b)
                ref.lit += std::popcount(static_cast<unsigned>(slot->bitmap.buffer[r * slot->bitmap.pitch + b]));
        }
        return ref;
    }

private:
    FT_Library m_library = nullptr;
    FT_Face m_face = nullptr;
};

TEST(FreeTypeGlyphSourceTest, ArialResolvesToItsMetricTwin)
{
    std::string family;
    EXPECT_FALSE(MatchFontFile("Arial", family).empty());
    EXPECT_EQ(family, "Liberation Sans");
}

TEST(FreeTypeGlyphSourceTest, CellMetricsFollowTheGdiCellHeight)
{
    CFreeTypeGlyphSource source;
    stOsdFont font = ArialFont(32);
    std::unique_ptr<COsdFontFace> face;
    int32_t lastError = 0;
    ASSERT_EQ(source.OpenFont(font, face, lastError), 0);
    stOsdTextMetrics metrics;
    ASSERT_EQ(face->GetTextMetrics(metrics), 0);
    EXPECT_EQ(metrics.height, 32);
    EXPECT_EQ(metrics.ascent, static_cast<int32_t>(std::lround(32 * kWinAscent / (kWinAscent + kWinDescent))));
    EXPECT_GE(metrics.maxCharWidth, 16);

    stOsdGlyph glyph;
    EXPECT_EQ(face->GetGlyph(L' ', glyph), 0);
    EXPECT_TRUE(glyph.bits.empty());
    EXPECT_GT(glyph.advance, 0);
    // A private-use character no installed font has is reported, not drawn as a box.
    EXPECT_LT(face->GetGlyph(static_cast<wchar_t>(0x10FFFD), glyph), 0);

    font.height = 0;
    EXPECT_EQ(source.OpenFont(font, face, lastError), -4);
}

// "Hi" at cell height 32: the text's width, bounding box and pixel count are those of FreeType's
// own glyphs placed by their metrics.
TEST(FreeTypeGlyphSourceTest, RenderedTextMatchesFreeTypeMetrics)
{
    CFreeTypeReference reference(32);
    ASSERT_TRUE(reference.Ok());
    const stReference h = reference.Glyph(L'H');
    const stReference i = reference.Glyph(L'i');
    const int32_t ascent = static_cast<int32_t>(std::lround(32 * kWinAscent / (kWinAscent + kWinDescent)));

    COsdWriter writer(false);
    writer.SetFrameSize(200, 100, 0, 0);
    ASSERT_EQ(writer.AddOsd(1, OSD_CONTENT_STATIC_TEXT, ArialFont(32), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 10, 20, false), 1);
    ASSERT_EQ(writer.SetOsdText(1, L"Hi"), 2);
    stOsdItem item;
    ASSERT_TRUE(writer.GetOsdItem(1, item));
    EXPECT_EQ(item.textWidth, h.advance + i.advance);
    EXPECT_EQ(item.lumaRows.size(), 32u);

    int32_t top = 1000, bottom = -1, left = 1000, right = -1, lit = 0;
    for (size_t r = 0; r < item.lumaRows.size(); ++r) {
        for (uint16_t column : item.lumaRows[r]) {
            top = std::min(top, static_cast<int32_t>(r));
            bottom = std::max(bottom, static_cast<int32_t>(r));
            left = std::min(left, static_cast<int32_t>(column));
            right = std::max(right, static_cast<int32_t>(column));
            ++lit;
        }
    }
    EXPECT_EQ(lit, h.lit + i.lit);
    EXPECT_EQ(top, ascent - std::max(h.top, i.top) + 1);
    EXPECT_EQ(bottom, ascent + 1 + std::max(h.rows - h.top, i.rows - i.top) - 1);
    EXPECT_EQ(left, h.left + 1);
    EXPECT_EQ(right, h.advance + i.left + i.width);

    COverlayTestFrame frame(200, 100);
    writer.ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    int32_t drawn = 0;
    for (int32_t y = 0; y < 100; ++y) {
        for (int32_t x = 0; x < 200; ++x)
            drawn += frame.Y(x, y) == 255;
    }
    EXPECT_EQ(drawn, lit);
    EXPECT_EQ(frame.Y(10 + left, 20 + ascent), 255); // the stem of the H on the base line
}

// The system's texts are Chinese (character set 134): "Arial" lacks the characters, and fontconfig
// finds an installed font that has them (scripts/setup.sh installs WenQuanYi Micro Hei).
TEST(FreeTypeGlyphSourceTest, ChineseTextRendersThroughTheFallbackFont)
{
    COsdWriter writer(false);
    writer.SetFrameSize(320, 80, 0, 0);
    ASSERT_EQ(writer.AddOsd(1, OSD_CONTENT_STATIC_TEXT, ArialFont(32), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 4, 4, false), 1);
    CLogCapture log;
    ASSERT_EQ(writer.SetOsdText(1, L"\u4E2D\u6587\u5B57\u5E55 OSD"), 7)
        << "no installed font has these Chinese characters: run scripts/setup.sh";
    EXPECT_EQ(log.Count(L"Failed to getting points info"), 0);
    stOsdItem item;
    ASSERT_TRUE(writer.GetOsdItem(1, item));
    EXPECT_GT(item.textWidth, 4 * 24) << "four full-width characters and three Latin ones";

    // Every Chinese character lights pixels of its own cell-wide column range.
    for (wchar_t character : {L'\u4E2D', L'\u6587', L'\u5B57', L'\u5E55'}) {
        ASSERT_EQ(writer.SetOsdText(1, std::wstring(1, character)), 1);
        ASSERT_TRUE(writer.GetOsdItem(1, item));
        size_t lit = 0;
        for (const auto &row : item.lumaRows)
            lit += row.size();
        EXPECT_GT(lit, 40u) << static_cast<int>(character);
    }
    COverlayTestFrame frame(320, 80);
    ASSERT_EQ(writer.SetOsdText(1, L"\u4E2D\u6587"), 2);
    writer.ProcessFrameUseGpu(frame.Data(), frame.Bytes(), false);
    int32_t drawn = 0;
    for (int32_t y = 0; y < 80; ++y) {
        for (int32_t x = 0; x < 320; ++x)
            drawn += frame.Y(x, y) == 255;
    }
    EXPECT_GT(drawn, 80);
}

// A character that no installed font has is left out and logged once, not at every rendering.
TEST(FreeTypeGlyphSourceTest, MissingCharacterIsLoggedOnce)
{
    COsdWriter writer(false);
    writer.SetFrameSize(320, 80, 0, 0);
    ASSERT_EQ(writer.AddOsd(1, OSD_CONTENT_DYNAMIC_TEXT, ArialFont(32), OSD_COLOR_WHITE, OSD_POS_LEFT_TOP, 4, 4, false), 1);
    CLogCapture log;
    const std::wstring text = std::wstring(L"A") + static_cast<wchar_t>(0x10FFFD) + L"B";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(writer.SetOsdText(1, text), 2);
    EXPECT_EQ(log.Count(L"Failed to getting points info"), 1);
}

} // namespace
