// CRVDOServer: the window, the presenter and the monitor's resolution, on the server's thread.

#include "output/RVDOServer.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "output/FramePresenterGL.h"
#include "output/X11Display.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <map>

namespace {

constexpr int32_t kMonitorWindowWidth = 640;
constexpr int32_t kMonitorWindowHeight = 360;
constexpr const char *kWindowClass = "Kestro-TYX-Renderer";

// The present event of every window that shows pictures.
std::mutex g_windowEventsMutex;
std::map<unsigned long, std::shared_ptr<CEvent>> g_windowEvents;

struct stModeSize
{
    RRMode id = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// The mode to ask for: the output size itself, else the smallest mode that holds it, else the
// largest mode (the output is then bigger than the display can show).
stModeSize ChooseMode(const std::vector<stModeSize> &modes, int32_t width, int32_t height)
{
    const stModeSize *smallestHolding = nullptr;
    const stModeSize *largest = nullptr;
    const auto area = [](const stModeSize &mode) { return static_cast<int64_t>(mode.width) * mode.height; };
    for (const stModeSize &mode : modes) {
        if (mode.width == width && mode.height == height)
            return mode;
        if (mode.width >= width && mode.height >= height && (!smallestHolding || area(mode) < area(*smallestHolding)))
            smallestHolding = &mode;
        if (!largest || area(mode) > area(*largest))
            largest = &mode;
    }
    if (smallestHolding)
        return *smallestHolding;
    return largest ? *largest : stModeSize{};
}

std::vector<stModeSize> OutputModes(XRRScreenResources *resources, XRROutputInfo *output)
{
    std::vector<stModeSize> modes;
    for (int i = 0; i < output->nmode; ++i) {
        for (int m = 0; m < resources->nmode; ++m) {
            if (resources->modes[m].id == output->modes[i])
                modes.push_back({resources->modes[m].id, static_cast<int32_t>(resources->modes[m].width),
                                 static_cast<int32_t>(resources->modes[m].height)});
        }
    }
    return modes;
}

void SetUtf8Property(Display *display, Window window, const char *name, const std::string &value)
{
    XChangeProperty(display, window, XInternAtom(display, name, False), XInternAtom(display, "UTF8_STRING", False), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char *>(value.data()),
                    static_cast<int>(value.size()));
}

} // namespace

bool CRVDOServer::StartRendering()
{
    TYX_LOG(6, L"RVTP server[Alias=%s] starting rendering...", m_name.c_str());
    if (!m_display) {
        auto display = std::make_unique<CX11Display>();
        if (display->Open() != 0) {
            TYX_LOG(3, L"RVTP server[Alias=%s] no X server to show on (DISPLAY is not set or not reachable)!",
                    m_name.c_str());
            return false;
        }
        m_display = std::move(display);
    }
    std::wstring title;
    int32_t windowWidth = 0;
    int32_t windowHeight = 0;
    {
        std::lock_guard<std::mutex> lock(m_settingsMutex);
        title = m_windowTitle.empty() ? m_name : m_windowTitle;
        windowWidth = m_windowWidth;
        windowHeight = m_windowHeight;
    }
    const int32_t monitor = m_monitorNo;
    const bool monitorOutput = m_displayMode == TYX_RVDO_MODE_MONITOR && monitor >= 1 && monitor <= 8;
    m_hostCopy = monitorOutput && m_interopFlag == 0;
    std::vector<stDisplayEntry> displays;
    const stDisplayEntry *target = nullptr;
    if (monitorOutput) {
        windowWidth = kMonitorWindowWidth;
        windowHeight = kMonitorWindowHeight;
        m_knownDisplayCount = m_display->ListMonitors(displays);
        TYX_LOG(5, L"There [%d] display connected in starting. ", m_knownDisplayCount);
        if (m_knownDisplayCount <= 0) {
            TYX_LOG(3, L"Threre no connected monitor is for configued output[%d]! ", monitor);
        } else {
            target = &displays[static_cast<size_t>(std::min(monitor, m_knownDisplayCount) - 1)];
            m_monitorDeviceName = target->deviceName;
            CorrectDisplaySetting(*target);
        }
    }
    if (!CreateRenderingWindow(title, windowWidth, windowHeight)) {
        TYX_LOG(3, L"RVTP server[Alias=%s] failed in CreateRenderingWindow!", m_name.c_str());
        StopRendering();
        return false;
    }
    const unsigned long window = m_windowId;
    m_presentEvent = std::make_shared<CEvent>(true);
    {
        std::lock_guard<std::mutex> lock(g_windowEventsMutex);
        g_windowEvents[window] = m_presentEvent;
    }
    if (m_hostCopy)
        m_presenter = std::make_unique<FramePresenterGL>(m_adapterName, m_display->Name(), window, m_presentEvent,
                                                         m_width, m_height);
    else
        m_presenter = std::make_unique<FramePresenterGL>(m_cudaDevice, m_display->Name(), window, m_presentEvent,
                                                         m_width, m_height);
    if (!m_presenter->IsReady()) {
        TYX_LOG(3, L"RVTP server[Alias=%s] FramePresenter creating failed!", m_name.c_str());
        StopRendering();
        return false;
    }
    TYX_LOG(6, L"RVTP server[Alias=%s] FramePresenter created.", m_name.c_str());
    if (monitorOutput)
        SetMonitorInUse(monitor, true);
    if (target)
        PlaceFullscreen(*target);
    m_active = true;
    return true;
}

void CRVDOServer::StopRendering()
{
    const int32_t monitor = m_monitorNo;
    const bool monitorOutput = monitor >= 1 && monitor <= 8;
    const bool hadPresenter = m_presenter != nullptr;
    m_active = false;
    if (monitorOutput && hadPresenter)
        SetMonitorInUse(monitor, false);
    const unsigned long window = m_windowId;
    if (window) {
        std::shared_ptr<CEvent> event;
        {
            std::lock_guard<std::mutex> lock(g_windowEventsMutex);
            const auto found = g_windowEvents.find(window);
            if (found != g_windowEvents.end()) {
                event = found->second;
                g_windowEvents.erase(found);
            }
        }
        if (event)
            event->Set();
    }
    m_presenter.reset();
    m_presentEvent.reset();
    if (m_display && !m_display->IsLost() && window && m_windowCreated) {
        XDestroyWindow(m_display->Get(), window);
        (void)m_display->SyncErrors();
    }
    m_windowCreated = false;
    m_windowId = 0;
    m_shownWidth = 0;
    m_shownHeight = 0;
    m_display.reset();
    if (monitorOutput && hadPresenter) {
        bool bannerOn = false;
        std::wstring bannerText;
        GetBannerSettings(bannerOn, bannerText);
        if (bannerOn)
            InitMonitors(std::wstring(), true, bannerText, m_cudaDevice, monitor);
    }
}

bool CRVDOServer::CreateRenderingWindow(const std::wstring &title, int32_t width, int32_t height)
{
    FitWindowSize(width, height);
    width = std::max(width, 1);
    height = std::max(height, 1);
    Display *display = m_display->Get();
    const Window root = m_display->Root();
    const std::string className(kWindowClass);
    const std::string windowName = WStringToString(title);

    // Centred on the primary monitor (the first when none is marked).
    std::vector<stDisplayEntry> displays;
    m_display->ListMonitors(displays);
    int32_t left = 0;
    int32_t top = 0;
    int32_t areaWidth = DisplayWidth(display, DefaultScreen(display));
    int32_t areaHeight = DisplayHeight(display, DefaultScreen(display));
    if (!displays.empty()) {
        const auto primary = std::find_if(displays.begin(), displays.end(), [](const stDisplayEntry &d) { return d.primary; });
        const stDisplayEntry &area = primary != displays.end() ? *primary : displays.front();
        left = area.left;
        top = area.top;
        areaWidth = area.Width();
        areaHeight = area.Height();
    }

    int attributes[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
    XVisualInfo *visual = glXChooseVisual(display, DefaultScreen(display), attributes);
    XSetWindowAttributes settings{};
    settings.background_pixel = BlackPixel(display, DefaultScreen(display));
    settings.border_pixel = 0;
    settings.event_mask = StructureNotifyMask | ExposureMask;
    unsigned long mask = CWBackPixel | CWBorderPixel | CWEventMask;
    int depth = CopyFromParent;
    Visual *visualType = CopyFromParent;
    if (visual) {
        settings.colormap = XCreateColormap(display, root, visual->visual, AllocNone);
        mask |= CWColormap;
        depth = visual->depth;
        visualType = visual->visual;
    }
    const Window window =
        XCreateWindow(display, root, left + (areaWidth - width) / 2, top + (areaHeight - height) / 2,
                      static_cast<unsigned>(width), static_cast<unsigned>(height), 0, depth, InputOutput, visualType,
                      mask, &settings);
    if (visual)
        XFree(visual);
    int error = m_display->SyncErrors();
    if (!window || error != 0) {
        TYX_LOG(3, L"RVTP server[Alias=%s] Rendering window(clsName=%S, wndName=%s) Creating failed with lasterr=%d!",
                m_name.c_str(), className.c_str(), title.c_str(), error);
        return false;
    }
    XStoreName(display, window, windowName.c_str());
    SetUtf8Property(display, window, "_NET_WM_NAME", windowName);
    XClassHint hint{};
    hint.res_name = const_cast<char *>(kWindowClass);
    hint.res_class = const_cast<char *>(kWindowClass);
    XSetClassHint(display, window, &hint);
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    XMapRaised(display, window);
    error = m_display->SyncErrors();
    if (error != 0) {
        XDestroyWindow(display, window);
        TYX_LOG(3, L"RVTP server[Alias=%s] Rendering window(clsName=%S, wndName=%s) Creating failed with lasterr=%d!",
                m_name.c_str(), className.c_str(), title.c_str(), error);
        return false;
    }
    TYX_LOG(6, L"RVTP server[Alias=%s] Rendering window(clsName=%S, wndName=%s) Created.", m_name.c_str(),
            className.c_str(), title.c_str());
    m_windowId = window;
    m_windowCreated = true;
    m_shownWidth = width;
    m_shownHeight = height;
    return true;
}

void CRVDOServer::PumpWindowEvents()
{
    if (!m_display || m_display->IsLost())
        return;
    Display *display = m_display->Get();
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == ConfigureNotify && event.xconfigure.window == m_windowId) {
            m_shownWidth = event.xconfigure.width;
            m_shownHeight = event.xconfigure.height;
        } else if (event.type == ClientMessage) {
            // A close from the desktop is ignored, as the display's own window always did: the
            // output is stopped by command.
            TYX_LOG(6, L"RVDO server[Alias=%s] window close request ignored.", m_name.c_str());
        }
    }
}

bool CRVDOServer::PlaceFullscreen(const stDisplayEntry &display)
{
    // The presenter covers the monitor under the window: put the window there first.
    XMoveResizeWindow(m_display->Get(), m_windowId, display.left + 1, display.top + 1, kMonitorWindowWidth,
                      kMonitorWindowHeight);
    (void)m_display->SyncErrors();
    const int32_t monitor = m_monitorNo;
    if (m_presenter->SetFullscreen(true))
        return true;
    TYX_LOG(3, L"RVDO server[Alias=%s]Fullscreen Display(to monitor [%d])Setting failed!. ", m_name.c_str(), monitor);
    return false;
}

bool CRVDOServer::CorrectDisplaySetting(const stDisplayEntry &entry)
{
    const int32_t monitor = m_monitorNo;
    Display *display = m_display->Get();
    const Window root = m_display->Root();
    std::lock_guard<std::mutex> extensions(CX11Display::ExtensionMutex());
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, root);
    XRROutputInfo *output = resources && entry.output ? XRRGetOutputInfo(display, resources, entry.output) : nullptr;
    XRRCrtcInfo *crtc = output && output->crtc ? XRRGetCrtcInfo(display, resources, output->crtc) : nullptr;
    bool done = false;
    if (!crtc) {
        // A monitor made of no output (or one switched off) has no mode of its own to change.
        TYX_LOG(3, L"Resolution of current used display [%d] setting failed with error=%d! ", monitor, BadMatch);
    } else {
        TYX_LOG(5, L"Resolution of current used display [%d] is [%d X %d]. ", monitor, static_cast<int32_t>(crtc->width),
                static_cast<int32_t>(crtc->height));
        const std::vector<stModeSize> modes = OutputModes(resources, output);
        int32_t maxWidth = 0;
        int32_t maxHeight = 0;
        for (const stModeSize &mode : modes) {
            maxWidth = std::max(maxWidth, mode.width);
            maxHeight = std::max(maxHeight, mode.height);
        }
        if (m_width > maxWidth || m_height > maxHeight)
            TYX_LOG(3, L"Warning: Resolution[%d X %d] of outputing video is higher than destination display "
                       L"supported[MAX=%dX%d]! ",
                    static_cast<int32_t>(m_width), static_cast<int32_t>(m_height), maxWidth, maxHeight);
        const stModeSize chosen = ChooseMode(modes, m_width, m_height);
        if (!chosen.id || chosen.id == crtc->mode) {
            done = chosen.id != 0;
        } else {
            // The screen grows to hold the new mode where it must; it is never shrunk here.
            const int needWidth = crtc->x + chosen.width;
            const int needHeight = crtc->y + chosen.height;
            const int screen = DefaultScreen(display);
            if (needWidth > DisplayWidth(display, screen) || needHeight > DisplayHeight(display, screen))
                XRRSetScreenSize(display, root, std::max(needWidth, DisplayWidth(display, screen)),
                                 std::max(needHeight, DisplayHeight(display, screen)), DisplayWidthMM(display, screen),
                                 DisplayHeightMM(display, screen));
            const Status status = XRRSetCrtcConfig(display, resources, output->crtc, CurrentTime, crtc->x, crtc->y,
                                                   chosen.id, crtc->rotation, crtc->outputs, crtc->noutput);
            const int error = m_display->SyncErrors();
            done = status == RRSetConfigSuccess && error == 0;
            if (done)
                TYX_LOG(5, L"Resolution of current used display [%d] was set to [%d X %d]. ", monitor, chosen.width,
                        chosen.height);
            else
                TYX_LOG(3, L"Resolution of current used display [%d] setting failed with error=%d! ", monitor,
                        error != 0 ? error : static_cast<int32_t>(status));
        }
    }
    if (crtc)
        XRRFreeCrtcInfo(crtc);
    if (output)
        XRRFreeOutputInfo(output);
    if (resources)
        XRRFreeScreenResources(resources);
    return done;
}
