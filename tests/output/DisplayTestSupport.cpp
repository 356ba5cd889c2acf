#include "output/DisplayTestSupport.h"

#include "host/GlobalVars.h"
#include "platform/GpuDevice.h"
#include "vproc/FormatConvert.h"

#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

namespace {

// Mesa unloads its software GL driver when the last GL display closes, and the blocks that the
// driver's globals still pointed at then look leaked to the leak checker. Kept loaded, they do not.
struct stKeepGlDriverLoaded
{
    stKeepGlDriverLoaded()
    {
        for (const char *path : {"/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "/usr/lib64/dri/swrast_dri.so"}) {
            if (dlopen(path, RTLD_LAZY | RTLD_NODELETE))
                break;
        }
    }
} g_keepGlDriverLoaded;

} // namespace

CTestWindow::CTestWindow(const std::string &displayName, int x, int y, int width, int height)
{
    m_display = XOpenDisplay(displayName.c_str());
    if (!m_display)
        return;
    const Window root = DefaultRootWindow(m_display);
    int attributes[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
    XVisualInfo *visual = glXChooseVisual(m_display, DefaultScreen(m_display), attributes);
    XSetWindowAttributes settings{};
    settings.background_pixel = 0;
    settings.colormap = XCreateColormap(m_display, root, visual->visual, AllocNone);
    m_window = XCreateWindow(m_display, root, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                             visual->depth, InputOutput, visual->visual, CWBackPixel | CWColormap, &settings);
    XFree(visual);
    XMapRaised(m_display, m_window);
    XSync(m_display, False);
}

CTestWindow::~CTestWindow()
{
    if (!m_display)
        return;
    XDestroyWindow(m_display, m_window);
    XCloseDisplay(m_display);
}

void CTestWindow::MoveResize(int x, int y, int width, int height)
{
    XMoveResizeWindow(m_display, m_window, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XSync(m_display, False);
}

void CTestWindow::Geometry(int &x, int &y, int &width, int &height) const
{
    WindowGeometry(DisplayString(m_display), m_window, x, y, width, height);
}

bool WindowGeometry(const std::string &displayName, unsigned long window, int &x, int &y, int &width, int &height)
{
    Display *display = XOpenDisplay(displayName.c_str());
    if (!display)
        return false;
    XWindowAttributes attributes{};
    Window child = None;
    const bool ok = XGetWindowAttributes(display, window, &attributes) &&
                    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
    width = attributes.width;
    height = attributes.height;
    XCloseDisplay(display);
    return ok;
}

std::string WindowTitle(const std::string &displayName, unsigned long window)
{
    Display *display = XOpenDisplay(displayName.c_str());
    std::string title;
    char *name = nullptr;
    if (display && XFetchName(display, window, &name) && name) {
        title = name;
        XFree(name);
    }
    if (display)
        XCloseDisplay(display);
    return title;
}

std::string WindowClass(const std::string &displayName, unsigned long window)
{
    Display *display = XOpenDisplay(displayName.c_str());
    std::string result;
    XClassHint hint{};
    if (display && XGetClassHint(display, window, &hint)) {
        result = hint.res_class ? hint.res_class : "";
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    if (display)
        XCloseDisplay(display);
    return result;
}

std::vector<uint8_t> I420ToBgra(const std::vector<uint8_t> &i420, int width, int height)
{
    DevInitialize(0);
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::vector<uint8_t> bgra(bytes * 4);
    uint8_t *device = nullptr;
    uint8_t *converted = nullptr;
    DevMalloc(reinterpret_cast<void **>(&device), i420.size());
    DevMalloc(reinterpret_cast<void **>(&converted), bgra.size());
    DevMemcpy(device, i420.data(), i420.size(), EGpuCopyKind::HostToDevice);
    I420ToBgra32InDvc(device, width, height, converted, width * 4, 0);
    DevMemcpy(bgra.data(), converted, bgra.size(), EGpuCopyKind::DeviceToHost);
    DevFree(device);
    DevFree(converted);
    return bgra;
}

stBgr ExpectedBgr(uint8_t y, uint8_t u, uint8_t v)
{
    return PixelAt(I420ToBgra({y, y, y, y, u, v}, 2, 2), 2, 0, 0);
}

bool NearColor(const stBgr &actual, const stBgr &expected, int tolerance)
{
    return std::abs(actual.b - expected.b) <= tolerance && std::abs(actual.g - expected.g) <= tolerance &&
           std::abs(actual.r - expected.r) <= tolerance;
}

void SaveScreenshot(CXvfbServer &xvfb, unsigned long window, const std::string &name)
{
    int width = 0;
    int height = 0;
    const std::vector<uint8_t> pixels = xvfb.Grab(window, width, height);
    std::filesystem::create_directories("artifacts");
    SaveBgraAsPng("artifacts/" + name + ".png", pixels, width, height);
}

void CXvfbTest::SetUp()
{
    CLeakCheckedTest::SetUp();
    CTYXGVMS::ResetForTests();
    if (!m_xvfb.Start())
        GTEST_SKIP() << "Xvfb cannot start here";
}

void CXvfbTest::TearDown()
{
    m_xvfb.Stop();
    CTYXGVMS::ResetForTests();
    CLeakCheckedTest::TearDown();
}
