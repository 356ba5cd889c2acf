// Prints the decoded frames per second of one 1920x1080 H.264 stream through the software decode
// worker (package in, device picture out, the worker's thread and links included) beside a bare
// libavcodec decode loop with the same thread count in the same process, and the worker's added
// latency in frames at the stream's own pace. The NVDEC worker's figure (on the stand-in where no
// driver opens) is printed beside them. A program, not a test: figures only.

#include "codec/DecodeTestSupport.h"
#include "codec/FpgVDcdWorker.h"
#include "codec/NvHwVDcdWorker.h"
#include "core/FfmpegHandles.h"
#include "platform/GpuDevice.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrames = 120;
constexpr int kPacedFrames = 75;
constexpr int kFps = 25;
constexpr int kRuns = 3;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// The bare loop: every packet sent, every picture received, nothing else. The seconds taken.
double BareDecode(const stCodedStream &stream, int &pictures)
{
    const AVCodec *codec = avcodec_find_decoder(static_cast<AVCodecID>(stream.params.codecId));
    AvCodecPtr context(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(context.get(), stream.params.codecParameters);
    avcodec_open2(context.get(), codec, nullptr);
    AvPacketPtr packet(av_packet_alloc());
    AvFramePtr frame(av_frame_alloc());
    pictures = 0;
    const Clock::time_point start = Clock::now();
    for (const stCodedPacket &coded : stream.packets) {
        av_new_packet(packet.get(), static_cast<int>(coded.data.size()));
        std::memcpy(packet->data, coded.data.data(), coded.data.size());
        packet->pts = coded.pts;
        avcodec_send_packet(context.get(), packet.get());
        av_packet_unref(packet.get());
        while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
            ++pictures;
            av_frame_unref(frame.get());
        }
    }
    return Seconds(start, Clock::now());
}

// The bare loop fed at the stream's pace: for each picture, the packets fed before it came out
// less the packet after which it came (the decode time counts, the loop's own delay does not).
double BarePacedLatencyFrames(const stCodedStream &stream, std::vector<std::pair<int64_t, int>> &points)
{
    const AVCodec *codec = avcodec_find_decoder(static_cast<AVCodecID>(stream.params.codecId));
    AvCodecPtr context(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(context.get(), stream.params.codecParameters);
    avcodec_open2(context.get(), codec, nullptr);
    AvPacketPtr packet(av_packet_alloc());
    AvFramePtr frame(av_frame_alloc());
    const auto interval = std::chrono::microseconds(1000000 / kFps);
    const Clock::time_point start = Clock::now();
    double late = 0.0;
    points.clear();
    for (int i = 0; i < kPacedFrames; ++i) {
        std::this_thread::sleep_until(start + interval * i);
        const stCodedPacket &coded = stream.packets[static_cast<size_t>(i)];
        av_new_packet(packet.get(), static_cast<int>(coded.data.size()));
        std::memcpy(packet->data, coded.data.data(), coded.data.size());
        packet->pts = coded.pts;
        avcodec_send_packet(context.get(), packet.get());
        av_packet_unref(packet.get());
        while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
            points.emplace_back(frame->pts, i);
            late += static_cast<int>((Clock::now() - start) / interval) - i;
            av_frame_unref(frame.get());
        }
    }
    return points.empty() ? -1.0 : late / static_cast<double>(points.size());
}

// Takes the worker's pictures as a consumer would, noting when each came.
class CConsumer
{
public:
    explicit CConsumer(CDecodeHarness &harness) : m_harness(harness), m_thread([this] { Run(); }) {}
    ~CConsumer()
    {
        m_stop = true;
        m_thread.join();
    }
    int Count() const { return m_count.load(); }
    Clock::time_point Last() const { return m_last; }
    std::vector<std::pair<int64_t, Clock::time_point>> Arrivals()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_arrivals;
    }

private:
    void Run()
    {
        while (!m_stop) {
            std::vector<FramePackage> frames = m_harness.Take();
            const Clock::time_point now = Clock::now();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (const FramePackage &frame : frames)
                    m_arrivals.emplace_back(frame.pts, now);
            }
            if (!frames.empty()) {
                m_last = now;
                m_count += static_cast<int>(frames.size());
            }
            FreePackages(frames);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    CDecodeHarness &m_harness;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    Clock::time_point m_last;
    std::mutex m_mutex;
    std::vector<std::pair<int64_t, Clock::time_point>> m_arrivals;
    std::thread m_thread;
};

// Seconds from the first package fed to the last picture taken, the whole stream at once.
double WorkerDecode(const CDecodeHarness::Factory &factory, const stCodedStream &stream, int expected, int &pictures)
{
    CDecodeHarness harness(factory);
    harness.Configure(stream.params);
    harness.Start();
    CConsumer consumer(harness);
    const Clock::time_point start = Clock::now();
    for (const stCodedPacket &packet : stream.packets)
        harness.Feed(packet);
    PollUntil([&] { return consumer.Count() >= expected; }, 120000);
    pictures = consumer.Count();
    return Seconds(start, consumer.Last());
}

// The same for a worker: packets fed at the stream's pace, each picture's arrival counted in
// packets fed, less the packet after which the bare loop gave it.
double PacedLatencyFrames(const CDecodeHarness::Factory &factory, const stCodedStream &stream,
                          const std::vector<std::pair<int64_t, int>> &bare)
{
    CDecodeHarness harness(factory);
    harness.Configure(stream.params);
    harness.Start();
    CConsumer consumer(harness);
    const auto interval = std::chrono::microseconds(1000000 / kFps);
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kPacedFrames; ++i) {
        std::this_thread::sleep_until(start + interval * i);
        harness.Feed(stream.packets[static_cast<size_t>(i)]);
    }
    PollUntil([&] { return consumer.Count() >= static_cast<int>(bare.size()); }, 10000);
    std::this_thread::sleep_for(interval);
    const auto arrivals = consumer.Arrivals();
    double added = 0.0;
    int matched = 0;
    for (const auto &[pts, at] : arrivals) {
        const auto point = std::find_if(bare.begin(), bare.end(), [&](const auto &entry) { return entry.first == pts; });
        if (point == bare.end())
            continue;
        const int fedBefore = static_cast<int>((at - start) / interval);
        added += fedBefore - point->second;
        ++matched;
    }
    return matched ? added / matched : -1.0;
}

} // namespace

int main()
{
    DevInitialize(0);
    stTestStreamSpec spec;
    spec.width = 1920;
    spec.height = 1080;
    spec.fps = kFps;
    spec.frames = kFrames;
    spec.gop = 50;
    spec.bFrames = 2;
    stCodedStream stream;
    if (!EncodeTestStream(spec, stream)) {
        std::fprintf(stderr, "libx264 is missing: no stream to decode\n");
        return 1;
    }
    auto fpg = [](uint32_t id, const CTYXWorker::InputLinkMap *inputs, const CTYXWorker::ConsumerLinkMap *consumers) {
        return std::shared_ptr<CTYXVDecWorker>(std::make_shared<CFpgVDcdWorker>(id, inputs, consumers));
    };
    auto nv = [](uint32_t id, const CTYXWorker::InputLinkMap *inputs, const CTYXWorker::ConsumerLinkMap *consumers) {
        return std::shared_ptr<CTYXVDecWorker>(std::make_shared<NvHwVDecoder>(id, inputs, consumers));
    };
    std::printf("1920x1080 H.264, %d packets (2 B-frames, GOP 50), libavcodec default thread count, %s backend\n",
                kFrames, DevBackend() == EGpuBackend::Cuda ? "CUDA" : "host");
    double bareBest = 1e9, workerBest = 1e9, nvBest = 1e9;
    int barePictures = 0, workerPictures = 0, nvPictures = 0;
    for (int run = 0; run < kRuns; ++run) {
        bareBest = std::min(bareBest, BareDecode(stream, barePictures));
        workerBest = std::min(workerBest, WorkerDecode(fpg, stream, barePictures, workerPictures));
        nvBest = std::min(nvBest, WorkerDecode(nv, stream, barePictures, nvPictures));
    }
    const double bareFps = barePictures / bareBest;
    const double workerFps = workerPictures / workerBest;
    const double nvFps = nvPictures / nvBest;
    std::printf("%-44s %8s %8s\n", "", "frames", "fps");
    std::printf("%-44s %8d %8.1f\n", "bare libavcodec decode loop", barePictures, bareFps);
    std::printf("%-44s %8d %8.1f  (%.0f%% of the bare loop)\n", "CFpgVDcdWorker (package in, device frame out)",
                workerPictures, workerFps, 100.0 * workerFps / bareFps);
    std::printf("%-44s %8d %8.1f  (%s)\n", "NvHwVDecoder", nvPictures, nvFps,
                NvDecApi().standIn ? "software stand-in" : "NVDEC");
    std::vector<std::pair<int64_t, int>> points;
    const double bareLate = BarePacedLatencyFrames(stream, points);
    const double workerLate = PacedLatencyFrames(fpg, stream, points);
    const double nvLate = PacedLatencyFrames(nv, stream, points);
    std::printf("latency at %d fps, in frames after the packet that completes the picture:\n", kFps);
    std::printf("  bare loop %.2f, CFpgVDcdWorker %.2f (added %.2f), NvHwVDecoder %.2f (added %.2f)\n", bareLate,
                workerLate, workerLate - bareLate, nvLate, nvLate - bareLate);
    return 0;
}
