#pragma once

// Where the text overlay writer gets its glyph bitmaps: a font described like a Windows LOGFONT,
// selected for the duration of one text rendering, then asked for its cell metrics and for one
// 1-bit bitmap per character. The FreeType source is the real one; tests may use their own.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The font of one text overlay.
struct stOsdFont
{
    int32_t height = 0; // character cell height in pixels
    int32_t width = 0;
    int32_t weight = 0;
    uint8_t charSet = 0;
    std::wstring faceName;
};

struct stOsdTextMetrics
{
    int32_t height = 0;       // cell height
    int32_t ascent = 0;       // cell rows above the base line
    int32_t maxCharWidth = 0; // cell width
};

// One character: a 1-bit bitmap, most significant bit first, rows of pitch bytes. No bitmap (a blank)
// has width or rows 0 and only advances the pen.
struct stOsdGlyph
{
    int32_t width = 0;   // black box columns
    int32_t rows = 0;    // black box rows
    int32_t pitch = 0;   // bytes per bitmap row
    int32_t originX = 0; // black box left edge from the pen
    int32_t originY = 0; // black box top edge above the base line
    int32_t advance = 0; // horizontal pen advance
    std::vector<uint8_t> bits;
};

// A font selected for rendering; used by one thread at a time.
class COsdFontFace
{
public:
    virtual ~COsdFontFace() = default;
    // 0, or -8 when the metrics cannot be had.
    virtual int32_t GetTextMetrics(stOsdTextMetrics &metrics) = 0;
    // 0 with the glyph filled, or a negative error when no font has the character.
    virtual int32_t GetGlyph(wchar_t character, stOsdGlyph &glyph) = 0;
};

class COsdGlyphSource
{
public:
    virtual ~COsdGlyphSource() = default;
    // 0 with the face, -2 when no rendering context can be had, -4 when the font cannot be created,
    // -6 when it cannot be selected; lastError receives the cause. Any thread may call.
    virtual int32_t OpenFont(const stOsdFont &font, std::unique_ptr<COsdFontFace> &face, int32_t &lastError) = 0;
};

// The process's FreeType + fontconfig source.
std::shared_ptr<COsdGlyphSource> DefaultOsdGlyphSource();
