// The direct outputs at 1920 x 1080 I420:
// - the frame pipe: messages and bytes per second through CRVTPServer to a reading client, beside a
//   plain blocking write loop of the same messages on the same kind of Unix socket connection;
// - the direct display on Xvfb: the time per picture of CRVDOServer (conversion to BGRA on the
//   device layer's backend and a GL present), beside libswscale's conversion with XPutImage, the
//   path a user would write by hand.
//
// output_bench [seconds per figure, default 3]

#include "core/FramePackage.h"
#include "core/TYXUtils.h"
#include "output/RVDOServer.h"
#include "output/RVTPServer.h"
#include "platform/GpuDevice.h"
#include "platform/UnixSocket.h"
#include "support/XvfbServer.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrameBytes = kWidth * kHeight * 3 / 2;
constexpr int kMessageBytes = kFrameBytes + 48;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

FramePackage MakeFrame(int64_t pts)
{
    FramePackage frame;
    frame.width = kWidth;
    frame.height = kHeight;
    frame.pts = pts;
    frame.kind = TYX_PKT_KIND_RAW_VIDEO;
    if (AllocFramePackageData(frame, kFrameBytes) == kFrameBytes)
        std::memset(frame.pData, static_cast<int>(pts & 0xFF), static_cast<size_t>(kFrameBytes));
    return frame;
}

int ConnectTo(const std::string &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads whole messages until stop; counts them.
void ReadMessages(int fd, std::atomic<bool> &stop, std::atomic<int64_t> &messages)
{
    std::vector<uint8_t> buffer(kMessageBytes);
    size_t got = 0;
    while (!stop) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buffer.data() + got, buffer.size() - got, 0);
        if (n <= 0)
            return;
        got += static_cast<size_t>(n);
        if (got == buffer.size()) {
            ++messages;
            got = 0;
        }
    }
}

struct stRate
{
    double framesPerSecond = 0;
    double bytesPerSecond = 0;
};

stRate BenchPipeServer(double seconds, const std::string &folder)
{
    ::setenv("RUNTIME_DIRECTORY", folder.c_str(), 1);
    auto server = std::make_shared<CRVTPServer>(L"Bench", 1, nullptr);
    if (!server->Initialize(1537, kWidth, kHeight, 0) || server->StartThread() <= 0)
        return {};
    server->StartEvent().Set();
    const int fd = ConnectTo(server->SocketPath());
    std::atomic<bool> stop{false};
    std::atomic<int64_t> messages{0};
    std::thread reader(ReadMessages, fd, std::ref(stop), std::ref(messages));
    FramePackage frame = MakeFrame(0);
    while (!server->IsClientConnected())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int64_t start = messages.load();
    const Clock::time_point begin = Clock::now();
    // One picture waiting at a time: the figure is what the server delivers, not what it drops.
    while (Seconds(begin) < seconds) {
        if (server->QueuedFrames() > 0 || !server->PushFrame(frame))
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    const double elapsed = Seconds(begin);
    const int64_t delivered = messages.load() - start;
    stop = true;
    reader.join();
    ::close(fd);
    server->Stop(200);
    server->unInitialize();
    FreeFramePackage(frame);
    return {delivered / elapsed, delivered * static_cast<double>(kMessageBytes) / elapsed};
}

stRate BenchPlainWrites(double seconds, const std::string &folder)
{
    CUnixListener listener;
    if (listener.Listen(folder + "/plain") != 0)
        return {};
    const int client = ConnectTo(listener.Path());
    CSocketFd server;
    int32_t pid = 0;
    while (listener.Accept(server, pid) == -EAGAIN)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The same message every time, written whole with blocking writes.
    const int fd = ::dup(server.Fd());
    ::fcntl(fd, F_SETFL, 0);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> messages{0};
    std::thread reader(ReadMessages, client, std::ref(stop), std::ref(messages));
    std::vector<uint8_t> message(kMessageBytes, 0x55);
    const Clock::time_point begin = Clock::now();
    int64_t written = 0;
    while (Seconds(begin) < seconds) {
        size_t offset = 0;
        while (offset < message.size()) {
            const ssize_t n = ::send(fd, message.data() + offset, message.size() - offset, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            offset += static_cast<size_t>(n);
        }
        ++written;
    }
    const double elapsed = Seconds(begin);
    while (messages.load() < written && Seconds(begin) < seconds + 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int64_t delivered = messages.load();
    stop = true;
    reader.join();
    ::close(fd);
    ::close(client);
    return {delivered / elapsed, delivered * static_cast<double>(kMessageBytes) / elapsed};
}

double BenchDisplayServer(double seconds)
{
    auto server = std::make_shared<CRVDOServer>(L"Bench", 1, nullptr);
    if (!server->Initialize(1537, kWidth, kHeight, 0, 1) || server->StartThread() <= 0)
        return 0;
    server->StartDirectOutput(L"bench", kWidth, kHeight);
    const Clock::time_point ready = Clock::now();
    while (!server->IsActive() && Seconds(ready) < 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    FramePackage frame = MakeFrame(0);
    // A warm-up picture, then as many as the display takes.
    while (server->FramesShown() < 3 && Seconds(ready) < 10)
        server->PushFrame(frame);
    const int64_t start = server->FramesShown();
    const Clock::time_point begin = Clock::now();
    while (Seconds(begin) < seconds) {
        if (server->QueuedFrames() < 2)
            server->PushFrame(frame);
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double elapsed = Seconds(begin);
    const int64_t shown = server->FramesShown() - start;
    server->Stop(500);
    server->unInitialize();
    FreeFramePackage(frame);
    return shown > 0 ? elapsed * 1000.0 / shown : 0;
}

// libswscale's conversion to BGRA and an XPutImage of the result into a window, per picture.
double BenchSwscaleXPutImage(double seconds, const std::string &displayName)
{
    Display *display = XOpenDisplay(displayName.c_str());
    if (!display)
        return 0;
    const int screen = DefaultScreen(display);
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, kWidth, kHeight, 0, 0, 0);
    XMapWindow(display, window);
    const GC gc = XCreateGC(display, window, 0, nullptr);
    std::vector<uint8_t> i420(kFrameBytes, 0x80);
    std::vector<uint8_t> bgra(static_cast<size_t>(kWidth) * kHeight * 4);
    XImage *image = XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0,
                                 reinterpret_cast<char *>(bgra.data()), kWidth, kHeight, 32, kWidth * 4);
    SwsContext *sws = sws_getContext(kWidth, kHeight, AV_PIX_FMT_YUV420P, kWidth, kHeight, AV_PIX_FMT_BGRA,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    const uint8_t *planes[3] = {i420.data(), i420.data() + kWidth * kHeight,
                                i420.data() + kWidth * kHeight + kWidth * kHeight / 4};
    const int strides[3] = {kWidth, kWidth / 2, kWidth / 2};
    uint8_t *out[1] = {bgra.data()};
    const int outStrides[1] = {kWidth * 4};
    int64_t frames = 0;
    const Clock::time_point begin = Clock::now();
    while (Seconds(begin) < seconds) {
        sws_scale(sws, planes, strides, 0, kHeight, out, outStrides);
        XPutImage(display, window, gc, image, 0, 0, 0, 0, kWidth, kHeight);
        XSync(display, False);
        ++frames;
    }
    const double elapsed = Seconds(begin);
    sws_freeContext(sws);
    image->data = nullptr; // the vector owns the pixels
    XDestroyImage(image);
    XFreeGC(display, gc);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return frames > 0 ? elapsed * 1000.0 / frames : 0;
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const EGpuBackend backend = DevInitialize(0);
    std::printf("backend: %s, %d x %d I420 (%d bytes a picture)\n",
                backend == EGpuBackend::Cuda ? "CUDA" : "host", kWidth, kHeight, kFrameBytes);

    char pattern[] = "/tmp/tyx-output-bench-XXXXXX";
    const std::string folder = ::mkdtemp(pattern) ? pattern : "/tmp";
    const stRate pipe = BenchPipeServer(seconds, folder);
    const stRate plain = BenchPlainWrites(seconds, folder);
    std::printf("frame pipe   : %8.1f frames/s %8.1f MB/s   (CRVTPServer to a reading client)\n",
                pipe.framesPerSecond, pipe.bytesPerSecond / 1e6);
    std::printf("plain writes : %8.1f frames/s %8.1f MB/s   (blocking send loop, same messages)\n",
                plain.framesPerSecond, plain.bytesPerSecond / 1e6);
    std::printf("ratio        : %8.2f\n", plain.framesPerSecond > 0 ? pipe.framesPerSecond / plain.framesPerSecond : 0);
    std::filesystem::remove_all(folder);

    CXvfbServer xvfb;
    if (!xvfb.Start(kWidth, kHeight)) {
        std::printf("display      : Xvfb cannot start here; skipped\n");
        return 0;
    }
    const double ours = BenchDisplayServer(seconds);
    const double theirs = BenchSwscaleXPutImage(seconds, xvfb.Name());
    std::printf("display      : %8.2f ms a picture   (CRVDOServer: BGRA conversion + GL present, Xvfb)\n", ours);
    std::printf("swscale+XPut : %8.2f ms a picture   (libswscale to BGRA + XPutImage, Xvfb)\n", theirs);
    return 0;
}
