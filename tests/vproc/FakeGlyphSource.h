#pragma once

// A glyph source with fixed bitmaps, so text geometry can be checked pixel by pixel: every printable
// character but the blank is a solid block of kGlyphWidth x kGlyphRows whose top edge sits
// kGlyphRows above the base line; the blank has no bitmap; U+4E2D has no glyph in any font.

#include "vproc/OsdGlyphSource.h"

#include <atomic>

// The font the writer's callers give: "Arial" of that cell height, character set 134.
inline stOsdFont ArialFont(int32_t height = 16)
{
    stOsdFont font;
    font.height = height;
    font.charSet = 134;
    font.faceName = L"Arial";
    return font;
}

class CFakeGlyphSource : public COsdGlyphSource
{
public:
    static constexpr int32_t kGlyphWidth = 4;
    static constexpr int32_t kGlyphRows = 6;
    static constexpr int32_t kAdvance = 6;
    static constexpr int32_t kCellWidth = 8;
    static constexpr wchar_t kMissing = 0x4E2D;

    // The ascent of a cell of that height.
    static int32_t Ascent(int32_t height) { return height * 3 / 4; }

    int32_t OpenFont(const stOsdFont &font, std::unique_ptr<COsdFontFace> &face, int32_t &lastError) override
    {
        ++opened;
        lastError = 0;
        if (failWith != 0)
            return failWith;
        face = std::make_unique<CFace>(font.height);
        return 0;
    }

    std::atomic<int32_t> opened{0};
    int32_t failWith = 0;

private:
    class CFace : public COsdFontFace
    {
    public:
        explicit CFace(int32_t height) : m_height(height) {}
        int32_t GetTextMetrics(stOsdTextMetrics &metrics) override
        {
            metrics.height = m_height;
            metrics.ascent = Ascent(m_height);
            metrics.maxCharWidth = kCellWidth;
            return 0;
        }
        int32_t GetGlyph(wchar_t character, stOsdGlyph &glyph) override
        {
            if (character == kMissing)
                return -1;
            glyph = stOsdGlyph{};
            glyph.advance = kAdvance;
            if (character == L' ')
                return 0;
            glyph.width = kGlyphWidth;
            glyph.rows = kGlyphRows;
            glyph.pitch = 4;
            glyph.originX = 0;
            glyph.originY = kGlyphRows;
            glyph.bits.assign(static_cast<size_t>(glyph.pitch * glyph.rows), 0);
            for (int32_t r = 0; r < kGlyphRows; ++r)
                glyph.bits[static_cast<size_t>(r * glyph.pitch)] = 0xF0;
            return 0;
        }

    private:
        int32_t m_height;
    };
};
