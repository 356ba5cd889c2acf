// Composition of 16 inputs of 480 x 270 into 1920 x 1080, and scaling of 1920 x 1080 to 480 x 270,
// by the system's kernels on the device layer's backend, beside libswscale (bilinear) doing the same
// work in the same process. On a GPU it also prints the share of the card's memory bandwidth that
// each kernel reaches.
//
// vproc_bench [seconds per figure, default 2]

#include "core/FfmpegHandles.h"
#include "core/Resize.h"
#include "platform/GpuDevice.h"
#include "platform/HostThreadPool.h"
#include "vproc/DvcBuffer.h"
#include "vproc/GVMux.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#if defined(TYX_HAVE_CUDA) && TYX_HAVE_CUDA
#include <cuda_runtime_api.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kCanvasWidth = 1920;
constexpr int kCanvasHeight = 1080;
constexpr int kWindowWidth = 480;
constexpr int kWindowHeight = 270;
constexpr int kWindows = 16;

size_t I420Bytes(int width, int height)
{
    return static_cast<size_t>(width) * height * 3 / 2;
}

std::vector<uint8_t> Noise(size_t bytes, uint32_t seed)
{
    std::vector<uint8_t> data(bytes);
    uint32_t state = seed * 2654435761u + 1u;
    for (uint8_t &byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return data;
}

// A device copy of the bytes; the bench ends when it cannot be made.
CDvcBuffer UploadToDevice(const std::vector<uint8_t> &bytes)
{
    CDvcBuffer device;
    if (device.Allocate(bytes.size()) != GPU_SUCCESS) {
        std::fprintf(stderr, "device allocation of %zu bytes failed\n", bytes.size());
        std::exit(1);
    }
    DevMemcpy(device.Get(), bytes.data(), bytes.size(), EGpuCopyKind::HostToDevice);
    return device;
}

// Runs one frame's work again and again for about the given time; frames per second.
double FramesPerSecond(double seconds, const std::function<bool()> &frame)
{
    using Clock = std::chrono::steady_clock;
    for (int i = 0; i < 3; ++i) {
        if (!frame())
            return 0.0;
    }
    const Clock::time_point start = Clock::now();
    int frames = 0;
    double elapsed = 0.0;
    while (elapsed < seconds || frames < 10) {
        if (!frame())
            return 0.0;
        ++frames;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return frames / elapsed;
}

SwsPtr MakeSws(int sw, int sh, int dw, int dh)
{
    SwsPtr context(sws_getContext(sw, sh, AV_PIX_FMT_YUV420P, dw, dh, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                  nullptr, nullptr));
    if (!context) {
        std::fprintf(stderr, "sws_getContext failed\n");
        std::exit(1);
    }
    return context;
}

// Plane pointers and strides of a contiguous I420 picture, shifted to (left, top).
void I420Planes(uint8_t *picture, int width, int height, int left, int top, uint8_t *planes[4], int strides[4])
{
    const size_t luma = static_cast<size_t>(width) * height;
    planes[0] = picture + static_cast<size_t>(top) * width + left;
    planes[1] = picture + luma + static_cast<size_t>(top / 2) * (width / 2) + left / 2;
    planes[2] = picture + luma * 5 / 4 + static_cast<size_t>(top / 2) * (width / 2) + left / 2;
    planes[3] = nullptr;
    strides[0] = width;
    strides[1] = width / 2;
    strides[2] = width / 2;
    strides[3] = 0;
}

struct stFigures
{
    double ours = 0.0;
    double swscale = 0.0;
};

stFigures BenchCompose(double seconds)
{
    std::vector<CDvcBuffer> sources;
    std::vector<std::vector<uint8_t>> hostSources;
    std::vector<stMuxInputData> windows(kWindows);
    for (int i = 0; i < kWindows; ++i) {
        hostSources.push_back(Noise(I420Bytes(kWindowWidth, kWindowHeight), static_cast<uint32_t>(i + 1)));
        sources.push_back(UploadToDevice(hostSources.back()));
        stMuxInputData &in = windows[static_cast<size_t>(i)];
        in.srcWidth = in.winWidth = kWindowWidth;
        in.srcHeight = in.winHeight = kWindowHeight;
        in.srcLength = static_cast<int32_t>(I420Bytes(kWindowWidth, kWindowHeight));
        in.source = sources.back().Get();
        in.srcInDevice = 1;
        in.kind = 1;
        in.left = static_cast<uint16_t>(i % 4 * kWindowWidth);
        in.top = static_cast<uint16_t>(i / 4 * kWindowHeight);
    }
    const size_t canvasBytes = I420Bytes(kCanvasWidth, kCanvasHeight);
    const size_t luma = static_cast<size_t>(kCanvasWidth) * kCanvasHeight;
    const CDvcBuffer canvas = UploadToDevice(std::vector<uint8_t>(canvasBytes, 0));

    stFigures figures;
    figures.ours = FramesPerSecond(seconds, [&] {
        DevMemset(canvas.Get(), 0, luma);
        DevMemset(canvas.Get() + luma, 128, luma / 2);
        return MuxFrames(kWindows, windows.data(), kCanvasWidth, kCanvasHeight, canvas.Get(), true) > 0;
    });

    std::vector<uint8_t> hostCanvas(canvasBytes);
    std::vector<SwsPtr> contexts;
    for (int i = 0; i < kWindows; ++i)
        contexts.push_back(MakeSws(kWindowWidth, kWindowHeight, kWindowWidth, kWindowHeight));
    figures.swscale = FramesPerSecond(seconds, [&] {
        std::memset(hostCanvas.data(), 0, luma);
        std::memset(hostCanvas.data() + luma, 128, luma / 2);
        for (int i = 0; i < kWindows; ++i) {
            const stMuxInputData &in = windows[static_cast<size_t>(i)];
            uint8_t *src[4];
            int srcStrides[4];
            uint8_t *dst[4];
            int dstStrides[4];
            I420Planes(hostSources[static_cast<size_t>(i)].data(), kWindowWidth, kWindowHeight, 0, 0, src, srcStrides);
            I420Planes(hostCanvas.data(), kCanvasWidth, kCanvasHeight, in.left, in.top, dst, dstStrides);
            sws_scale(contexts[static_cast<size_t>(i)].get(), src, srcStrides, 0, kWindowHeight, dst, dstStrides);
        }
        return true;
    });
    return figures;
}

stFigures BenchScale(double seconds)
{
    const std::vector<uint8_t> hostSource = Noise(I420Bytes(kCanvasWidth, kCanvasHeight), 99);
    const CDvcBuffer source = UploadToDevice(hostSource);
    const CDvcBuffer target = UploadToDevice(std::vector<uint8_t>(I420Bytes(kWindowWidth, kWindowHeight), 0));
    const size_t sl = static_cast<size_t>(kCanvasWidth) * kCanvasHeight;
    const size_t dl = static_cast<size_t>(kWindowWidth) * kWindowHeight;

    stFigures figures;
    figures.ours = FramesPerSecond(seconds, [&] {
        uint8_t *d = target.Get();
        const uint8_t *s = source.Get();
        return ScaleYuv420InDvc(d, d + dl, d + dl * 5 / 4, kWindowWidth, kWindowWidth / 2, kWindowWidth,
                                kWindowHeight, s, s + sl, s + sl * 5 / 4, kCanvasWidth, kCanvasWidth / 2,
                                kCanvasWidth, kCanvasHeight) == 0;
    });

    std::vector<uint8_t> hostTarget(I420Bytes(kWindowWidth, kWindowHeight));
    SwsPtr context = MakeSws(kCanvasWidth, kCanvasHeight, kWindowWidth, kWindowHeight);
    std::vector<uint8_t> sourceCopy = hostSource;
    figures.swscale = FramesPerSecond(seconds, [&] {
        uint8_t *src[4];
        int srcStrides[4];
        uint8_t *dst[4];
        int dstStrides[4];
        I420Planes(sourceCopy.data(), kCanvasWidth, kCanvasHeight, 0, 0, src, srcStrides);
        I420Planes(hostTarget.data(), kWindowWidth, kWindowHeight, 0, 0, dst, dstStrides);
        return sws_scale(context.get(), src, srcStrides, 0, kCanvasHeight, dst, dstStrides) == kWindowHeight;
    });
    return figures;
}

// The card's peak memory bandwidth in bytes per second from its clock and bus width; 0 off the GPU.
double PeakBandwidth()
{
#if defined(TYX_HAVE_CUDA) && TYX_HAVE_CUDA
    if (DevBackend() != EGpuBackend::Cuda)
        return 0.0;
    int clockKHz = 0;
    int busBits = 0;
    const int device = DevCurrentDevice();
    if (cudaDeviceGetAttribute(&clockKHz, cudaDevAttrMemoryClockRate, device) != cudaSuccess ||
        cudaDeviceGetAttribute(&busBits, cudaDevAttrGlobalMemoryBusWidth, device) != cudaSuccess)
        return 0.0;
    return 2.0 * clockKHz * 1000.0 * busBits / 8.0;
#else
    return 0.0;
#endif
}

// What a device-to-device copy reaches: read plus write bytes per second.
double CopyBandwidth(double seconds)
{
    const size_t bytes = size_t{256} << 20;
    void *a = nullptr;
    void *b = nullptr;
    if (DevMalloc(&a, bytes) != GPU_SUCCESS || DevMalloc(&b, bytes) != GPU_SUCCESS) {
        DevFree(a);
        return 0.0;
    }
    const double fps = FramesPerSecond(seconds, [&] {
        const bool ok = DevMemcpy(b, a, bytes, EGpuCopyKind::DeviceToDevice) == GPU_SUCCESS;
        return ok && DevSynchronize() == GPU_SUCCESS;
    });
    DevFree(a);
    DevFree(b);
    return fps * 2.0 * static_cast<double>(bytes);
}

void PrintFigures(const char *what, const stFigures &figures, double bytesPerFrame, double peak)
{
    std::printf("%-44s ours %9.1f fps   libswscale %9.1f fps   ratio %6.2f\n", what, figures.ours, figures.swscale,
                figures.swscale > 0.0 ? figures.ours / figures.swscale : 0.0);
    if (peak > 0.0) {
        const double reached = figures.ours * bytesPerFrame;
        std::printf("%-44s %.1f GB/s moved = %.1f%% of the card's %.0f GB/s\n", "", reached / 1e9,
                    100.0 * reached / peak, peak / 1e9);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const EGpuBackend backend = DevInitialize(0);
    if (backend == EGpuBackend::Cuda)
        std::printf("backend: CUDA, device %d\n", DevCurrentDevice());
    else
        std::printf("backend: host, %zu pool threads (libswscale runs on one thread)\n", CHostThreadPool::Instance().Size());

    const double peak = PeakBandwidth();
    if (peak > 0.0)
        std::printf("device-to-device copy reaches %.1f GB/s (read + write)\n", CopyBandwidth(seconds) / 1e9);

    // Bytes each frame must move at least: sources read and windows written, plus clearing the
    // canvas; the scaled picture written and the source read once.
    const double windowBytes = static_cast<double>(I420Bytes(kWindowWidth, kWindowHeight));
    const double canvasBytes = static_cast<double>(I420Bytes(kCanvasWidth, kCanvasHeight));
    PrintFigures("compose 16 x 480x270 -> 1920x1080:", BenchCompose(seconds), 2.0 * kWindows * windowBytes + canvasBytes,
                 peak);
    PrintFigures("scale 1920x1080 -> 480x270 (bilinear):", BenchScale(seconds), canvasBytes + windowBytes, peak);
    return 0;
}
