#pragma once

// Glyph bitmaps from FreeType, with fonts found through fontconfig. A face name resolves as fontconfig
// resolves it ("Arial" to its metric twin Liberation Sans); a character the face lacks is taken from
// the first other installed font that has it, and a character no font has is reported missing.
// The cell height, ascent and maximum width follow the GDI text metrics of a font created with that
// cell height, so texts keep their size and placement.

#include "vproc/OsdGlyphSource.h"

class CFreeTypeGlyphSource : public COsdGlyphSource
{
public:
    int32_t OpenFont(const stOsdFont &font, std::unique_ptr<COsdFontFace> &face, int32_t &lastError) override;
};
