// The identification banner that idle monitors show: a text in the middle and the time in the
// right-bottom corner, drawn on the root window where no direct output shows.

#include "output/RVDOServer.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/X11Display.h"

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>

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

XRenderColor BannerColor(int32_t code)
{
    auto channel = [](int value) { return static_cast<unsigned short>(value * 257); };
    switch (code) {
    case 1: return {channel(0), channel(0), channel(255), 0xFFFF};
    case 2: return {channel(0), channel(255), channel(0), 0xFFFF};
    case 4: return {channel(255), channel(0), channel(0), 0xFFFF};
    case 8: return {channel(0), channel(127), channel(127), 0xFFFF};
    default: return {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    }
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

// 0, or -2 when the monitor cannot be drawn on.
int32_t DrawBanner(CX11Display &x11, const stDisplayEntry &monitor, bool clear, const std::vector<stBannerItem> &items)
{
    Display *display = x11.Get();
    const int screen = DefaultScreen(display);
    const Window root = x11.Root();
    XftDraw *draw = XftDrawCreate(display, root, DefaultVisual(display, screen), DefaultColormap(display, screen));
    if (!draw)
        return -2;
    XftColor black{};
    const XRenderColor blackValue{0, 0, 0, 0xFFFF};
    XftColorAllocValue(display, DefaultVisual(display, screen), DefaultColormap(display, screen), &blackValue, &black);
    if (clear)
        XftDrawRect(draw, &black, monitor.left, monitor.top, static_cast<unsigned>(monitor.Width()),
                    static_cast<unsigned>(monitor.Height()));
    for (const stBannerItem &item : items) {
        XftFont *font = XftFontOpen(display, screen, XFT_FAMILY, XftTypeString, "Arial", XFT_PIXEL_SIZE,
                                    XftTypeDouble, static_cast<double>(item.height), XFT_WEIGHT, XftTypeInteger,
                                    XFT_WEIGHT_MEDIUM, nullptr);
        if (!font)
            continue;
        const std::string utf8 = WStringToString(item.text);
        XGlyphInfo extents{};
        XftTextExtentsUtf8(display, font, reinterpret_cast<const FcChar8 *>(utf8.data()), static_cast<int>(utf8.size()),
                           &extents);
        // Placed by the text's own width: the widest glyph times the length would push a centred
        // text far to the left.
        const int textWidth = extents.xOff;
        int x = 0;
        int y = 0;
        if (item.placement == EPlacement::Centre) {
            y = (monitor.top + monitor.bottom) / 2 - item.height / 2;
            x = monitor.Width() / 2 + monitor.left - textWidth / 2;
        } else {
            y = monitor.bottom - item.height - 8;
            x = monitor.right - textWidth - 16;
        }
        // The text stands on a black ground, as it did on the desktop.
        XftDrawRect(draw, &black, x, y, extents.xOff, static_cast<unsigned>(font->ascent + font->descent));
        XftColor color{};
        const XRenderColor value = BannerColor(item.colorCode);
        XftColorAllocValue(display, DefaultVisual(display, screen), DefaultColormap(display, screen), &value, &color);
        XftDrawStringUtf8(draw, &color, font, x, y + font->ascent, reinterpret_cast<const FcChar8 *>(utf8.data()),
                          static_cast<int>(utf8.size()));
        XftColorFree(display, DefaultVisual(display, screen), DefaultColormap(display, screen), &color);
        XftFontClose(display, font);
    }
    XftColorFree(display, DefaultVisual(display, screen), DefaultColormap(display, screen), &black);
    XftDrawDestroy(draw);
    return x11.SyncErrors() == 0 ? 0 : -2;
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
