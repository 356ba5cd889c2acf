// The picture work of the system by its kernels on the device layer's backend, beside what a user
// would pick instead (libswscale's bilinear scaler, libavfilter's xstack, overlay and drawtext), in
// the same run: milliseconds per frame at one thread and at the host pool's width, and the ratio
// (theirs / ours: above 1 means ours is faster).
//
// vproc_bench [seconds per figure, default 1]

#include "FilterGraphRunner.h"

#include "core/FfmpegHandles.h"
#include "core/Resize.h"
#include "platform/GpuDevice.h"
#include "platform/GpuLaunchDetail.h"
#include "platform/HostThreadPool.h"
#include "vproc/DvcBuffer.h"
#include "vproc/FormatConvert.h"
#include "vproc/GVMux.h"
#include "vproc/GraphicDraw.h"
#include "vproc/OsdWriter.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using FrameWork = std::function<bool()>;
// Builds the counterpart's work for a number of threads.
using ReferenceFactory = std::function<FrameWork(int threads)>;

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

// Mean milliseconds per frame over about the given time, after a few frames of warm-up; negative
// when the work failed.
double MsPerFrame(double seconds, const FrameWork &frame)
{
    using Clock = std::chrono::steady_clock;
    for (int i = 0; i < 3; ++i) {
        if (!frame())
            return -1.0;
    }
    const Clock::time_point start = Clock::now();
    int frames = 0;
    double elapsed = 0.0;
    while (elapsed < seconds || frames < 10) {
        if (!frame())
            return -1.0;
        ++frames;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return 1000.0 * elapsed / frames;
}

// An AVFrame of its own buffers, filled with noise.
AvFramePtr MakeFrame(int width, int height, AVPixelFormat format, uint32_t seed)
{
    AvFramePtr frame(av_frame_alloc());
    frame->width = width;
    frame->height = height;
    frame->format = format;
    if (av_frame_get_buffer(frame.get(), 64) < 0) {
        std::fprintf(stderr, "av_frame_get_buffer failed\n");
        std::exit(1);
    }
    uint32_t state = seed;
    for (int plane = 0; plane < 4 && frame->data[plane]; ++plane) {
        const int rows = plane == 0 || (format == AV_PIX_FMT_YUVA420P && plane == 3) ? height : (height + 1) / 2;
        for (int row = 0; row < rows; ++row) {
            for (int i = 0; i < frame->linesize[plane]; ++i) {
                state = state * 1664525u + 1013904223u;
                frame->data[plane][row * frame->linesize[plane] + i] = static_cast<uint8_t>(state >> 24);
            }
        }
    }
    return frame;
}

SwsPtr MakeSws(int sw, int sh, AVPixelFormat sf, int dw, int dh, AVPixelFormat df, int threads)
{
    SwsPtr context(sws_alloc_context());
    av_opt_set_int(context.get(), "srcw", sw, 0);
    av_opt_set_int(context.get(), "srch", sh, 0);
    av_opt_set_int(context.get(), "src_format", sf, 0);
    av_opt_set_int(context.get(), "dstw", dw, 0);
    av_opt_set_int(context.get(), "dsth", dh, 0);
    av_opt_set_int(context.get(), "dst_format", df, 0);
    av_opt_set_int(context.get(), "sws_flags", SWS_BILINEAR, 0);
    av_opt_set_int(context.get(), "threads", threads, 0);
    if (sws_init_context(context.get(), nullptr, nullptr) < 0) {
        std::fprintf(stderr, "sws_init_context failed\n");
        std::exit(1);
    }
    return context;
}

// libswscale from one frame into another, sliced over the given threads.
ReferenceFactory SwsReference(int sw, int sh, AVPixelFormat sf, int dw, int dh, AVPixelFormat df)
{
    return [=](int threads) -> FrameWork {
        auto source = std::shared_ptr<AVFrame>(MakeFrame(sw, sh, sf, 1));
        auto target = std::shared_ptr<AVFrame>(MakeFrame(dw, dh, df, 2));
        auto context = std::make_shared<SwsPtr>(MakeSws(sw, sh, sf, dw, dh, df, threads));
        return [=] { return sws_scale_frame(context->get(), target.get(), source.get()) >= 0; };
    };
}

// A libavfilter graph over the given input frames.
ReferenceFactory FilterReference(std::function<std::vector<AvFramePtr>()> makeInputs, std::string filters)
{
    return [=](int threads) -> FrameWork {
        auto inputs = std::make_shared<std::vector<AvFramePtr>>(makeInputs());
        auto runner = std::make_shared<CFilterGraphRunner>();
        std::vector<AVFrame *> frames;
        for (const AvFramePtr &frame : *inputs)
            frames.push_back(frame.get());
        if (!runner->Open(frames, filters, threads))
            return [] { return false; };
        return [inputs, runner] { return runner->RunOnce(); };
    };
}

// Our scaler on a device picture into another.
FrameWork OurScale(int sw, int sh, int dw, int dh)
{
    auto source = std::make_shared<CDvcBuffer>(UploadToDevice(Noise(I420Bytes(sw, sh), 3)));
    auto target = std::make_shared<CDvcBuffer>(UploadToDevice(std::vector<uint8_t>(I420Bytes(dw, dh), 0)));
    return [=] {
        const size_t sl = static_cast<size_t>(sw) * sh;
        const size_t dl = static_cast<size_t>(dw) * dh;
        uint8_t *d = target->Get();
        const uint8_t *s = source->Get();
        return ScaleYuv420InDvc(d, d + dl, d + dl * 5 / 4, dw, dw / 2, dw, dh, s, s + sl, s + sl * 5 / 4, sw, sw / 2,
                                sw, sh) == 0;
    };
}

constexpr int kCanvasWidth = 1920;
constexpr int kCanvasHeight = 1080;
constexpr int kWindowWidth = 480;
constexpr int kWindowHeight = 270;
constexpr int kWindows = 16;

// The sixteen windows of a 4 x 4 grid on the canvas, their sources in device memory.
struct stGrid
{
    std::vector<CDvcBuffer> sources;
    std::vector<stMuxInputData> windows;
    CDvcBuffer canvas;
};

std::shared_ptr<stGrid> MakeGrid()
{
    auto grid = std::make_shared<stGrid>();
    grid->windows.resize(kWindows);
    for (int i = 0; i < kWindows; ++i) {
        grid->sources.push_back(UploadToDevice(Noise(I420Bytes(kWindowWidth, kWindowHeight), i + 10u)));
        stMuxInputData &in = grid->windows[static_cast<size_t>(i)];
        in.srcWidth = in.winWidth = kWindowWidth;
        in.srcHeight = in.winHeight = kWindowHeight;
        in.srcLength = static_cast<int32_t>(I420Bytes(kWindowWidth, kWindowHeight));
        in.source = grid->sources.back().Get();
        in.srcInDevice = 1;
        in.kind = 1;
        in.left = static_cast<uint16_t>(i % 4 * kWindowWidth);
        in.top = static_cast<uint16_t>(i / 4 * kWindowHeight);
    }
    grid->canvas = UploadToDevice(std::vector<uint8_t>(I420Bytes(kCanvasWidth, kCanvasHeight), 0));
    return grid;
}

// Clears the canvas to black and composes the windows, as the composer does per picture.
bool ComposeGrid(stGrid &grid)
{
    const size_t luma = static_cast<size_t>(kCanvasWidth) * kCanvasHeight;
    DevMemset(grid.canvas.Get(), 0, luma);
    DevMemset(grid.canvas.Get() + luma, 128, luma / 2);
    return MuxFrames(kWindows, grid.windows.data(), kCanvasWidth, kCanvasHeight, grid.canvas.Get(), true) > 0;
}

std::string XstackLayout()
{
    std::string layout;
    for (int i = 0; i < kWindows; ++i) {
        layout += (i ? "|" : "") + std::to_string(i % 4 * kWindowWidth) + "_" + std::to_string(i / 4 * kWindowHeight);
    }
    return layout;
}

// The 4 x 4 mux from 1080p inputs: every input scaled to its window, then composed.
FrameWork OurMux()
{
    auto grid = MakeGrid();
    auto inputs = std::make_shared<std::vector<CDvcBuffer>>();
    for (int i = 0; i < kWindows; ++i)
        inputs->push_back(UploadToDevice(Noise(I420Bytes(kCanvasWidth, kCanvasHeight), i + 40u)));
    return [=] {
        const size_t sl = static_cast<size_t>(kCanvasWidth) * kCanvasHeight;
        const size_t dl = static_cast<size_t>(kWindowWidth) * kWindowHeight;
        for (int i = 0; i < kWindows; ++i) {
            uint8_t *d = grid->sources[static_cast<size_t>(i)].Get();
            const uint8_t *s = (*inputs)[static_cast<size_t>(i)].Get();
            if (ScaleYuv420InDvc(d, d + dl, d + dl * 5 / 4, kWindowWidth, kWindowWidth / 2, kWindowWidth, kWindowHeight,
                                 s, s + sl, s + sl * 5 / 4, kCanvasWidth, kCanvasWidth / 2, kCanvasWidth,
                                 kCanvasHeight) != 0)
                return false;
        }
        return ComposeGrid(*grid);
    };
}

// The same with libswscale: each input scaled straight into its window of the canvas.
FrameWork SwsMux(int threads)
{
    struct stState
    {
        std::vector<AvFramePtr> inputs;
        std::vector<SwsPtr> contexts;
        std::vector<uint8_t> canvas = std::vector<uint8_t>(I420Bytes(kCanvasWidth, kCanvasHeight));
    };
    auto state = std::make_shared<stState>();
    for (int i = 0; i < kWindows; ++i) {
        state->inputs.push_back(MakeFrame(kCanvasWidth, kCanvasHeight, AV_PIX_FMT_YUV420P, i + 40u));
        state->contexts.push_back(MakeSws(kCanvasWidth, kCanvasHeight, AV_PIX_FMT_YUV420P, kWindowWidth, kWindowHeight,
                                          AV_PIX_FMT_YUV420P, threads));
    }
    return [state] {
        const size_t luma = static_cast<size_t>(kCanvasWidth) * kCanvasHeight;
        for (int i = 0; i < kWindows; ++i) {
            const int left = i % 4 * kWindowWidth;
            const int top = i / 4 * kWindowHeight;
            uint8_t *canvas = state->canvas.data();
            const size_t chroma = static_cast<size_t>(top / 2) * (kCanvasWidth / 2) + left / 2;
            uint8_t *planes[4] = {canvas + static_cast<size_t>(top) * kCanvasWidth + left, canvas + luma + chroma,
                                  canvas + luma * 5 / 4 + chroma, nullptr};
            const int strides[4] = {kCanvasWidth, kCanvasWidth / 2, kCanvasWidth / 2, 0};
            const AVFrame *in = state->inputs[static_cast<size_t>(i)].get();
            if (sws_scale(state->contexts[static_cast<size_t>(i)].get(), in->data, in->linesize, 0, kCanvasHeight,
                          planes, strides) != kWindowHeight)
                return false;
        }
        return true;
    };
}

std::vector<AvFramePtr> Frames(int count, int width, int height, AVPixelFormat format)
{
    std::vector<AvFramePtr> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(MakeFrame(width, height, format, i + 70u));
    return frames;
}

const wchar_t *const kTexts[] = {L"Camera 01 - the quick brown fox jumps", L"Camera 02 - the quick brown fox jumps",
                                 L"Camera 03 - the quick brown fox jumps", L"Camera 04 - the quick brown fox jumps"};

// Four texts of 48-pixel cells stamped into a 1080p frame, one in each corner.
FrameWork OurText()
{
    auto frame = std::make_shared<CDvcBuffer>(UploadToDevice(Noise(I420Bytes(kCanvasWidth, kCanvasHeight), 5)));
    auto writer = std::make_shared<COsdWriter>(true);
    writer->SetFrameSize(kCanvasWidth, kCanvasHeight, 0, 0);
    stOsdFont font;
    font.height = 48;
    font.charSet = 134;
    font.faceName = L"Arial";
    const int32_t positions[] = {OSD_POS_LEFT_TOP, OSD_POS_RIGHT_TOP, OSD_POS_RIGHT_BOTTOM, OSD_POS_LEFT_BOTTOM};
    for (uint16_t i = 0; i < 4; ++i) {
        writer->AddOsd(i, OSD_CONTENT_DYNAMIC_TEXT, font, OSD_COLOR_WHITE, positions[i], 10, 10, false);
        writer->SetOsdText(i, kTexts[i]);
    }
    return [=] {
        return writer->ProcessFrameUseGpu(frame->Get(), static_cast<int32_t>(I420Bytes(kCanvasWidth, kCanvasHeight)),
                                          true) == 0;
    };
}

std::string DrawtextFilters(const std::string &fontFile)
{
    // 48-pixel GDI cells are an em of about 43 pixels in Liberation Sans.
    const char *places[] = {"x=10:y=10", "x=w-tw-10:y=10", "x=w-tw-10:y=h-th-10", "x=10:y=h-th-10"};
    std::string filters = "[in0]";
    for (int i = 0; i < 4; ++i) {
        filters += std::string(i ? "," : "") + "drawtext=fontfile=" + fontFile +
                   ":fontsize=43:fontcolor=white:text='Camera 0" + std::to_string(i + 1) +
                   " - the quick brown fox jumps':" + places[i];
    }
    return filters + "[out]";
}

constexpr int kImageWidth = 640;
constexpr int kImageHeight = 360;

// A half-transparent 640 x 360 RGBA picture blended into a 1080p frame.
FrameWork OurImage()
{
    auto frame = std::make_shared<CDvcBuffer>(UploadToDevice(Noise(I420Bytes(kCanvasWidth, kCanvasHeight), 6)));
    std::vector<uint8_t> rgba = Noise(static_cast<size_t>(kImageWidth) * kImageHeight * 4, 7);
    for (size_t i = 3; i < rgba.size(); i += 4)
        rgba[i] = 128;
    auto image = std::make_shared<CDvcBuffer>(UploadToDevice(rgba));
    return [=] {
        stVideoFrameInfo info;
        info.width = kCanvasWidth;
        info.height = kCanvasHeight;
        info.lumaPitch = kCanvasWidth;
        info.chromaPitch = kCanvasWidth / 2;
        info.size = static_cast<int32_t>(I420Bytes(kCanvasWidth, kCanvasHeight));
        info.pY = frame->Get();
        info.inDevice = true;
        stGraphicInfo graphic;
        graphic.image = reinterpret_cast<uintptr_t>(image->Get());
        graphic.rowLength = kImageWidth * 4;
        graphic.width = kImageWidth;
        graphic.height = kImageHeight;
        graphic.X = 101;
        graphic.Y = 101;
        return DrawGraphicOnFrame(info, &graphic) == 0;
    };
}

struct stFigure
{
    const char *work;
    const char *theirs;
    std::function<FrameWork()> ours;
    ReferenceFactory reference;
};

std::string FontFileOf(const char *family)
{
    std::string command = std::string("fc-match -f '%{file}' '") + family + "'";
    std::string path;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof(buffer), pipe))
            path += buffer;
        pclose(pipe);
    }
    return path;
}

void PrintRow(const stFigure &figure, double seconds, size_t poolWidth)
{
    CHostThreadPool &pool = CHostThreadPool::Instance();
    double ours[2] = {};
    double theirs[2] = {};
    const int threads[2] = {1, static_cast<int>(poolWidth)};
    for (int i = 0; i < 2; ++i) {
        pool.SetWorkerLimit(static_cast<size_t>(threads[i]));
        ours[i] = MsPerFrame(seconds, figure.ours());
        pool.SetWorkerLimit(0);
        theirs[i] = MsPerFrame(seconds, figure.reference(threads[i]));
    }
    auto ratio = [](double a, double b) { return a > 0.0 && b > 0.0 ? b / a : 0.0; };
    std::printf("| %-30s | %-22s | %8.3f | %8.3f | %5.2f | %8.3f | %8.3f | %5.2f |\n", figure.work, figure.theirs,
                ours[0], theirs[0], ratio(ours[0], theirs[0]), ours[1], theirs[1], ratio(ours[1], theirs[1]));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    const EGpuBackend backend = DevInitialize(0);
    const size_t width = CHostThreadPool::Instance().Size();
    if (backend == EGpuBackend::Cuda)
        std::printf("backend: CUDA, device %d (the thread columns then only change the counterparts)\n",
                    DevCurrentDevice());
    else
        std::printf("backend: host, pool of %zu workers, %s kernels\n", width,
                    HostKernelIsa() == EHostKernelIsa::Avx2 ? "AVX2" : "baseline x86-64");
    const std::string font = FontFileOf("Liberation Sans");
    const auto yuv = AV_PIX_FMT_YUV420P;
    const stFigure figures[] = {
        {"scale 1920x1080 -> 1280x720", "libswscale bilinear", [] { return OurScale(1920, 1080, 1280, 720); },
         SwsReference(1920, 1080, yuv, 1280, 720, yuv)},
        {"scale 1920x1080 -> 480x270", "libswscale bilinear", [] { return OurScale(1920, 1080, 480, 270); },
         SwsReference(1920, 1080, yuv, 480, 270, yuv)},
        {"scale 1280x720 -> 1920x1080", "libswscale bilinear", [] { return OurScale(1280, 720, 1920, 1080); },
         SwsReference(1280, 720, yuv, 1920, 1080, yuv)},
        {"compose 16 x 480x270 -> 1080p", "xstack",
         [] { return FrameWork([g = MakeGrid()] { return ComposeGrid(*g); }); },
         FilterReference([] { return Frames(kWindows, kWindowWidth, kWindowHeight, AV_PIX_FMT_YUV420P); },
                         [] {
                             std::string f;
                             for (int i = 0; i < kWindows; ++i)
                                 f += "[in" + std::to_string(i) + "]";
                             return f + "xstack=inputs=16:layout=" + XstackLayout() + "[out]";
                         }())},
        {"I420 -> NV12 1080p", "libswscale",
         [] {
             auto p = std::make_shared<CDvcBuffer>(UploadToDevice(Noise(I420Bytes(kCanvasWidth, kCanvasHeight), 8)));
             return FrameWork(
                 [p] { return ConvertPlanarToSemiplanarInDvc(p->Get(), kCanvasWidth, kCanvasHeight) == 0; });
         },
         SwsReference(kCanvasWidth, kCanvasHeight, yuv, kCanvasWidth, kCanvasHeight, AV_PIX_FMT_NV12)},
        {"NV12 -> I420 1080p", "libswscale",
         [] {
             auto p = std::make_shared<CDvcBuffer>(UploadToDevice(Noise(I420Bytes(kCanvasWidth, kCanvasHeight), 9)));
             return FrameWork(
                 [p] { return ConvertSemiplanarToPlanarInDvc(p->Get(), kCanvasWidth, kCanvasHeight, 0) == 0; });
         },
         SwsReference(kCanvasWidth, kCanvasHeight, AV_PIX_FMT_NV12, kCanvasWidth, kCanvasHeight, yuv)},
        {"4 texts, 37 chars, 48 px, 1080p", "drawtext x 4", [] { return OurText(); },
         FilterReference([] { return Frames(1, kCanvasWidth, kCanvasHeight, AV_PIX_FMT_YUV420P); },
                         DrawtextFilters(font))},
        {"RGBA 640x360 a=128 onto 1080p", "overlay (yuva420p in)", [] { return OurImage(); },
         FilterReference(
             [] {
                 std::vector<AvFramePtr> f = Frames(1, kCanvasWidth, kCanvasHeight, AV_PIX_FMT_YUV420P);
                 f.push_back(MakeFrame(kImageWidth, kImageHeight, AV_PIX_FMT_YUVA420P, 11));
                 return f;
             },
             "[in0][in1]overlay=x=101:y=101:format=yuv420[out]")},
        {"4x4 mux from 16 x 1080p", "16 x libswscale", [] { return OurMux(); }, [](int t) { return SwsMux(t); }},
    };
    std::printf("\nms per frame; ratio = theirs / ours (above 1: ours is faster)\n\n");
    const std::string oursWide = "ours " + std::to_string(width) + "T";
    const std::string themWide = "them " + std::to_string(width) + "T";
    std::printf("| %-30s | %-22s | %8s | %8s | %5s | %8s | %8s | %5s |\n", "work", "counterpart", "ours 1T", "them 1T",
                "ratio", oursWide.c_str(), themWide.c_str(), "ratio");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(32, '-').c_str(), std::string(24, '-').c_str(),
                std::string(10, '-').c_str(), std::string(10, '-').c_str(), std::string(7, '-').c_str(),
                std::string(10, '-').c_str(), std::string(10, '-').c_str(), std::string(7, '-').c_str());
    for (const stFigure &figure : figures)
        PrintRow(figure, seconds, width);
    return 0;
}
