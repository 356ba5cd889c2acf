#include "output/X11Display.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <map>
#include <mutex>

namespace {

// The first error of each connection since it was last asked for, kept by the thread that reads
// the connection's replies (the thread that owns it).
thread_local std::map<Display *, int> t_firstErrors;

// Xlib's own handlers end the process; ours keep it running.
int OnProtocolError(Display *display, XErrorEvent *event)
{
    t_firstErrors.try_emplace(display, event->error_code);
    return 0;
}

int OnIoError(Display *display)
{
    TYX_LOG(3, L"X connection(%S) lost: the X server went away.", DisplayString(display));
    return 0;
}

void InitXlibOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(OnProtocolError);
        XSetIOErrorHandler(OnIoError);
    });
}

int32_t RotationDegrees(Rotation rotation)
{
    switch (rotation & 0x0F) {
    case RR_Rotate_90: return 90;
    case RR_Rotate_180: return 180;
    case RR_Rotate_270: return 270;
    default: return 0;
    }
}

} // namespace

std::mutex &CX11Display::ExtensionMutex()
{
    static std::mutex mutex;
    return mutex;
}

int CX11Display::Open(const std::string &name)
{
    Close();
    InitXlibOnce();
    std::lock_guard<std::mutex> lock(ExtensionMutex());
    Display *display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display)
        return -1;
    m_display = display;
    m_name = DisplayString(display);
    m_lost = false;
    XSetIOErrorExitHandler(display, &CX11Display::OnConnectionLost, this);
    return 0;
}

void CX11Display::OnConnectionLost(Display *, void *self)
{
    static_cast<CX11Display *>(self)->m_lost = true;
}

void CX11Display::Close()
{
    if (!m_display)
        return;
    std::lock_guard<std::mutex> lock(ExtensionMutex());
    XCloseDisplay(m_display);
    t_firstErrors.erase(m_display);
    m_display = nullptr;
    m_name.clear();
}

unsigned long CX11Display::Root() const
{
    return m_display ? DefaultRootWindow(m_display) : 0;
}

int CX11Display::SyncErrors()
{
    if (m_display && !m_lost)
        XSync(m_display, False);
    const auto found = t_firstErrors.find(m_display);
    if (found == t_firstErrors.end())
        return 0;
    const int error = found->second;
    t_firstErrors.erase(found);
    return error;
}

int32_t CX11Display::ListMonitors(std::vector<stDisplayEntry> &monitors)
{
    monitors.clear();
    if (!m_display || m_lost)
        return -1;
    std::lock_guard<std::mutex> lock(ExtensionMutex());
    int count = 0;
    XRRMonitorInfo *info = XRRGetMonitors(m_display, Root(), True, &count);
    (void)SyncErrors();
    if (!info)
        return 0;
    for (int i = 0; i < count; ++i) {
        stDisplayEntry entry;
        if (char *name = XGetAtomName(m_display, info[i].name)) {
            entry.deviceName = StringToWString(name);
            XFree(name);
        }
        entry.left = info[i].x;
        entry.top = info[i].y;
        entry.right = info[i].x + info[i].width;
        entry.bottom = info[i].y + info[i].height;
        entry.primary = info[i].primary != 0;
        entry.output = info[i].noutput > 0 ? info[i].outputs[0] : 0;
        monitors.push_back(entry);
    }
    XRRFreeMonitors(info);
    // The rotation lives on the CRTC of a monitor's output.
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(m_display, Root());
    if (resources) {
        for (stDisplayEntry &entry : monitors) {
            if (!entry.output)
                continue;
            XRROutputInfo *output = XRRGetOutputInfo(m_display, resources, entry.output);
            if (output && output->crtc) {
                if (XRRCrtcInfo *crtc = XRRGetCrtcInfo(m_display, resources, output->crtc)) {
                    entry.rotation = RotationDegrees(crtc->rotation);
                    XRRFreeCrtcInfo(crtc);
                }
            }
            if (output)
                XRRFreeOutputInfo(output);
        }
        XRRFreeScreenResources(resources);
    }
    (void)SyncErrors();
    return static_cast<int32_t>(monitors.size());
}
