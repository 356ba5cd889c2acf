// The identification banner that idle monitors show: a text in the middle and the time in the
// right-bottom corner, drawn on the root window where no direct output shows, in the glyphs of the
// text overlays.

#include "output/RVDOServer.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/X11Display.h"

#include "vproc/OsdGlyphSource.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <ctime>
#include <cwchar>
#include <mutex>

namespace {

std::mutex g_bannerMutex;
bool g_bannerOn = false;
std::wstring g_bannerText = TYX_DEFAULT_BANNER_TEXT;

enum class EPlacement { Centre, RightBottom };

struct stBannerItem
{
    std::wstring text;
    EPlacement placement = EPlacement::Centre;
    int32_t colorCode = 16;
    int32_t height = 16;
};

struct stRgb
{
    int r = 255;
    int g = 255;
    int b = 255;
};

stRgb BannerColor(int32_t code)
{
    switch (code) {
    case 1: return {0, 0, 255};
    case 2: return {0, 255, 0};
    case 4: return {255, 0, 0};
    case 8: return {0, 127, 127};
    default: return {255, 255, 255};
    }
}

// One channel of a TrueColor pixel from its 8-bit value and the visual's mask.
unsigned long Channel(int value, unsigned long mask)
{
    if (mask == 0)
        return 0;
    int shift = 0;
    while (((mask >> shift) & 1) == 0)
        ++shift;
    const unsigned long top = mask >> shift;
    return ((static_cast<unsigned long>(value) * top / 255) << shift) & mask;
}

struct stTextPicture
{
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels; // the visual's pixel values, black where no glyph is
};

// Renders the text with the glyphs the text overlays use ("Arial", character set 134, the GDI cell
// height), white on black in the visual's pixel values.
bool RenderText(const std::wstring &text, int32_t height, unsigned long pixel, stTextPicture &picture)
{
    stOsdFont font;
    font.height = height;
    font.weight = 400;
    font.charSet = 134;
    font.faceName = L"Arial";
    std::unique_ptr<COsdFontFace> face;
    int32_t lastError = 0;
    stOsdTextMetrics metrics;
    if (DefaultOsdGlyphSource()->OpenFont(font, face, lastError) != 0 || face->GetTextMetrics(metrics) != 0)
        return false;
    std::vector<stOsdGlyph> glyphs(text.size());
    int width = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (face->GetGlyph(text[i], glyphs[i]) != 0)
            glyphs[i] = stOsdGlyph{};
        width += glyphs[i].advance;
    }
    picture.width = std::max(width, 1);
    picture.height = std::max(metrics.height, 1);
    picture.pixels.assign(static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height), 0);
    int pen = 0;
    for (const stOsdGlyph &glyph : glyphs) {
        for (int row = 0; row < glyph.rows; ++row) {
            const int y = metrics.ascent - glyph.originY + row;
            for (int column = 0; column < glyph.width; ++column) {
                const int x = pen + glyph.originX + column;
                const bool lit = glyph.bits[static_cast<size_t>(row * glyph.pitch + column / 8)] & (0x80 >> (column % 8));
                if (lit && x >= 0 && x < picture.width && y >= 0 && y < picture.height)
                    picture.pixels[static_cast<size_t>(y) * static_cast<size_t>(picture.width) + x] =
                        static_cast<uint32_t>(pixel);
            }
        }
        pen += glyph.advance;
    }
    return true;
}

std::wstring LocalTimeText()
{
    const time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    wchar_t text[40] = {};
    std::swprintf(text, 40, L"%d-%d-%d %2.2d:%2.2d:%2.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

// 0, or -2 when the monitor cannot be drawn on. Core X requests only: the banner connection comes
// and goes, and the font caches of the X rendering libraries mistake a new connection at a reused
// address for the old one.
int32_t DrawBanner(CX11Display &x11, const stDisplayEntry &monitor, bool clear, const std::vector<stBannerItem> &items)
{
    Display *display = x11.Get();
    const int screen = DefaultScreen(display);
    const Window root = x11.Root();
    Visual *visual = DefaultVisual(display, screen);
    const int depth = DefaultDepth(display, screen);
    if (visual->c_class != TrueColor || depth < 24)
        return -2;
    const GC gc = XCreateGC(display, root, 0, nullptr);
    XSetForeground(display, gc, BlackPixel(display, screen));
    XSetSubwindowMode(display, gc, IncludeInferiors);
    if (clear)
        XFillRectangle(display, root, gc, monitor.left, monitor.top, static_cast<unsigned>(monitor.Width()),
                       static_cast<unsigned>(monitor.Height()));
    for (const stBannerItem &item : items) {
        const stRgb rgb = BannerColor(item.colorCode);
        const unsigned long pixel = Channel(rgb.r, visual->red_mask) | Channel(rgb.g, visual->green_mask) |
                                    Channel(rgb.b, visual->blue_mask);
        stTextPicture text;
        if (!RenderText(item.text, item.height, pixel, text))
            continue;
        int x = 0;
        int y = 0;
        if (item.placement == EPlacement::Centre) {
            y = (monitor.top + monitor.bottom) / 2 - item.height / 2;
            x = monitor.Width() / 2 + monitor.left - text.width / 2;
        } else {
            y = monitor.bottom - item.height - 8;
            x = monitor.right - text.width - 16;
        }
        XImage *image = XCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, 0,
                                     reinterpret_cast<char *>(text.pixels.data()), static_cast<unsigned>(text.width),
                                     static_cast<unsigned>(text.height), 32, text.width * 4);
        if (!image)
            continue;
        XPutImage(display, root, gc, image, 0, 0, x, y, static_cast<unsigned>(text.width),
                  static_cast<unsigned>(text.height));
        image->data = nullptr; // the vector owns the pixels
        XDestroyImage(image);
    }
    XFreeGC(display, gc);
    const int error = x11.SyncErrors();
    if (error != 0)
        TYX_LOG(3, L"Banner drawing on display(%s) failed with X error=%d!", monitor.deviceName.c_str(), error);
    return error == 0 ? 0 : -2;
}

bool IsShowingOutput(int32_t monitorNo)
{
    const auto number = static_cast<int16_t>(monitorNo);
    const auto &owners = CTYXGVMS::MonitorAliases();
    const auto &presenting = CTYXGVMS::MonitorPresenting();
    const auto mark = presenting.find(number);
    return owners.count(number) != 0 && mark != presenting.end() && mark->second == 1;
}

} // namespace

void SetBannerSettings(bool on, const std::wstring &text)
{
    std::lock_guard<std::mutex> lock(g_bannerMutex);
    g_bannerOn = on;
    g_bannerText = text;
}

void GetBannerSettings(bool &on, std::wstring &text)
{
    std::lock_guard<std::mutex> lock(g_bannerMutex);
    on = g_bannerOn;
    text = g_bannerText;
}

int32_t CRVDOServer::InitMonitors(const std::wstring &, bool clear, const std::wstring &bannerText, int32_t,
                                  int32_t monitorNo)
{
    // The monitors come from the X server: listing them needs no GPU.
    CX11Display x11;
    if (x11.Open() != 0)
        return -1;
    std::vector<stDisplayEntry> monitors;
    const int32_t count = x11.ListMonitors(monitors);
    if (count <= 0)
        return count;
    std::vector<stBannerItem> items;
    if (!bannerText.empty())
        items.push_back({bannerText, EPlacement::Centre, 2, 32});
    items.push_back({LocalTimeText(), EPlacement::RightBottom, 16, 16});

    if (monitorNo >= 1) {
        if (monitorNo > count)
            return -1;
        const int32_t rc = DrawBanner(x11, monitors[static_cast<size_t>(monitorNo - 1)], clear, items);
        return rc < 0 ? rc : 1;
    }
    int32_t drawn = 0;
    for (int32_t number = 1; number <= count; ++number) {
        // Held while drawing, so no display server takes the monitor half-way through.
        LockRendererSection();
        if (!IsShowingOutput(number) && DrawBanner(x11, monitors[static_cast<size_t>(number - 1)], clear, items) == 0)
            ++drawn;
        UnlockRendererSection();
    }
    return drawn;
}
