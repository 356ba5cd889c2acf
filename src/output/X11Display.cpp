#include "output/X11Display.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
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

// Connections are kept for the next user rather than closed: closing one changes the extension
// libraries' process-wide list of connections, which other threads read without a lock, and a new
// connection at a freed address would inherit the cached extension state of the old one. Only a
// broken connection, or one beyond the few kept idle, is really closed.
struct stX11Connection
{
    Display *display = nullptr;
    std::string key; // the name it was opened with
    std::atomic<bool> lost{false};
};

namespace {

constexpr size_t kIdleConnectionsKept = 16;

using IdleConnectionList = std::vector<std::shared_ptr<stX11Connection>>;

// Never destroyed: a display thread that ran past its stop may still give its connection back
// while the process exits.
union UIdleConnections
{
    IdleConnectionList list;
    UIdleConnections() : list() {}
    ~UIdleConnections() {}
};

// Guarded by CX11Display::ExtensionMutex().
IdleConnectionList &IdleConnections()
{
    static UIdleConnections idle;
    return idle.list;
}

// Ends a connection for good; the extension lock is held. A broken one is closed too: the GL
// library's exit handlers would otherwise wait for its lock for ever.
void CloseForGood(const std::shared_ptr<stX11Connection> &connection)
{
    t_firstErrors.erase(connection->display);
    XCloseDisplay(connection->display);
    connection->display = nullptr;
}

void OnConnectionLost(Display *, void *connection)
{
    static_cast<stX11Connection *>(connection)->lost = true;
}

} // namespace

int CX11Display::Open(const std::string &name)
{
    Close();
    InitXlibOnce();
    const char *fromEnvironment = std::getenv("DISPLAY");
    const std::string key = !name.empty() ? name : (fromEnvironment ? fromEnvironment : "");
    std::lock_guard<std::mutex> lock(ExtensionMutex());
    auto &idle = IdleConnections();
    for (auto it = idle.begin(); it != idle.end();) {
        if ((*it)->key != key) {
            ++it;
            continue;
        }
        std::shared_ptr<stX11Connection> connection = *it;
        it = idle.erase(it);
        // Drops what the last user left queued; a server that went away meanwhile shows here.
        XSync(connection->display, True);
        if (connection->lost) {
            CloseForGood(connection);
            continue;
        }
        m_connection = std::move(connection);
        break;
    }
    if (!m_connection) {
        Display *display = XOpenDisplay(key.empty() ? nullptr : key.c_str());
        if (!display)
            return -1;
        auto connection = std::make_shared<stX11Connection>();
        connection->display = display;
        connection->key = key;
        XSetIOErrorExitHandler(display, OnConnectionLost, connection.get());
        m_connection = std::move(connection);
    }
    m_display = m_connection->display;
    m_name = DisplayString(m_display);
    t_firstErrors.erase(m_display);
    return 0;
}

bool CX11Display::IsLost() const
{
    return m_connection && m_connection->lost.load();
}

void CX11Display::Close()
{
    if (!m_connection)
        return;
    std::lock_guard<std::mutex> lock(ExtensionMutex());
    t_firstErrors.erase(m_display);
    auto &idle = IdleConnections();
    if (m_connection->lost || idle.size() >= kIdleConnectionsKept)
        CloseForGood(m_connection);
    else
        idle.push_back(std::move(m_connection));
    m_connection.reset();
    m_display = nullptr;
    m_name.clear();
}

unsigned long CX11Display::Root() const
{
    return m_display ? DefaultRootWindow(m_display) : 0;
}

int CX11Display::SyncErrors()
{
    if (m_display && !IsLost())
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
    if (!m_display || IsLost())
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
