#include "CaptureTestSupport.h"

#include "input/CaptureDevices.h"
#include "platform/VideoDeviceNode.h"

#include <X11/Xlib.h>

#include <cstdio>

std::string TestPattern(int width, int height, int fps, const std::string &pixelFormat)
{
    char text[160];
    std::snprintf(text, sizeof(text), "lavfi:testsrc2=size=%dx%d:rate=%d,format=%s", width, height, fps, pixelFormat.c_str());
    return text;
}

std::string TestTone(int frequency, int sampleRate, double seconds, int channels)
{
    char text[200];
    std::snprintf(text, sizeof(text), "lavfi:sine=frequency=%d:sample_rate=%d:duration=%g%s", frequency, sampleRate,
                  seconds, channels == 2 ? ",pan=stereo|c0=c0|c1=c0" : "");
    return text;
}

bool PaintScreen(const std::string &name, const std::vector<stScreenRect> &rects)
{
    Display *display = XOpenDisplay(name.c_str());
    if (!display)
        return false;
    const Window root = DefaultRootWindow(display);
    GC gc = XCreateGC(display, root, 0, nullptr);
    for (const stScreenRect &rect : rects) {
        XSetForeground(display, gc, rect.rgb);
        XFillRectangle(display, root, gc, rect.x, rect.y, static_cast<unsigned>(rect.width), static_cast<unsigned>(rect.height));
    }
    XFreeGC(display, gc);
    XSync(display, False);
    XCloseDisplay(display);
    return true;
}

std::string FirstCaptureNode()
{
    for (const stCaptureDeviceInfo &node : ListVideoDeviceNodes("/dev", 0)) {
        std::string card;
        if (QueryVideoDeviceNode(node.name, card) == 1)
            return node.name;
    }
    return {};
}
