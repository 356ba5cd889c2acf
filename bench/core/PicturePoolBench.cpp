// Prints how many 1920x1080 I420 device pictures per second the device picture pool hands out and
// takes back, beside direct device allocation and free, and beside libavutil's buffer pool (the one
// a user of FFmpeg would pick) on host memory, in the same run. Eight pictures are in flight at a
// time, as in a worker's queue; "touched" writes one byte per page of each new picture, as a
// decoder writing it would. A program, not a test: figures only.

#include "platform/GpuDevice.h"

extern "C" {
#include <libavutil/buffer.h>
}

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

namespace {

constexpr size_t kPicture = 1920 * 1080 * 3 / 2;
constexpr size_t kInFlight = 8;
constexpr int kPictures = 2000;
constexpr size_t kPage = 4096;

// Best of several runs of kPictures pictures, in pictures per second.
double BestRate(const std::function<void()> &run)
{
    run(); // warm: pages touched, pools filled
    double best = 0.0;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::max(best, kPictures / elapsed.count());
    }
    return best;
}

void Touch(void *picture)
{
    if (DevBackend() == EGpuBackend::Host) {
        auto *bytes = static_cast<unsigned char *>(picture);
        for (size_t offset = 0; offset < kPicture; offset += kPage)
            bytes[offset] = 1;
    } else {
        DevMemset(picture, 1, 1);
    }
}

// Runs the ring of pictures in flight with the given allocate and release.
void Ring(const std::function<void *()> &take, const std::function<void(void *)> &give, bool touch)
{
    std::array<void *, kInFlight> ring{};
    for (int i = 0; i < kPictures; ++i) {
        void *&slot = ring[static_cast<size_t>(i) % kInFlight];
        if (slot)
            give(slot);
        slot = take();
        if (touch && slot)
            Touch(slot);
    }
    for (void *&slot : ring) {
        if (slot)
            give(slot);
        slot = nullptr;
    }
}

void *DirectTake()
{
    void *picture = nullptr;
    return DevMalloc(&picture, kPicture) == GPU_SUCCESS ? picture : nullptr;
}

void *PoolTake()
{
    void *picture = nullptr;
    return DevPoolAlloc(&picture, kPicture) == GPU_SUCCESS ? picture : nullptr;
}

void Figures(bool touch)
{
    const double direct = BestRate([touch] { Ring(DirectTake, [](void *p) { DevFree(p); }, touch); });
    const double pool = BestRate([touch] { Ring(PoolTake, [](void *p) { DevPoolRelease(p); }, touch); });
    AVBufferPool *avPool = av_buffer_pool_init(kPicture, nullptr);
    const double libav = BestRate([avPool, touch] {
        std::array<AVBufferRef *, kInFlight> ring{};
        for (int i = 0; i < kPictures; ++i) {
            AVBufferRef *&slot = ring[static_cast<size_t>(i) % kInFlight];
            av_buffer_unref(&slot);
            slot = av_buffer_pool_get(avPool);
            if (touch && slot) {
                for (size_t offset = 0; offset < kPicture; offset += kPage)
                    slot->data[offset] = 1;
            }
        }
        for (AVBufferRef *&slot : ring)
            av_buffer_unref(&slot);
    });
    av_buffer_pool_uninit(&avPool);
    std::printf("%-9s pool %10.0f/s   direct %10.0f/s   (x%.1f)   libavutil buffer pool (host) %10.0f/s\n",
                touch ? "touched" : "untouched", pool, direct, pool / direct, libav);
}

} // namespace

int main()
{
    DevInitialize(0);
    std::printf("1920x1080 I420 pictures (%zu bytes), %zu in flight, %s backend; allocations and frees per second\n",
                kPicture, kInFlight, DevBackend() == EGpuBackend::Cuda ? "CUDA" : "host");
    Figures(false);
    Figures(true);
    DevPoolTrim();
    return 0;
}
