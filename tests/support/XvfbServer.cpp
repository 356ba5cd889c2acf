#include "support/XvfbServer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace {

int IgnoreErrors(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

bool CXvfbServer::Start(int width, int height)
{
    Stop();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3); // the child's fd 3 is not close-on-exec
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const char *args[] = {"Xvfb",      "-displayfd", "3",         "-screen", "0",        screen.c_str(), "+extension",
                          "GLX",       "+extension", "RANDR",     "-nolisten", "tcp",    "-noreset",     nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char *const *>(args), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return false;
    }
    m_pid = pid;
    std::string number;
    for (;;) {
        pollfd entry{fds[0], POLLIN, 0};
        if (::poll(&entry, 1, 15000) <= 0)
            break;
        char c = 0;
        if (::read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        number += c;
    }
    ::close(fds[0]);
    if (number.empty()) {
        Stop();
        return false;
    }
    m_name = ":" + number;
    if (const char *previous = std::getenv("DISPLAY")) {
        m_previousDisplay = previous;
        m_hadDisplay = true;
    }
    ::setenv("DISPLAY", m_name.c_str(), 1);
    return true;
}

void CXvfbServer::Stop()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        if (m_hadDisplay)
            ::setenv("DISPLAY", m_previousDisplay.c_str(), 1);
        else
            ::unsetenv("DISPLAY");
    }
    m_name.clear();
}

bool CXvfbServer::AddTwoMonitors()
{
    Display *display = XOpenDisplay(m_name.c_str());
    if (!display)
        return false;
    const Window root = DefaultRootWindow(display);
    const int width = DisplayWidth(display, DefaultScreen(display));
    const int height = DisplayHeight(display, DefaultScreen(display));
    XRRScreenResources *resources = XRRGetScreenResources(display, root);
    XRRMonitorInfo *monitor = XRRAllocateMonitor(display, 1);
    monitor->name = XInternAtom(display, "TYXA", False);
    monitor->primary = True;
    monitor->x = 0;
    monitor->y = 0;
    monitor->width = width / 2;
    monitor->height = height;
    monitor->mwidth = 260;
    monitor->mheight = 290;
    monitor->noutput = 0;
    XRRSetMonitor(display, root, monitor);
    monitor->name = XInternAtom(display, "TYXB", False);
    monitor->primary = False;
    monitor->x = width / 2;
    monitor->noutput = 1;
    monitor->outputs[0] = resources->outputs[0];
    XRRSetMonitor(display, root, monitor);
    XSync(display, False);
    XRRFreeMonitors(monitor);
    XRRFreeScreenResources(resources);
    int count = 0;
    XRRMonitorInfo *monitors = XRRGetMonitors(display, root, True, &count);
    XRRFreeMonitors(monitors);
    XCloseDisplay(display);
    return count == 2;
}

bool CXvfbServer::AddOutputMode(int width, int height)
{
    Display *display = XOpenDisplay(m_name.c_str());
    if (!display)
        return false;
    const Window root = DefaultRootWindow(display);
    XRRScreenResources *resources = XRRGetScreenResources(display, root);
    XRROutputInfo *output = XRRGetOutputInfo(display, resources, resources->outputs[0]);
    if (m_firstMode == 0 && output->nmode > 0)
        m_firstMode = output->modes[0];
    std::string name = std::to_string(width) + "x" + std::to_string(height);
    XRRModeInfo info{};
    info.width = static_cast<unsigned>(width);
    info.height = static_cast<unsigned>(height);
    info.dotClock = static_cast<unsigned long>(width + 160) * static_cast<unsigned long>(height + 30) * 60;
    info.hSyncStart = static_cast<unsigned>(width + 48);
    info.hSyncEnd = static_cast<unsigned>(width + 80);
    info.hTotal = static_cast<unsigned>(width + 160);
    info.vSyncStart = static_cast<unsigned>(height + 3);
    info.vSyncEnd = static_cast<unsigned>(height + 8);
    info.vTotal = static_cast<unsigned>(height + 30);
    info.name = name.data();
    info.nameLength = static_cast<unsigned>(name.size());
    const RRMode mode = XRRCreateMode(display, root, &info);
    XRRAddOutputMode(display, resources->outputs[0], mode);
    XSync(display, False);
    XRRFreeOutputInfo(output);
    XRRFreeScreenResources(resources);
    XCloseDisplay(display);
    return mode != 0;
}

void CXvfbServer::CurrentOutputMode(int &width, int &height)
{
    width = 0;
    height = 0;
    Display *display = XOpenDisplay(m_name.c_str());
    if (!display)
        return;
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    if (resources && resources->ncrtc > 0) {
        XRRCrtcInfo *crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[0]);
        width = static_cast<int>(crtc->width);
        height = static_cast<int>(crtc->height);
        XRRFreeCrtcInfo(crtc);
    }
    if (resources)
        XRRFreeScreenResources(resources);
    XCloseDisplay(display);
}

bool CXvfbServer::RestoreOutputMode()
{
    Display *display = XOpenDisplay(m_name.c_str());
    if (!display || m_firstMode == 0)
        return display ? (XCloseDisplay(display), false) : false;
    XRRScreenResources *resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    XRRCrtcInfo *crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[0]);
    const Status status = XRRSetCrtcConfig(display, resources, resources->crtcs[0], CurrentTime, crtc->x, crtc->y,
                                           m_firstMode, crtc->rotation, crtc->outputs, crtc->noutput);
    XRRFreeCrtcInfo(crtc);
    XRRFreeScreenResources(resources);
    XCloseDisplay(display);
    return status == RRSetConfigSuccess;
}

std::vector<uint8_t> CXvfbServer::Grab(unsigned long window, int &width, int &height)
{
    std::vector<uint8_t> pixels;
    Display *display = XOpenDisplay(m_name.c_str());
    if (!display)
        return pixels;
    // A window that went away must not end the test program; the handler is put back afterwards.
    const auto previous = XSetErrorHandler(IgnoreErrors);
    const Window root = DefaultRootWindow(display);
    const Window target = window ? window : root;
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, target, &attributes)) {
        XCloseDisplay(display);
        XSetErrorHandler(previous);
        return pixels;
    }
    // Read from the root window: what the screen shows at the window's place.
    int x = 0;
    int y = 0;
    Window child = None;
    XTranslateCoordinates(display, target, root, 0, 0, &x, &y, &child);
    width = attributes.width;
    height = attributes.height;
    XImage *image = XGetImage(display, root, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height),
                              AllPlanes, ZPixmap);
    if (image) {
        pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
        for (int row = 0; row < height; ++row) {
            for (int column = 0; column < width; ++column) {
                const unsigned long pixel = XGetPixel(image, column, row);
                uint8_t *out = &pixels[(static_cast<size_t>(row) * static_cast<size_t>(width) + column) * 4];
                out[0] = static_cast<uint8_t>(pixel & 0xFF);
                out[1] = static_cast<uint8_t>((pixel >> 8) & 0xFF);
                out[2] = static_cast<uint8_t>((pixel >> 16) & 0xFF);
                out[3] = 0xFF;
            }
        }
        XDestroyImage(image);
    }
    XCloseDisplay(display);
    XSetErrorHandler(previous);
    return pixels;
}

stBgr PixelAt(const std::vector<uint8_t> &bgra, int width, int x, int y)
{
    const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 4;
    if (at + 3 > bgra.size())
        return {};
    return {bgra[at], bgra[at + 1], bgra[at + 2]};
}

bool SaveBgraAsPng(const std::string &path, const std::vector<uint8_t> &bgra, int width, int height)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec || bgra.size() < static_cast<size_t>(width) * static_cast<size_t>(height) * 4)
        return false;
    AVCodecContext *context = avcodec_alloc_context3(codec);
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    bool saved = false;
    if (context && frame && packet) {
        context->width = width;
        context->height = height;
        context->pix_fmt = AV_PIX_FMT_RGB24;
        context->time_base = {1, 25};
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = width;
        frame->height = height;
        if (avcodec_open2(context, codec, nullptr) == 0 && av_frame_get_buffer(frame, 0) == 0) {
            for (int row = 0; row < height; ++row) {
                for (int column = 0; column < width; ++column) {
                    const uint8_t *in = &bgra[(static_cast<size_t>(row) * static_cast<size_t>(width) + column) * 4];
                    uint8_t *out = frame->data[0] + row * frame->linesize[0] + column * 3;
                    out[0] = in[2];
                    out[1] = in[1];
                    out[2] = in[0];
                }
            }
            if (avcodec_send_frame(context, frame) == 0 && avcodec_receive_packet(context, packet) == 0) {
                if (FILE *file = std::fopen(path.c_str(), "wb")) {
                    saved = std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), file) ==
                            static_cast<size_t>(packet->size);
                    std::fclose(file);
                }
            }
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return saved;
}
