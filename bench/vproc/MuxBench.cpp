// The mux worker with all its threads (grouping, scaling, composition with a text and the clock,
// clean-up) composing 4 and 16 inputs of 1920x1080 into a 1920x1080 canvas, beside the same work
// through libavfilter's scale and xstack filters (and drawtext) fed the same frames in this process.
//
// Usage: mux_bench [seconds per run]

#include "FilterGraphRunner.h"

#include "core/FramePackage.h"
#include "core/Resize.h"
#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "host/GlobalVars.h"
#include "platform/GpuDevice.h"
#include "platform/HostThreadPool.h"
#include "vproc/OsdItem.h"
#include "vproc/OsdWriter.h"
#include "vproc/VideoMuxWorker.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPicture = kWidth * kHeight * 3 / 2;
constexpr uint32_t kMuxId = 0x04010000;
constexpr uint32_t kConsumerId = 0x06010000;
// The program clock of the benchmark runs this much faster than the wall: the mux then stamps its
// groups as fast as it can make them instead of holding them to 30 a second.
constexpr int64_t kClockSpeedUp = 100;

// Lets the benchmark turn the clock text on the way an OSD configuration does.
class CBenchMux : public CVideoMuxWorker
{
public:
    using CVideoMuxWorker::CVideoMuxWorker;
    void ShowClock() { m_timeOsdOn = 1; }
};

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

std::shared_ptr<COsdWriter> TextAndClock()
{
    auto writer = std::make_shared<COsdWriter>();
    stOsdFont font;
    font.height = 48;
    font.weight = 400;
    font.charSet = 134;
    font.faceName = L"Arial";
    writer->AddOsd(1, OSD_CONTENT_STATIC_TEXT, font, 16, 2, 10, 10, true);
    writer->SetOsdText(1, L"Camera 01 - the quick brown fox jumps");
    writer->AddOsd(2, OSD_CONTENT_TIME, font, 16, 4, 10, 10, false);
    return writer;
}

struct stOurRun
{
    double fps = 0.0;
    int threads = 0;
};

// Keeps every input queue fed with pictures taken from the device picture pool, as decoders do.
void FeedInputs(std::vector<stWorkerInputLink> &links, const std::function<int64_t()> &now, std::atomic<bool> &stop)
{
    while (!stop) {
        for (stWorkerInputLink &link : links) {
            size_t queued = 0;
            {
                CCsLock lock(*link.queueLock);
                queued = link.queue->size();
            }
            if (queued >= 2)
                continue;
            FramePackage package;
            package.inDevice = 1;
            if (AllocFramePackageData(package, kPicture) != kPicture)
                continue;
            package.width = kWidth;
            package.height = kHeight;
            package.pts = now();
            package.kind = TYX_PKT_KIND_RAW_VIDEO;
            package.mediaType = TYX_MEDIA_VIDEO;
            CCsLock lock(*link.queueLock);
            link.queue->push_back(package);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

stOurRun RunOurMux(int inputs, int layout, double seconds)
{
    CTYXGVMS::NegotiatedInputFrameRate() = 30.0f;
    stVideoMidProcWorkerConfig config;
    config.Name = L"MuxBench";
    config.WorkerId = static_cast<int32_t>(kMuxId);
    config.MPType = TYX_MP_MUX;
    config.MuxSettings.MuxLayout = layout;
    config.MuxSettings.OutputWidth = kWidth;
    config.MuxSettings.OutputHeight = kHeight;
    config.MuxSettings.IPGNum = 1;
    config.MuxSettings.CylinderHeight = 9;
    config.OutputFramerate = 30.0f;
    CTYXWorker::InputLinkMap links;
    std::vector<stWorkerInputLink> feeds;
    for (int n = 1; n <= inputs; ++n) {
        const auto id = static_cast<int32_t>(0x02000000u + static_cast<uint32_t>(n) * 0x10000u + 1);
        config.MuxSettings.MuxInputs[static_cast<int16_t>(n)] = id;
        config.MuxSettings.InputRegions[id] = static_cast<int16_t>(n);
        stWorkerInputLink link;
        link.CreateQueue();
        links[static_cast<uint32_t>(id)] = link;
        feeds.push_back(link);
    }
    config.BuildIOItems();
    const Clock::time_point origin = Clock::now();
    const int64_t base = GetCurrentTimeUs();
    const auto fastClock = [origin, base] {
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - origin).count();
        return base + elapsed * kClockSpeedUp;
    };
    auto mux = std::make_shared<CBenchMux>(kMuxId, &links, nullptr);
    mux->SetClockSources(fastClock, nullptr);
    stWorkerConsumerLink consumer;
    consumer.CreateQueue();
    stOurRun run;
    if (mux->CopyInConfiguration(&config) != 0 || mux->SetConsumerLink(kMuxId + 1, kConsumerId, &consumer) != 0 ||
        mux->Initialize(1, 0) != 0 || mux->StartWorkingThread(0, 0) <= 0) {
        std::fprintf(stderr, "the mux of %d inputs cannot start\n", inputs);
        mux->unInitialize();
        return run;
    }
    mux->SetOsdWriter(TextAndClock(), TYX_OVERLAY_OUTPUT, 0);
    mux->ShowClock();
    std::atomic<bool> stop{false};
    std::thread feeder([&] { FeedInputs(feeds, fastClock, stop); });
    mux->ResumeWorkingThread();
    // The first groups fill the ring; the count starts once output flows.
    int64_t frames = -1;
    Clock::time_point start = Clock::now();
    while (frames < 0 || SecondsSince(start) < seconds) {
        FramePackageQueue taken;
        {
            CCsLock lock(*consumer.queueLock);
            taken.swap(*consumer.queue);
        }
        for (FramePackage &package : taken)
            FreeFramePackage(package);
        if (!taken.empty() && frames < 0) {
            frames = 0;
            start = Clock::now();
            continue;
        }
        if (frames >= 0)
            frames += static_cast<int64_t>(taken.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (frames < 0 && SecondsSince(start) > 10.0)
            break;
    }
    run.fps = frames > 0 ? static_cast<double>(frames) / SecondsSince(start) : 0.0;
    // Grouping, one scaling thread per input, composition, group clean-up and picture clean-up.
    run.threads = static_cast<int>(mux->GetInterProcThreadCount()) + 4;
    stop = true;
    feeder.join();
    mux->WaitThreadExit(5000);
    mux->unInitialize();
    for (stWorkerInputLink &link : feeds) {
        CCsLock lock(*link.queueLock);
        for (FramePackage &package : *link.queue)
            FreeFramePackage(package);
        link.queue->clear();
    }
    CCsLock lock(*consumer.queueLock);
    for (FramePackage &package : *consumer.queue)
        FreeFramePackage(package);
    consumer.queue->clear();
    return run;
}

// ---- stage times, each run alone on the calling thread (the kernels use the host pool) ----

struct stStageTimes
{
    double scaleMs = 0.0; // all windows of one group
    double composeMs = 0.0;
    double overlayMs = 0.0;
};

template <typename Work> double MsPerRun(double seconds, Work work)
{
    int runs = 0;
    const Clock::time_point start = Clock::now();
    while (runs < 3 || SecondsSince(start) < seconds) {
        work();
        ++runs;
    }
    return SecondsSince(start) * 1000.0 / runs;
}

std::vector<stMuxRegion> RegionsOf(int layout)
{
    CVideoMuxer muxer;
    std::vector<stPipWindowInfo> none;
    muxer.SetLayout(layout, kWidth, kHeight, L"", &none);
    std::vector<stMuxRegion> regions(muxer.WindowCount());
    for (uint16_t i = 0; i < regions.size(); ++i)
        muxer.GetRegion(i, regions[i]);
    return regions;
}

stStageTimes MeasureStages(int layout, double seconds)
{
    stStageTimes times;
    const std::vector<stMuxRegion> regions = RegionsOf(layout);
    FramePackage source;
    source.inDevice = 1;
    source.width = kWidth;
    source.height = kHeight;
    CreateBlankVideoFramePackage(source, stColorYuv{90, 120, 140});
    std::vector<uint8_t *> scaled(regions.size(), nullptr);
    times.scaleMs = MsPerRun(seconds, [&] {
        for (size_t i = 0; i < regions.size(); ++i) {
            if (scaled[i])
                ReleaseFramePackageData(scaled[i], true);
            scaled[i] = nullptr;
            // As the mux's scaling threads do it: packed device pictures straight into the window's size.
            const int32_t w = regions[i].width;
            const int32_t h = regions[i].height;
            FramePackage window;
            window.inDevice = 1;
            AllocFramePackageData(window, w * h * 3 / 2);
            scaled[i] = window.pData;
            const uint8_t *src = source.pData;
            ScaleYuv420InDvc(scaled[i], scaled[i] + w * h, scaled[i] + w * h * 5 / 4, w, w / 2, w, h, src,
                             src + kWidth * kHeight, src + kWidth * kHeight * 5 / 4, kWidth, kWidth / 2, kWidth, kHeight);
        }
    });
    CVideoMuxer muxer;
    std::vector<stPipWindowInfo> none;
    muxer.SetLayout(layout, kWidth, kHeight, L"", &none);
    FramePackage canvas;
    canvas.inDevice = 1;
    AllocFramePackageData(canvas, kPicture);
    times.composeMs = MsPerRun(seconds, [&] {
        CReadLockGuard region(muxer.RegionLock());
        CReadLockGuard slots(muxer.SlotLock());
        for (uint16_t i = 0; i < regions.size(); ++i) {
            stMuxInputSlot *slot = muxer.FindSlot(i);
            slot->lock->LockWrite();
            slot->inDevice = 1;
            slot->picture = scaled[i];
            slot->length = regions[i].width * regions[i].height * 3 / 2;
            slot->width = regions[i].width;
            slot->height = regions[i].height;
        }
        {
            CWriteLockGuard lock(muxer.CanvasLock());
            muxer.DoMuxing(canvas.pData);
        }
        for (uint16_t i = 0; i < regions.size(); ++i) {
            stMuxInputSlot *slot = muxer.FindSlot(i);
            slot->picture = nullptr;
            slot->lock->UnlockWrite();
        }
    });
    const std::shared_ptr<COsdWriter> writer = TextAndClock();
    writer->SetFrameSize(kWidth, kHeight, kWidth, kWidth / 2);
    writer->SetOsdText(2, L"12:34:56");
    times.overlayMs = MsPerRun(seconds, [&] { writer->ProcessFrameUseGpu(canvas.pData, kPicture, true); });
    for (uint8_t *picture : scaled) {
        if (picture)
            ReleaseFramePackageData(picture, true);
    }
    FreeFramePackage(canvas);
    FreeFramePackage(source);
    return times;
}

// ---- libavfilter ----

std::string FilterGraphOf(int layout, const std::string &font)
{
    const std::vector<stMuxRegion> regions = RegionsOf(layout);
    std::string graph;
    std::string stack;
    std::string places;
    for (size_t i = 0; i < regions.size(); ++i) {
        const std::string n = std::to_string(i);
        graph += "[in" + n + "]scale=" + std::to_string(regions[i].width) + ":" + std::to_string(regions[i].height) +
                 ":flags=bilinear[s" + n + "];";
        stack += "[s" + n + "]";
        places += (i ? "|" : "") + std::to_string(regions[i].left) + "_" + std::to_string(regions[i].top);
    }
    graph += stack + "xstack=inputs=" + std::to_string(regions.size()) + ":layout=" + places;
    if (!font.empty())
        graph += ",drawtext=fontfile=" + font +
                 ":fontsize=43:fontcolor=white:x=10:y=10:text='Camera 01 - the quick brown fox jumps'"
                 ",drawtext=fontfile=" + font + ":fontsize=43:fontcolor=white:x=w-tw-10:y=10:text='%{localtime}'";
    return graph + "[out]";
}

double RunFilterGraph(int layout, int threads, double seconds, const std::string &font)
{
    const size_t windows = RegionsOf(layout).size();
    std::vector<AVFrame *> frames;
    for (size_t i = 0; i < windows; ++i) {
        AVFrame *frame = av_frame_alloc();
        frame->format = 0; // AV_PIX_FMT_YUV420P
        frame->width = kWidth;
        frame->height = kHeight;
        av_frame_get_buffer(frame, 0);
        for (int plane = 0; plane < 3; ++plane)
            std::fill_n(frame->data[plane], frame->linesize[plane] * (plane ? kHeight / 2 : kHeight), 100 + plane);
        frames.push_back(frame);
    }
    double fps = 0.0;
    {
        CFilterGraphRunner runner;
        if (runner.Open(frames, FilterGraphOf(layout, font), threads)) {
            int runs = 0;
            const Clock::time_point start = Clock::now();
            while (runs < 3 || SecondsSince(start) < seconds) {
                if (!runner.RunOnce())
                    break;
                ++runs;
            }
            fps = runs / SecondsSince(start);
        }
    }
    for (AVFrame *frame : frames)
        av_frame_free(&frame);
    return fps;
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const EGpuBackend backend = DevInitialize(0);
    const size_t pool = CHostThreadPool::Instance().Size();
    std::printf("backend: %s; host kernel pool of %zu workers; %u processors\n",
                backend == EGpuBackend::Cuda ? "CUDA" : "host", pool, std::thread::hardware_concurrency());
    const std::string font = FontFileOf("Liberation Sans");
    std::printf("1920x1080 inputs scaled into a 1920x1080 canvas, one text and the clock drawn on it\n\n");
    std::printf("| %-8s | %10s | %-26s | %8s | %10s | %10s | %11s | %14s | %9s |\n", "inputs", "ours fps", "our threads",
                "scale ms", "compose ms", "overlay ms", "avfilter fps", "avfilter thr.", "ratio");
    std::printf("|----------|------------|----------------------------|----------|------------|------------|-------------|----------------|-----------|\n");
    const int layouts[][2] = {{4, 4}, {16, 16}};
    for (const auto &[inputs, layout] : layouts) {
        const stOurRun ours = RunOurMux(inputs, layout, seconds);
        const stStageTimes stages = MeasureStages(layout, seconds / 3);
        const int threads = static_cast<int>(pool);
        const double theirs = RunFilterGraph(layout, threads, seconds, font);
        const std::string ourThreads = std::to_string(ours.threads) + " mux + " + std::to_string(pool) + " pool";
        std::printf("| %-8d | %10.1f | %-26s | %8.2f | %10.2f | %10.2f | %11.1f | %14d | %9.2f |\n", inputs, ours.fps,
                    ourThreads.c_str(), stages.scaleMs, stages.composeMs, stages.overlayMs, theirs, threads,
                    theirs > 0 ? ours.fps / theirs : 0.0);
        std::fflush(stdout);
    }
    std::printf("\nratio = ours / avfilter (above 1: ours is faster); stage times are per output frame\n");
    return 0;
}
