#pragma once

// One text overlay as the writer keeps it, and the packed form its kernel reads.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Content kinds.
constexpr int32_t OSD_CONTENT_UNDEFINED = 0;
constexpr int32_t OSD_CONTENT_TIME = 1;
constexpr int32_t OSD_CONTENT_DATE = 2;
constexpr int32_t OSD_CONTENT_DATETIME = 4;
constexpr int32_t OSD_CONTENT_STATIC_TEXT = 6;
constexpr int32_t OSD_CONTENT_DYNAMIC_TEXT = 8;

// Position codes (shared with the graphics overlays).
constexpr int32_t OSD_POS_UNDEFINED = 0;
constexpr int32_t OSD_POS_CENTER = 1;
constexpr int32_t OSD_POS_LEFT_TOP = 2;
constexpr int32_t OSD_POS_RIGHT_TOP = 4;
constexpr int32_t OSD_POS_RIGHT_BOTTOM = 6;
constexpr int32_t OSD_POS_LEFT_BOTTOM = 8;
constexpr int32_t OSD_POS_TOP_MIDDLE = 10;
constexpr int32_t OSD_POS_BOTTOM_MIDDLE = 12;

// Colour codes (shared with the graphics overlays and the workers' colour settings).
constexpr int32_t OSD_COLOR_BLACK = 0;
constexpr int32_t OSD_COLOR_BLUE = 1;
constexpr int32_t OSD_COLOR_GREEN = 2;
constexpr int32_t OSD_COLOR_RED = 4;
constexpr int32_t OSD_COLOR_YELLOW = 8;
constexpr int32_t OSD_COLOR_WHITE = 16;

struct stOsdItem
{
    int32_t contentKind = OSD_CONTENT_UNDEFINED;
    int32_t position = OSD_POS_UNDEFINED;
    int16_t dx = 0;
    int16_t dy = 0;
    uint8_t colorY = 0;
    uint8_t colorU = 128;
    uint8_t colorV = 128;
    int16_t StartX = -1; // top-left pixel of the text in the frame; -1 until placed
    int16_t StartY = -1;
    uint16_t textWidth = 0;   // sum of the advances of the rendered characters
    uint16_t largestColumn = 0;
    std::vector<std::vector<uint16_t>> lumaRows;  // lit columns (from StartX) per text row
    std::vector<std::vector<uint8_t>> chromaRows; // coverage 0..4 per chroma sample and chroma row
    bool visible = true;
    std::wstring pendingText; // arrived before the frame size was known
    std::wstring text;        // the last text rendered, rendered again when the frame size changes
    uint8_t *pOsdInfoInDvc = nullptr; // packed stOSDPointsForGpu in device memory, or none
};

using OsdItemMap = std::map<uint16_t, stOsdItem>;

// Header of the packed device block of one text; the row tables and data follow it.
struct stOSDPointsForGpu
{
    uint32_t totalSize = 0;
    uint8_t colorY = 0;
    uint8_t colorU = 0;
    uint8_t colorV = 0;
    uint8_t zero = 0;
    int16_t StartX = 0;
    int16_t StartY = 0;
    int16_t textWidth = 0;
    int16_t firstChromaRowLength = 0;
    uint16_t lumaRowCount = 0;
    uint16_t chromaRowCount = 0;
    uint32_t lumaTableOffset = 56;
    uint32_t chromaTableOffset = 0;
    uint32_t lumaDataOffset = 0;
    uint32_t chromaDataOffset = 0;
    uint8_t reserved[20] = {};
};
static_assert(sizeof(stOSDPointsForGpu) == 56, "the packed OSD header keeps its 56 bytes");

// One entry of the luma or chroma row table.
struct stOsdRowEntry
{
    uint32_t count = 0;  // columns (luma) or bytes (chroma) in the row
    uint32_t offset = 0; // bytes from the start of the row data
    uint8_t zero[8] = {};
};
static_assert(sizeof(stOsdRowEntry) == 16, "an OSD row entry keeps its 16 bytes");
