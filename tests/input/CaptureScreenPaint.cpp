#include "CaptureTestSupport.h"

#include <X11/Xlib.h>

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
