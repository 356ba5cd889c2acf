#pragma once

// Text overlays (OSDs) of one overlay slot: each text is rendered once from glyph bitmaps into lists
// of lit pixels, packed into device memory, and stamped into every frame. Clock texts are rendered
// again whenever the calendar second has changed since their last rendering.
//
// Threads: the owning worker's frame threads draw and set the frame size; remote-command threads and
// status code add, retext, show and hide texts. Every call takes the writer's recursive lock, and a
// frame is drawn under it as a whole, so a text is never drawn half-rendered.

#include "core/OsdOsgConfig.h"
#include "platform/CriticalSection.h"
#include "vproc/OsdGlyphSource.h"
#include "vproc/OsdItem.h"
#include "core/VideoFrameInfo.h"

#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Packed RGB (red in bits 24-31, green 16-23, blue 8-15) to YUV.
stColorYuv InitOsgColor(uint32_t packedRgb);
// The packed RGB value of an overlay colour code; any unknown code is black.
uint32_t OsgColorCodeToRgb(int32_t colorCode);

class COsdWriter
{
public:
    // longTexts: texts of up to 136 characters instead of 64. glyphs: none means the process's
    // FreeType source.
    explicit COsdWriter(bool longTexts = false, std::shared_ptr<COsdGlyphSource> glyphs = nullptr);
    ~COsdWriter();
    COsdWriter(const COsdWriter &) = delete;
    COsdWriter &operator=(const COsdWriter &) = delete;

    // Adds the configured OSD in "Arial" of its text height (character set 134) and renders a static
    // text; the result of AddOsd.
    int32_t CreateFont(uint16_t number, const stTYXOSDConfig &config);
    // Adds an OSD; the number of OSDs, or -1 for a content kind outside 1..9 or a font height outside
    // 16..128 or not a multiple of 4. A number already present keeps its item and font.
    int32_t AddOsd(uint16_t number, int32_t contentKind, const stOsdFont &font, int32_t colorCode,
                   int32_t position, int16_t dx, int16_t dy, bool noClockUpdate);
    // Renders a text; the number of characters rendered, 0 when parked until the frame size is known,
    // or a negative code.
    int32_t SetOsdText(uint16_t number, const std::wstring &text);
    // -1 for a negative size; 0 otherwise. A changed size places and renders every text again.
    int32_t SetFrameSize(int32_t width, int32_t height, int32_t lumaPitch, int32_t chromaPitch);
    // Draws all visible texts into an I420 frame of frameSize bytes (device or host memory); 0.
    int32_t ProcessFrameUseGpu(uint8_t *frame, int32_t frameSize, bool inDevice);
    // Draws all visible texts into an I420 frame in host memory by a host loop; 0.
    int32_t ProcessFrame(uint8_t *frame);
    // Removes an OSD and frees its device block: 0, or -1 when no OSD has that number.
    int32_t RemoveOsd(uint16_t number);
    // False when no OSD has that number.
    bool SetOsdVisible(uint16_t number, bool visible);
    // Renders the clock texts for that calendar time (local time of the host).
    void UpdateClockOsd(time_t now);
    // Places an item in a frame of that size by its position code and offsets.
    static void CalculateOsdStartPos(stOsdItem &item, int32_t frameWidth, int32_t frameHeight);

    int32_t GetOsdCount() const;
    // The number and content kind of every OSD, in number order.
    std::vector<std::pair<uint16_t, int32_t>> GetOsdKinds() const;
    // A copy of an item without its device block; false when absent.
    bool GetOsdItem(uint16_t number, stOsdItem &copy) const;
    bool HasDeviceBlock(uint16_t number) const;
    // The clock the drawing calls read for the clock texts (the wall clock by default).
    void SetClock(std::function<time_t()> clock);

private:
    struct stCell;
    int32_t RenderGlyph(COsdFontFace &face, const stOsdTextMetrics &metrics, wchar_t character, stCell &cell,
                        int32_t &advance);
    static void EnsureTextRows(stOsdItem &item, const stCell &cell, int32_t advance);
    static void BuildChromaRows(stOsdItem &item);
    static void ResetItem(stOsdItem &item);
    bool TakeClockUpdate(time_t &now);
    size_t TextLimit() const { return m_longTexts ? 136 : 64; }

    const bool m_longTexts;
    std::shared_ptr<COsdGlyphSource> m_glyphs;
    std::function<time_t()> m_clock;
    mutable CCriticalSection m_lock;
    std::map<uint16_t, stTYXOSDConfig> m_configs;
    OsdItemMap m_items;
    std::map<uint16_t, stOsdFont> m_fonts;
    std::map<uint16_t, int32_t> m_clocks;
    std::set<wchar_t> m_missingGlyphs; // characters no font could draw, logged once each
    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_lumaPitch = 0;
    int32_t m_chromaPitch = 0;
    int64_t m_lastClockSecond = 0;
};
