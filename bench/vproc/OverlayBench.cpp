// Overlays on a 1920 x 1080 frame in device memory, by the device layer's backend: four texts
// stamped by one launch, a graphics drawer with a picture, a clip frame, figures and curves, and the
// loading of the built-in clip (frames decoded, scaled and copied per second).
//
// overlay_bench [seconds per figure, default 2]

#include "platform/GpuDevice.h"
#include "vproc/AnimateLoader.h"
#include "vproc/EmbeddedResource.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdWriter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrameBytes = kWidth * kHeight * 3 / 2;

// Calls work until the time is up; the mean milliseconds per call.
double MeanMs(double seconds, const std::function<void()> &work)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    int calls = 0;
    do {
        work();
        ++calls;
    } while (std::chrono::duration<double>(Clock::now() - start).count() < seconds);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / calls;
}

stOsgGeometry Geometry(int32_t shape, const OsgNamedValues &values)
{
    stOsgGeometry geometry;
    geometry.shape = shape;
    geometry.hollow = 0;
    geometry.origin = 1;
    geometry.xRangeLeft = -900;
    geometry.xRangeRight = 900;
    ParseOsgGeometry(shape, values, geometry.params);
    return geometry;
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const EGpuBackend backend = DevInitialize(0);
    std::printf("backend: %s\n", backend == EGpuBackend::Cuda ? "CUDA" : "host");
    void *frame = nullptr;
    if (DevMalloc(&frame, kFrameBytes) != GPU_SUCCESS)
        return 1;
    DevMemset(frame, 64, kFrameBytes);
    auto *pixels = static_cast<uint8_t *>(frame);

    COsdWriter writer(true);
    writer.SetFrameSize(kWidth, kHeight, 0, 0);
    stOsdFont font;
    font.height = 48;
    font.charSet = 134;
    font.faceName = L"Arial";
    const int32_t positions[] = {2, 4, 6, 8};
    for (uint16_t i = 0; i < 4; ++i) {
        writer.AddOsd(i, OSD_CONTENT_DYNAMIC_TEXT, font, OSD_COLOR_WHITE, positions[i], 10, 10, false);
        writer.SetOsdText(i, L"Camera 0" + std::to_wstring(i) + L" - the quick brown fox jumps");
    }
    std::printf("4 texts of 34 characters, 48 px:   %8.3f ms per frame\n",
                MeanMs(seconds, [&] { writer.ProcessFrameUseGpu(pixels, kFrameBytes, true); }));
    std::printf("retext of one 34-character text:  %8.3f ms\n",
                MeanMs(seconds, [&] { writer.SetOsdText(0, L"Camera 00 - the quick brown fox jumps"); }));

    CAnimateLoader loader;
    stAnimateSource builtIn;
    builtIn.resourceId = TYX_RES_ANIMATE_ID;
    builtIn.resourceType = TYX_RES_ANIMATE_TYPE;
    stOsgAnimate clip;
    clip.placement.scale = 0.25f;
    clip.placement.origin = 6;
    const auto loadStart = std::chrono::steady_clock::now();
    const int32_t frames = loader.LoadAnimate(builtIn, clip);
    const double loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
    std::printf("built-in clip at 0.25:            %8.1f frames/s (%d frames)\n", frames / loadSeconds, frames);

    COsgDrawer drawer;
    drawer.SetFrameSize(kWidth, kHeight, 0, 0);
    drawer.AddAnimate(1, std::move(clip));
    drawer.AddGeometry(2, Geometry(GMT_CIRCLE, {{L"CentreX", L"960"}, {L"CentreY", L"540"}, {L"Radius", L"300"}}));
    drawer.AddGeometry(3, Geometry(GMT_SINUSOID, {{L"A", L"200"}, {L"K", L"0.02"}, {L"W", L"0"}, {L"T", L"0"},
                                                  {L"Q", L"0"}, {L"D", L"0"}}));
    for (uint32_t i = 0; i < 20; ++i) {
        const std::wstring y = std::to_wstring(100 + 40 * i);
        drawer.AddGeometry(10 + i, Geometry(GMT_STRAIGHT_LINE, {{L"StartX", L"100"}, {L"StartY", y},
                                                                {L"EndX", L"1800"}, {L"EndY", y}}));
    }
    int64_t timeUs = 0;
    std::printf("clip frame, circle, curve, 20 lines:%7.3f ms per frame\n", MeanMs(seconds, [&] {
                    drawer.ProcessFrame(pixels, kFrameBytes, timeUs, true);
                    timeUs += 33333;
                }));
    DevFree(frame);
    return 0;
}
