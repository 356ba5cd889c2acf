#include "output/FramePresenterGL.h"

#include "config/ConfigText.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "output/X11Display.h"
#include "platform/Event.h"
#include "platform/GpuDevice.h"
#include "platform/Thread.h"

#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstring>

namespace {

constexpr auto kPresentWait = std::chrono::milliseconds(100);
// A full-screen change takes a few round trips to the X server; rare, so it may wait longer.
constexpr auto kFullscreenWait = std::chrono::milliseconds(1000);
constexpr auto kDrawingTick = std::chrono::milliseconds(50);
constexpr long kNetWmStateRemove = 0;
constexpr long kNetWmStateAdd = 1;

using SwapIntervalExt = void (*)(Display *, GLXDrawable, int);
using SwapIntervalMesa = int (*)(unsigned int);

// Pictures are paced by the display's refresh where the driver offers it.
void AskForSwapInterval(Display *display, GLXDrawable drawable)
{
    if (auto ext = reinterpret_cast<SwapIntervalExt>(
            glXGetProcAddressARB(reinterpret_cast<const GLubyte *>("glXSwapIntervalEXT"))))
        ext(display, drawable, 1);
    else if (auto mesa = reinterpret_cast<SwapIntervalMesa>(
                 glXGetProcAddressARB(reinterpret_cast<const GLubyte *>("glXSwapIntervalMESA"))))
        mesa(1);
}

// True when a window manager that knows full-screen windows runs.
bool HasNetWmFullscreen(Display *display, Window root)
{
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", True);
    if (check == None)
        return false;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char *data = nullptr;
    const bool found = XGetWindowProperty(display, root, check, 0, 1, False, XA_WINDOW, &type, &format, &count,
                                          &after, &data) == Success &&
                       data && count == 1;
    if (data)
        XFree(data);
    return found;
}

struct stWindowRect
{
    int x = 0;
    int y = 0;
    unsigned int width = 0;
    unsigned int height = 0;
};

bool GetWindowRect(Display *display, Window window, stWindowRect &rect)
{
    Window root = None;
    Window child = None;
    int x = 0;
    int y = 0;
    unsigned int border = 0;
    unsigned int depth = 0;
    if (!XGetGeometry(display, window, &root, &x, &y, &rect.width, &rect.height, &border, &depth))
        return false;
    return XTranslateCoordinates(display, window, root, 0, 0, &rect.x, &rect.y, &child) != 0;
}

} // namespace

// Everything the drawing thread owns.
struct FramePresenterGL::stGlState
{
    CX11Display display;
    GLXContext context = nullptr;
    GLuint texture = 0;
    int viewWidth = 0;
    int viewHeight = 0;
    bool netWm = false;
    bool fullscreen = false;
    stWindowRect windowed;
};

FramePresenterGL::FramePresenterGL(int32_t cudaDevice, const std::string &displayName, unsigned long window,
                                   std::shared_ptr<CEvent> presentEvent, int32_t width, int32_t height)
    : FramePresenterGL(cudaDevice, false, std::wstring(), displayName, window, std::move(presentEvent), width, height)
{
}

FramePresenterGL::FramePresenterGL(const std::wstring &adapterName, const std::string &displayName,
                                   unsigned long window, std::shared_ptr<CEvent> presentEvent, int32_t width,
                                   int32_t height)
    : FramePresenterGL(-1, true, adapterName, displayName, window, std::move(presentEvent), width, height)
{
}

FramePresenterGL::FramePresenterGL(int32_t cudaDevice, bool hostCopy, std::wstring adapterName,
                                   const std::string &displayName, unsigned long window,
                                   std::shared_ptr<CEvent> presentEvent, int32_t width, int32_t height)
    : FramePresenter(width, height, cudaDevice), m_hostCopy(hostCopy), m_adapterName(std::move(adapterName)),
      m_displayName(displayName), m_window(window), m_presentEvent(std::move(presentEvent))
{
    m_thread = std::thread([this] { Run(); });
    // As the constructor of the original presenter does: return once the thread is ready or gone.
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [this] { return m_ready.load() || m_ended.load(); });
}

FramePresenterGL::~FramePresenterGL()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    DevFree(m_deviceStaging);
}

bool FramePresenterGL::SetUp(stGlState &gl)
{
    const int32_t tid = m_tid;
    if (!m_window || m_width <= 0 || m_height <= 0) {
        TYX_LOG(3, L"GL drawing thread[TID=%d] No valid adapter window handle! Exiting... ", tid);
        return false;
    }
    if (gl.display.Open(m_displayName) != 0) {
        TYX_LOG(3, L"GL drawing thread[TID=%d] Display adapter getting failed! Exiting... ", tid);
        return false;
    }
    Display *display = gl.display.Get();
    XWindowAttributes attributes{};
    const Status got = XGetWindowAttributes(display, m_window, &attributes);
    if (gl.display.SyncErrors() != 0 || !got) {
        TYX_LOG(3, L"GL drawing thread[TID=%d] No valid adapter window handle! Exiting... ", tid);
        return false;
    }
    XVisualInfo pattern{};
    pattern.visualid = XVisualIDFromVisual(attributes.visual);
    int count = 0;
    XVisualInfo *visual = XGetVisualInfo(display, VisualIDMask, &pattern, &count);
    if (visual) {
        gl.context = glXCreateContext(display, visual, nullptr, True);
        XFree(visual);
    }
    if (!gl.context || !glXMakeCurrent(display, m_window, gl.context) || gl.display.SyncErrors() != 0) {
        TYX_LOG(3, L"GL drawing thread[TID=%d] glXCreateContext() failed on the window! ", tid);
        return false;
    }
    const auto *renderer = reinterpret_cast<const char *>(glGetString(GL_RENDERER));
    const std::wstring adapter = StringToWString(renderer ? renderer : "");
    if (m_hostCopy && !m_adapterName.empty() && !EqualsNoCase(adapter, m_adapterName)) {
        TYX_LOG(3, L"GL drawing thread[TID=%d] Display adapter getting failed! Exiting... ", tid);
        return false;
    }
    TYX_LOG(5, L"GL drawing thread[TID=%d] Will use adapter(%s) as display output device.", tid, adapter.c_str());
    std::vector<stDisplayEntry> displays;
    const int32_t shown = gl.display.ListMonitors(displays);
    TYX_LOG(5, L"There [%d] display connected with Adapter (%s). ", shown, adapter.c_str());
    for (size_t i = 0; i < displays.size(); ++i)
        TYX_LOG(5, L"The [%d] display name is (%s), AttachedToDesktop=%d, DtCdnt is[L=%d, T=%d, R=%d, B=%d].",
                static_cast<int32_t>(i + 1), displays[i].deviceName.c_str(), 1, displays[i].left, displays[i].top,
                displays[i].right, displays[i].bottom);

    glGenTextures(1, &gl.texture);
    glBindTexture(GL_TEXTURE_2D, gl.texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, m_width, m_height, 0, GL_BGRA, GL_UNSIGNED_BYTE, nullptr);
    if (glGetError() != GL_NO_ERROR) {
        TYX_LOG(3, L"GL drawing thread[TID=%d] Texture creating failed for [%d X %d]! ", tid, m_width, m_height);
        return false;
    }
    TYX_LOG(6, L"GL drawing thread[TID=%d] GL-Texture2D created! ", tid);

    const size_t bytes = static_cast<size_t>(m_width) * static_cast<size_t>(m_height) * 4;
    m_hostStaging.assign(bytes, 0);
    if (!m_hostCopy && RegisterTexture(gl.texture)) {
        void *staging = nullptr;
        const bool pushed = DevPushContext(m_cudaDevice) == GPU_SUCCESS;
        const GpuError error = DevMalloc(&staging, bytes);
        if (pushed)
            DevPopContext();
        if (error == GPU_SUCCESS) {
            m_deviceStaging = static_cast<uint8_t *>(staging);
            m_interop = true;
        } else {
            UnregisterTexture();
        }
    }
    if (!m_hostCopy && !m_interop)
        TYX_LOG(6, L"GL drawing thread[TID=%d] pictures go through host memory to adapter(%s).", tid,
                adapter.c_str());

    AskForSwapInterval(display, m_window);
    XSelectInput(display, m_window, StructureNotifyMask);
    gl.netWm = HasNetWmFullscreen(display, gl.display.Root());
    gl.viewWidth = attributes.width;
    gl.viewHeight = attributes.height;
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glXSwapBuffers(display, m_window);
    return gl.display.SyncErrors() == 0;
}

void FramePresenterGL::Run()
{
    m_tid = GetCurrentThreadIdInt();
    stGlState gl;
    if (SetUp(gl)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ready = true;
    }
    m_done.notify_all();

    uint64_t drawn = 0;
    uint64_t fullscreenSeen = 0;
    while (m_ready) {
        EJob job = EJob::Empty;
        uint64_t generation = 0;
        bool fullscreenChange = false;
        bool fullscreenOn = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_for(lock, kDrawingTick, [&] {
                return m_quit.load() || m_requested != drawn || m_fullscreenRequests != fullscreenSeen;
            });
            if (m_quit)
                break;
            if (m_requested != drawn) {
                job = m_job;
                generation = m_requested;
            }
            if (m_fullscreenRequests != fullscreenSeen) {
                fullscreenChange = true;
                fullscreenOn = m_fullscreenWanted;
                fullscreenSeen = m_fullscreenRequests;
            }
        }
        if (m_presentEvent && m_presentEvent->IsSet())
            break;
        if (gl.display.IsLost()) {
            TYX_LOG(3, L"GL drawing thread[TID=%d] X connection lost, stopping.", m_tid.load());
            break;
        }
        while (XPending(gl.display.Get())) {
            XEvent event;
            XNextEvent(gl.display.Get(), &event);
            if (event.type == ConfigureNotify) {
                gl.viewWidth = event.xconfigure.width;
                gl.viewHeight = event.xconfigure.height;
            }
        }
        if (fullscreenChange) {
            ApplyFullscreen(gl, fullscreenOn);
            m_fullscreenApplied = fullscreenSeen;
            m_done.notify_all();
        } else if (m_fullscreenRequested && !WindowCoversMonitor(gl)) {
            // Lost, for example by a move from outside: take it back.
            ApplyFullscreen(gl, true);
        }
        if (generation != 0) {
            DrawPicture(gl, job);
            drawn = generation;
            m_presented = generation;
            m_done.notify_all();
        }
    }
    CleanUp(gl);
}

void FramePresenterGL::DrawPicture(stGlState &gl, EJob job)
{
    Display *display = gl.display.Get();
    glBindTexture(GL_TEXTURE_2D, gl.texture);
    {
        std::lock_guard<std::mutex> staging(m_stagingMutex);
        if (job == EJob::Device && m_interop)
            (void)CopyDeviceFrame(m_deviceStaging, m_width * 4);
        else
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, m_width, m_height, GL_BGRA, GL_UNSIGNED_BYTE, m_hostStaging.data());
    }
    glViewport(0, 0, gl.viewWidth, gl.viewHeight);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_TEXTURE_2D);
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(-1.0f, 1.0f);
    glTexCoord2f(1.0f, 0.0f);
    glVertex2f(1.0f, 1.0f);
    glTexCoord2f(1.0f, 1.0f);
    glVertex2f(1.0f, -1.0f);
    glTexCoord2f(0.0f, 1.0f);
    glVertex2f(-1.0f, -1.0f);
    glEnd();
    glDisable(GL_TEXTURE_2D);
    glXSwapBuffers(display, m_window);
    // The picture is on screen once the server has handled the swap.
    (void)gl.display.SyncErrors();
}

bool FramePresenterGL::WindowCoversMonitor(stGlState &gl)
{
    stWindowRect rect;
    if (!GetWindowRect(gl.display.Get(), m_window, rect))
        return false;
    std::vector<stDisplayEntry> monitors;
    gl.display.ListMonitors(monitors);
    const int cx = rect.x + static_cast<int>(rect.width) / 2;
    const int cy = rect.y + static_cast<int>(rect.height) / 2;
    for (const stDisplayEntry &monitor : monitors) {
        if (monitor.Contains(cx, cy))
            return rect.x == monitor.left && rect.y == monitor.top && static_cast<int>(rect.width) == monitor.Width() &&
                   static_cast<int>(rect.height) == monitor.Height();
    }
    return false;
}

void FramePresenterGL::ApplyFullscreen(stGlState &gl, bool on)
{
    Display *display = gl.display.Get();
    const int32_t tid = m_tid;
    stWindowRect rect;
    bool ok = GetWindowRect(display, m_window, rect);
    if (on && ok) {
        if (!gl.fullscreen)
            gl.windowed = rect;
        std::vector<stDisplayEntry> monitors;
        gl.display.ListMonitors(monitors);
        const int cx = rect.x + static_cast<int>(rect.width) / 2;
        const int cy = rect.y + static_cast<int>(rect.height) / 2;
        const stDisplayEntry *target = monitors.empty() ? nullptr : &monitors.front();
        for (const stDisplayEntry &monitor : monitors) {
            if (monitor.Contains(cx, cy))
                target = &monitor;
        }
        ok = target != nullptr;
        if (ok) {
            XMoveResizeWindow(display, m_window, target->left, target->top, static_cast<unsigned>(target->Width()),
                              static_cast<unsigned>(target->Height()));
            XRaiseWindow(display, m_window);
        }
    } else if (!on && gl.fullscreen && gl.windowed.width > 0) {
        XMoveResizeWindow(display, m_window, gl.windowed.x, gl.windowed.y, gl.windowed.width, gl.windowed.height);
    }
    if (gl.netWm) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = m_window;
        event.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = on ? kNetWmStateAdd : kNetWmStateRemove;
        event.xclient.data.l[1] = static_cast<long>(XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False));
        event.xclient.data.l[3] = 1;
        XSendEvent(display, gl.display.Root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    }
    const int error = gl.display.SyncErrors();
    ok = ok && error == 0;
    if (ok) {
        TYX_LOG(6, L"GL drawing thread[TID=%d] FullscreenState set! ", tid);
        gl.fullscreen = on;
        m_fullscreenRequested = on;
    } else {
        TYX_LOG(3, L"GL drawing thread[TID=%d] SetFullscreenState(to %d) failed with Error=%d! ", tid, on ? 1 : 0,
                error);
    }
    m_fullscreenActual = gl.fullscreen;
    m_fullscreenResult = ok;
}

void FramePresenterGL::CleanUp(stGlState &gl)
{
    std::lock_guard<std::mutex> staging(m_stagingMutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ready = false;
        m_ended = true;
    }
    m_done.notify_all();
    if (gl.fullscreen && !gl.display.IsLost())
        ApplyFullscreen(gl, false);
    m_fullscreenRequested = false;
    if (gl.context) {
        UnregisterTexture();
        // Released even on a connection whose server went away (the requests then go nowhere):
        // what GL still holds when the connection closes, it tears down from the close itself,
        // which registers the dead connection with the X extensions again, and on a dead
        // connection that corrupts their process-wide records.
        if (gl.texture)
            glDeleteTextures(1, &gl.texture);
        glXMakeCurrent(gl.display.Get(), None, nullptr);
        glXDestroyContext(gl.display.Get(), gl.context);
    }
    gl.display.Close();
}

bool FramePresenterGL::WaitForGeneration(uint64_t generation, const std::atomic<uint64_t> &done,
                                         std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_done.wait_for(lock, limit, [&] { return done.load() >= generation || m_ended.load(); });
}

bool FramePresenterGL::PresentDeviceFrame(const uint8_t *picture, int32_t pitch)
{
    if (!m_ready || !picture)
        return false;
    const size_t rowBytes = static_cast<size_t>(m_width) * 4;
    const size_t sourcePitch = pitch > 0 ? static_cast<size_t>(pitch) : rowBytes;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> staging(m_stagingMutex);
        if (!m_ready)
            return false;
        GpuError error = GPU_SUCCESS;
        if (m_interop)
            error = DevMemcpy2D(m_deviceStaging, rowBytes, picture, sourcePitch, rowBytes,
                                static_cast<size_t>(m_height), EGpuCopyKind::DeviceToDevice);
        else
            error = DevMemcpy2D(m_hostStaging.data(), rowBytes, picture, sourcePitch, rowBytes,
                                static_cast<size_t>(m_height), EGpuCopyKind::DeviceToHost);
        if (error != GPU_SUCCESS) {
            TYX_LOG(3, L"[Thread:%d] Cuda Error(%S) in calling cuMemcpy2D!", GetCurrentThreadIdInt(),
                    DevErrorName(error));
            HandleGPUCriticalError(error, L"PresentDeviceFrame: copy");
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_job = m_interop ? EJob::Device : EJob::Host;
        generation = ++m_requested;
    }
    m_wake.notify_all();
    if (!WaitForGeneration(generation, m_presented, kPresentWait))
        TYX_LOG(3, L"Timed out while waiting for mhPresentEvent!");
    return true;
}

bool FramePresenterGL::PresentHostFrame(const uint8_t *picture, int32_t length)
{
    if (!m_ready || !picture || length <= 0)
        return false;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> staging(m_stagingMutex);
        if (!m_ready)
            return false;
        const size_t bytes = std::min(m_hostStaging.size(), static_cast<size_t>(length));
        std::memcpy(m_hostStaging.data(), picture, bytes);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_job = EJob::Host;
        generation = ++m_requested;
    }
    m_wake.notify_all();
    if (!WaitForGeneration(generation, m_presented, kPresentWait))
        TYX_LOG(3, L"Timed out while waiting for mhPresentEvent!");
    return m_presented.load() >= generation;
}

bool FramePresenterGL::SetFullscreen(bool on)
{
    if (!m_ready)
        return false;
    uint64_t request = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fullscreenWanted = on;
        request = ++m_fullscreenRequests;
    }
    m_wake.notify_all();
    if (!WaitForGeneration(request, m_fullscreenApplied, kFullscreenWait))
        return false;
    return m_fullscreenApplied.load() >= request && m_fullscreenResult.load();
}

int32_t FramePresenterGL::GetConnectedDisplayList(std::vector<stDisplayEntry> &displays, bool)
{
    return GetConnectedDisplayList(m_displayName, displays);
}

int32_t FramePresenterGL::GetConnectedDisplayList(const std::string &displayName,
                                                  std::vector<stDisplayEntry> &displays)
{
    CX11Display display;
    if (display.Open(displayName) != 0) {
        displays.clear();
        return -1;
    }
    const int32_t count = display.ListMonitors(displays);
    TYX_LOG(8, L"There [%d] display connected with Adapter (%S). ", count, display.Name().c_str());
    return count;
}
