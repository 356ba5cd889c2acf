#include "vproc/OsdWriter.h"

#include "core/debuglog.h"
#include "vproc/OSDDrawer.h"
#include "vproc/OverlayPixels.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <vector>

namespace {

// Distinct missing characters a writer reports; beyond them the log stays quiet.
constexpr size_t kMissingGlyphsLogged = 64;

uint8_t ToColorByte(double value)
{
    const float rounded = std::round(static_cast<float>(value));
    const auto truncated = static_cast<int16_t>(rounded);
    return ClampToByte(truncated);
}

bool IsClockKind(int32_t kind)
{
    // Kind 3 has no clock format: registering it would retext it with nothing every second.
    return kind == OSD_CONTENT_TIME || kind == OSD_CONTENT_DATE || kind == OSD_CONTENT_DATETIME;
}

std::wstring FormatClockText(int32_t kind, const std::tm &local)
{
    wchar_t buffer[24] = {};
    switch (kind) {
    case OSD_CONTENT_TIME:
        std::swprintf(buffer, 24, L"%2.2d:%2.2d:%2.2d", local.tm_hour, local.tm_min, local.tm_sec);
        break;
    case OSD_CONTENT_DATE:
        std::swprintf(buffer, 24, L"%d-%2d-%d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
        break;
    case OSD_CONTENT_DATETIME:
        std::swprintf(buffer, 24, L"%d-%d-%d %2.2d:%2.2d:%2.2d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        break;
    default: break;
    }
    return buffer;
}

} // namespace

stColorYuv InitOsgColor(uint32_t packedRgb)
{
    const double r = (packedRgb >> 24) & 0xFF;
    const double g = (packedRgb >> 16) & 0xFF;
    const double b = (packedRgb >> 8) & 0xFF;
    stColorYuv color;
    color.y = ToColorByte(0.299 * r + 0.587 * g + 0.114 * b);
    color.u = ToColorByte(0.5 * b - 0.3313 * g - 0.1687 * r + 128.0);
    color.v = ToColorByte(0.5 * r - 0.4187 * g - 0.0813 * b + 128.0);
    return color;
}

uint32_t OsgColorCodeToRgb(int32_t colorCode)
{
    switch (colorCode) {
    case OSD_COLOR_BLUE: return 0x0000FF00u;
    case OSD_COLOR_GREEN: return 0x00FF0000u;
    case OSD_COLOR_RED: return 0xFF000000u;
    case OSD_COLOR_YELLOW: return 0xFFFF0000u;
    case OSD_COLOR_WHITE: return 0xFFFFFF00u;
    default: return 0;
    }
}

// The character cell a glyph is rendered into: height rows of maxCharWidth pixels.
struct COsdWriter::stCell
{
    int32_t rows = 0;
    int32_t columns = 0;
    std::vector<uint8_t> lit;

    void Clear() { std::fill(lit.begin(), lit.end(), 0); }
};

COsdWriter::COsdWriter(bool longTexts, std::shared_ptr<COsdGlyphSource> glyphs)
    : m_longTexts(longTexts), m_glyphs(glyphs ? std::move(glyphs) : DefaultOsdGlyphSource()),
      m_clock([] { return std::time(nullptr); })
{
}

COsdWriter::~COsdWriter()
{
    CCsLock lock(m_lock);
    for (auto &entry : m_items)
        FreeOSDInfoInDvc(entry.second);
}

void COsdWriter::SetClock(std::function<time_t()> clock)
{
    CCsLock lock(m_lock);
    m_clock = std::move(clock);
}

int32_t COsdWriter::CreateFont(uint16_t number, const stTYXOSDConfig &config)
{
    stOsdFont font;
    font.height = config.TextHeight;
    font.charSet = 134; // GB2312
    font.faceName = L"Arial";
    const int32_t result = AddOsd(number, config.OsdType, font, config.TextColor, config.PosBase, config.XShift,
                                  config.YShift, config.ClockExcluded != 0);
    if (result < 0)
        return result;
    {
        CCsLock lock(m_lock);
        m_configs.emplace(number, config);
    }
    if (config.OsdType == OSD_CONTENT_STATIC_TEXT)
        SetOsdText(number, config.Content);
    return result;
}

int32_t COsdWriter::AddOsd(uint16_t number, int32_t contentKind, const stOsdFont &font, int32_t colorCode,
                           int32_t position, int16_t dx, int16_t dy, bool noClockUpdate)
{
    if (contentKind < 1 || contentKind > 9 || font.height < 16 || font.height > 128 || font.height % 4 != 0)
        return -1;
    const stColorYuv color = InitOsgColor(OsgColorCodeToRgb(colorCode));
    stOsdItem item;
    item.contentKind = contentKind;
    item.position = position;
    item.dx = dx;
    item.dy = dy;
    item.colorY = color.y;
    item.colorU = color.u;
    item.colorV = color.v;

    CCsLock lock(m_lock);
    const bool inserted = m_items.emplace(number, std::move(item)).second;
    if (inserted) {
        m_fonts.emplace(number, font);
        if (IsClockKind(contentKind) && !noClockUpdate)
            m_clocks[number] = contentKind;
    }
    return static_cast<int32_t>(m_items.size());
}

int32_t COsdWriter::RemoveOsd(uint16_t number)
{
    CCsLock lock(m_lock);
    const auto item = m_items.find(number);
    if (item == m_items.end())
        return -1;
    FreeOSDInfoInDvc(item->second);
    m_items.erase(item);
    m_fonts.erase(number);
    m_clocks.erase(number);
    m_configs.erase(number);
    return 0;
}

int32_t COsdWriter::RenderGlyph(COsdFontFace &face, const stOsdTextMetrics &metrics, wchar_t character,
                                stCell &cell, int32_t &advance)
{
    stOsdGlyph glyph;
    const int32_t result = face.GetGlyph(character, glyph);
    if (result < 0)
        return result;
    advance = glyph.advance;
    if (glyph.width < 1 || glyph.rows < 1 || glyph.width > 65534 || glyph.bits.empty())
        return 0;
    int32_t lit = 0;
    for (int32_t i = 0; i < glyph.rows; ++i) {
        const int32_t row = metrics.ascent - glyph.originY + 1 + i;
        if (row < 0 || row >= cell.rows)
            continue;
        for (int32_t k = 0; k < glyph.width; ++k) {
            const uint8_t byte = glyph.bits[static_cast<size_t>(i) * glyph.pitch + k / 8];
            if (!(byte & (0x80 >> (k % 8))))
                continue;
            const int32_t column = glyph.originX + 1 + k;
            if (column < 0 || column >= cell.columns)
                continue;
            cell.lit[static_cast<size_t>(row) * cell.columns + column] = 1;
            ++lit;
        }
    }
    return lit;
}

void COsdWriter::EnsureTextRows(stOsdItem &item, const stCell &cell, int32_t advance)
{
    if (item.lumaRows.size() < static_cast<size_t>(cell.rows))
        item.lumaRows.resize(static_cast<size_t>(cell.rows));
    const int32_t pen = item.textWidth;
    for (int32_t r = 0; r < cell.rows; ++r) {
        for (int32_t j = 0; j < cell.columns; ++j) {
            if (!cell.lit[static_cast<size_t>(r) * cell.columns + j])
                continue;
            const int32_t column = pen + j;
            if (column > 0xFFFF)
                continue;
            item.lumaRows[static_cast<size_t>(r)].push_back(static_cast<uint16_t>(column));
            item.largestColumn = std::max<uint16_t>(item.largestColumn, static_cast<uint16_t>(column));
        }
    }
    item.textWidth = static_cast<uint16_t>(std::clamp(pen + advance, 0, 0xFFFF));
}

void COsdWriter::BuildChromaRows(stOsdItem &item)
{
    // Each counter holds how many of the up to four luma pixels under one chroma sample are lit.
    // The sample of frame column StartX + x is (StartX + x) / 2, stored from StartX / 2 on.
    std::vector<uint8_t> counters(item.largestColumn / 2 + 2, 0);
    const int32_t firstSample = item.StartX / 2;
    item.chromaRows.clear();
    for (size_t k = 0; k < item.lumaRows.size(); ++k) {
        for (uint16_t x : item.lumaRows[k]) {
            const size_t index = static_cast<size_t>((item.StartX + x) / 2 - firstSample);
            if (index < counters.size() && counters[index] < 4)
                ++counters[index];
        }
        if ((item.StartY + static_cast<int32_t>(k)) % 2 == 1) {
            item.chromaRows.push_back(counters);
            std::fill(counters.begin(), counters.end(), 0);
        }
    }
}

void COsdWriter::ResetItem(stOsdItem &item)
{
    item.lumaRows.clear();
    item.chromaRows.clear();
    item.pendingText.clear();
    item.textWidth = 0;
    item.largestColumn = 0;
    FreeOSDInfoInDvc(item);
}

int32_t COsdWriter::SetOsdText(uint16_t number, const std::wstring &text)
{
    if (text.empty()) {
        TYX_LOG(3, L"The new OSD text to be set is empty!");
        return -1;
    }
    if (text.size() > TextLimit())
        return -1;
    stOsdFont font;
    {
        CCsLock lock(m_lock);
        const auto found = m_fonts.find(number);
        if (found == m_fonts.end())
            return -1;
        font = found->second;
        if (m_width < 1 || m_height < 1) {
            const auto item = m_items.find(number);
            if (item != m_items.end())
                item->second.pendingText = text;
            TYX_LOG(6, L"Frame size wasn't determined, OSD text should setting later!");
            return 0;
        }
    }

    TYX_LOG(7, L"Preparing for Test points retreiving...");
    std::unique_ptr<COsdFontFace> face;
    int32_t lastError = 0;
    const int32_t opened = m_glyphs->OpenFont(font, face, lastError);
    if (opened == -2) {
        TYX_LOG(3, L"GetDC() failed with last error=%d!", lastError);
        return -2;
    }
    if (opened == -4 || (opened < 0 && opened != -6) || (opened == 0 && !face)) {
        TYX_LOG(3, L"Indirect Font Creating failed with last error=%d! While(Char height=%d, width=%d, weight=%d, charset=%d, name=%s.).",
                lastError, font.height, font.width, font.weight, static_cast<int32_t>(font.charSet),
                font.faceName.c_str());
        return -4;
    }
    if (opened == -6) {
        TYX_LOG(3, L"Font Object Selecting failed with last error=%d!", lastError);
        return -6;
    }
    stOsdTextMetrics metrics;
    if (face->GetTextMetrics(metrics) < 0 || metrics.height < 1 || metrics.maxCharWidth < 1) {
        TYX_LOG(3, L"GetTextMetrics() failed with last error=%d!", -8);
        return -8;
    }
    stCell cell;
    cell.rows = metrics.height;
    cell.columns = metrics.maxCharWidth;
    cell.lit.assign(static_cast<size_t>(cell.rows) * cell.columns, 0);

    CCsLock lock(m_lock);
    const auto found = m_items.find(number);
    if (found == m_items.end())
        return -1;
    stOsdItem &item = found->second;
    ResetItem(item);
    item.text = text;

    TYX_LOG(7, L"Begin retreive and insert OSD points for each word...");
    int32_t rendered = 0;
    for (wchar_t character : text) {
        int32_t advance = 0;
        const int32_t lit = RenderGlyph(*face, metrics, character, cell, advance);
        if (lit < 0) {
            // A clock or status text is rendered again and again: its missing character once is enough.
            if (m_missingGlyphs.size() < kMissingGlyphsLogged && m_missingGlyphs.insert(character).second)
                TYX_LOG(3, L"Failed to getting points info for char('%c') with err=%d!", character, lit);
            continue;
        }
        TYX_LOG(8, L"Points info of new word retreived.");
        EnsureTextRows(item, cell, advance);
        TYX_LOG(8, L"Points into of new word inserted int map.");
        if (lit > 0)
            ++rendered;
        cell.Clear();
    }
    TYX_LOG(7, L"All OSD word was inserted into OSD map.");
    if (rendered < 1 || item.largestColumn < 1 || item.lumaRows.empty()) {
        TYX_LOG(3, L"No character added successfully!");
        return rendered;
    }
    CalculateOsdStartPos(item, m_width, m_height);
    TYX_LOG(7, L"New OSD start-pos caculated.");
    if (item.StartX >= 0 && item.StartY >= 0) {
        TYX_LOG(7, L"Caculating UV points OSD points refferenced info...");
        BuildChromaRows(item);
        TYX_LOG(7, L"UV points OSD points refferenced info Caculated.");
    }
    TYX_LOG(7, L"Copy OSD points into...");
    const int32_t packed = CopyInOSDInfo_Tuning(item);
    if (packed < 0)
        return packed;
    TYX_LOG(7, L"OSD points copied into device...");
    return rendered;
}

void COsdWriter::CalculateOsdStartPos(stOsdItem &item, int32_t frameWidth, int32_t frameHeight)
{
    if (frameWidth < 1 || frameHeight < 1)
        return;
    const int32_t w = item.textWidth;
    const int32_t n = static_cast<int32_t>(item.lumaRows.size());
    int32_t x = 0;
    int32_t y = 0;
    switch (item.position) {
    case OSD_POS_CENTER:
        x = frameWidth / 2 - w / 2 + item.dx;
        y = frameHeight / 2 + item.dy - n / 2;
        break;
    case OSD_POS_LEFT_TOP:
        x = item.dx;
        y = item.dy;
        break;
    case OSD_POS_RIGHT_TOP:
        x = item.dx + frameWidth - w;
        y = item.dy;
        break;
    case OSD_POS_RIGHT_BOTTOM:
        x = item.dx + frameWidth - w;
        y = item.dy + frameHeight - n;
        break;
    case OSD_POS_LEFT_BOTTOM:
        x = item.dx;
        y = item.dy + frameHeight - n;
        break;
    case OSD_POS_TOP_MIDDLE:
        x = frameWidth / 2 - w / 2 + item.dx;
        y = item.dy;
        break;
    case OSD_POS_BOTTOM_MIDDLE:
        x = frameWidth / 2 - w / 2 + item.dx;
        y = item.dy + frameHeight - n;
        break;
    default: return;
    }
    if (frameWidth < x + w)
        x = frameWidth - w;
    if (x <= 0)
        x = 1;
    if (frameHeight < y + n)
        y = frameHeight - n;
    if (y <= 0)
        y = 1;
    item.StartX = static_cast<int16_t>(std::clamp(x, 0, 0x7FFF));
    item.StartY = static_cast<int16_t>(std::clamp(y, 0, 0x7FFF));
    TYX_LOG(7, L"Osd startpos was set to: StartX=%d, StartY=%d.", static_cast<int32_t>(item.StartX),
            static_cast<int32_t>(item.StartY));
}

int32_t COsdWriter::SetFrameSize(int32_t width, int32_t height, int32_t lumaPitch, int32_t chromaPitch)
{
    TYX_LOG(6, L"Setting frame size for OSD writer...");
    if (width < 0 || height < 0)
        return -1;
    CCsLock lock(m_lock);
    if (width == m_width && height == m_height && (lumaPitch == 0 || lumaPitch == m_lumaPitch) &&
        (chromaPitch == 0 || chromaPitch == m_chromaPitch)) {
        TYX_LOG(6, L"Input frame size are same with current values, skip...");
        return 0;
    }
    m_width = width;
    m_height = height;
    m_lumaPitch = lumaPitch > 0 ? lumaPitch : width;
    m_chromaPitch = chromaPitch > 0 ? chromaPitch : static_cast<int32_t>(I420ChromaPitch(width));
    // Every text is placed again: a text placed for another size would land outside this frame.
    std::vector<std::pair<uint16_t, std::wstring>> texts;
    for (const auto &entry : m_items) {
        const stOsdItem &item = entry.second;
        const std::wstring &text = item.pendingText.empty() ? item.text : item.pendingText;
        if (!text.empty())
            texts.emplace_back(entry.first, text);
    }
    for (const auto &entry : texts)
        SetOsdText(entry.first, entry.second);
    return 0;
}

void COsdWriter::UpdateClockOsd(time_t now)
{
    CCsLock lock(m_lock);
    m_lastClockSecond = static_cast<int64_t>(now);
    std::tm local{};
    localtime_r(&now, &local);
    for (const auto &entry : m_clocks) {
        const std::wstring text = FormatClockText(entry.second, local);
        TYX_LOG(7, L"Reset OSD text based on new clock...");
        SetOsdText(entry.first, text);
        TYX_LOG(7, L"OSD text reset.");
    }
}

bool COsdWriter::TakeClockUpdate(time_t &now)
{
    if (m_clocks.empty())
        return false;
    now = m_clock ? m_clock() : std::time(nullptr);
    return static_cast<int64_t>(now) > m_lastClockSecond;
}

int32_t COsdWriter::ProcessFrameUseGpu(uint8_t *frame, int32_t frameSize, bool inDevice)
{
    CCsLock lock(m_lock);
    if (m_items.empty()) {
        TYX_LOG(6, L"There no OSD to be show.");
        return 0;
    }
    const auto visible = std::count_if(m_items.begin(), m_items.end(),
                                       [](const auto &entry) { return entry.second.visible; });
    if (visible == 0) {
        TYX_LOG(6, L"All OSD was switched off.");
        return 0;
    }
    time_t now = 0;
    if (TakeClockUpdate(now)) {
        TYX_LOG(7, L"[GPU ver]Need update Datetime OSD based on clock...");
        UpdateClockOsd(now);
        TYX_LOG(7, L"[GPU ver]Clock OSDs updated.");
    }
    if (!frame || m_width < 1 || m_height < 1)
        return 0;
    const stVideoFrameInfo info =
        OverlayFrameInfo(m_width, m_height, m_lumaPitch, m_chromaPitch, frame, frameSize, inDevice);
    if (frameSize < OverlayFrameBytes(MakeOverlayPlanes(info))) {
        TYX_LOG(3, L"Frame of %d bytes is smaller than the OSD frame size(%dx%d), OSD not drawn!", frameSize, m_width,
                m_height);
        return 0;
    }
    return DrawOsdInGPU(info, m_items);
}

int32_t COsdWriter::ProcessFrame(uint8_t *frame)
{
    CCsLock lock(m_lock);
    time_t now = 0;
    if (TakeClockUpdate(now)) {
        TYX_LOG(6, L"[Host ver]Need update Datetime OSD based on clock...");
        UpdateClockOsd(now);
        TYX_LOG(6, L"[Host ver]Cloack OSDs updated.");
    }
    if (!frame || m_width < 1 || m_height < 1)
        return 0;
    DrawOsdOnHost(OverlayFrameInfo(m_width, m_height, m_lumaPitch, m_chromaPitch, frame, 0, false), m_items);
    return 0;
}

bool COsdWriter::SetOsdVisible(uint16_t number, bool visible)
{
    CCsLock lock(m_lock);
    const auto found = m_items.find(number);
    if (found == m_items.end())
        return false;
    found->second.visible = visible;
    return true;
}

int32_t COsdWriter::GetOsdCount() const
{
    CCsLock lock(m_lock);
    return static_cast<int32_t>(m_items.size());
}

std::vector<std::pair<uint16_t, int32_t>> COsdWriter::GetOsdKinds() const
{
    CCsLock lock(m_lock);
    std::vector<std::pair<uint16_t, int32_t>> kinds;
    kinds.reserve(m_items.size());
    for (const auto &[number, item] : m_items)
        kinds.emplace_back(number, item.contentKind);
    return kinds;
}

bool COsdWriter::GetOsdItem(uint16_t number, stOsdItem &copy) const
{
    CCsLock lock(m_lock);
    const auto found = m_items.find(number);
    if (found == m_items.end())
        return false;
    copy = found->second;
    copy.pOsdInfoInDvc = nullptr;
    return true;
}

bool COsdWriter::HasDeviceBlock(uint16_t number) const
{
    CCsLock lock(m_lock);
    const auto found = m_items.find(number);
    return found != m_items.end() && found->second.pOsdInfoInDvc != nullptr;
}
