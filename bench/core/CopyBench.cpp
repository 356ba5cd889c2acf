// Prints the host backend's copy and 2D-copy throughput beside memcpy on the same buffers, and the
// speed of the scaler's host path. A program, not a test: figures only.

#include "core/Resize.h"
#include "platform/GpuBackend.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace {

// Best of several timed runs, in seconds; the best run is the least disturbed one.
double BestSeconds(int runs, const std::function<void()> &work)
{
    work(); // warm: pages touched, caches and the pool started
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

double GBps(size_t bytes, double seconds)
{
    return static_cast<double>(bytes) / seconds / 1e9;
}

void CopyFigures(IGpuBackend &host, const char *name, size_t width, size_t height, size_t pitch)
{
    const size_t packed = width * height;
    std::vector<uint8_t> src(pitch * height, 1);
    std::vector<uint8_t> dst(pitch * height, 2);
    const int runs = packed > (64u << 20) ? 5 : 20;

    const double plain = BestSeconds(runs, [&] { std::memcpy(dst.data(), src.data(), packed); });
    const double layer = BestSeconds(runs, [&] {
        host.Memcpy(dst.data(), src.data(), packed, EGpuCopyKind::DeviceToDevice, nullptr);
    });
    const double rows = BestSeconds(runs, [&] {
        for (size_t row = 0; row < height; ++row)
            std::memcpy(dst.data() + row * pitch, src.data() + row * pitch, width);
    });
    const double layer2d = BestSeconds(runs, [&] {
        host.Memcpy2D(dst.data(), pitch, src.data(), pitch, width, height, EGpuCopyKind::DeviceToDevice, nullptr);
    });
    std::printf("%-22s %10zu B  copy %6.2f GB/s (memcpy %6.2f)   2D pitch %-5zu %6.2f GB/s (memcpy rows %6.2f)\n",
                name, packed, GBps(packed, layer), GBps(packed, plain), pitch, GBps(packed, layer2d),
                GBps(packed, rows));
}

void ScaleFigures(int32_t sw, int32_t sh, int32_t dw, int32_t dh)
{
    const size_t sl = static_cast<size_t>(sw) * sh;
    const size_t dl = static_cast<size_t>(dw) * dh;
    std::vector<uint8_t> src(sl * 3 / 2, 100);
    std::vector<uint8_t> dst(dl * 3 / 2);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<uint8_t>(i * 7 + i / 5);
    const double seconds = BestSeconds(10, [&] {
        ScaleYuv420OnHost(dst.data(), dst.data() + dl, dst.data() + dl * 5 / 4, dw, dw / 2, dw, dh, src.data(),
                          src.data() + sl, src.data() + sl * 5 / 4, sw, sw / 2, sw, sh);
    });
    std::printf("scale %5dx%-5d -> %5dx%-5d  %7.2f ms/picture  %7.1f Mpixel/s out\n", sw, sh, dw, dh, seconds * 1e3,
                static_cast<double>(dl) * 1.5 / seconds / 1e6);
}

} // namespace

int main()
{
    const std::unique_ptr<IGpuBackend> host = MakeHostGpuBackend();
    std::printf("Host backend copies (best of several runs)\n");
    CopyFigures(*host, "I420 1920x1080", 1920, 1620, 2048);
    CopyFigures(*host, "I420 3840x2160", 3840, 3240, 4096);
    CopyFigures(*host, "odd 1921x1081", 1921, 1081, 2048);
    CopyFigures(*host, "256 MiB block", 16384, 16384, 16384);
    std::printf("\nScaler, host path (%u host threads)\n", std::max(1u, std::thread::hardware_concurrency()));
    ScaleFigures(1920, 1080, 1280, 720);
    ScaleFigures(1920, 1080, 640, 360);
    ScaleFigures(3840, 2160, 1920, 1080);
    ScaleFigures(1280, 720, 1920, 1080);
    return 0;
}
