// Encoded pictures per second of 1920x1080 at 30 fps through the libavcodec encode worker
// (libx264, the settings of a live push) beside a bare libavcodec libx264 loop with the same
// settings in the same process, and the worker's added latency in pictures.

#include "codec/FpgVEcdWorker.h"

#include "core/TYXWorkerConfig.h"
#include "platform/GpuDevice.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
}

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr int kGop = 60;
constexpr int kKbits = 4000;
constexpr int kFrames = 120;
constexpr int kRounds = 4;
constexpr int kDistinctPictures = 16;
constexpr int64_t kFrameUs = 1000000 / kFps;
constexpr uint32_t kWorkerId = 0x08010000;

std::vector<uint8_t> Pattern(int n)
{
    std::vector<uint8_t> picture(static_cast<size_t>(kWidth) * kHeight * 3 / 2);
    const int side = kHeight / 4;
    const int left = (n * 24) % (kWidth - side);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const bool square = x >= left && x < left + side && y >= kHeight / 3 && y < kHeight / 3 + side;
            picture[static_cast<size_t>(y) * kWidth + x] =
                square ? 235 : static_cast<uint8_t>(32 + (x * 128) / kWidth + (y * 48) / kHeight + ((x ^ y ^ n) & 7));
        }
    std::fill(picture.begin() + kWidth * kHeight, picture.end(), 128);
    return picture;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// CPU seconds of every thread of the process: x264's own threads count, other programs do not.
double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct stRun
{
    double fps = 0.0;      // by the wall clock
    double cpuFps = 0.0;   // pictures per CPU second of the process
    int delay = 0;         // pictures in, no packet out yet, at the steady state
};

// What a user would write instead: libx264 through libavcodec, the worker's context settings.
stRun BareLoop(const std::vector<std::vector<uint8_t>> &pictures)
{
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    AvCodecPtr context(avcodec_alloc_context3(codec));
    context->bit_rate = kKbits * 1000;
    context->profile = 100;
    context->width = kWidth;
    context->height = kHeight;
    context->sample_aspect_ratio = AVRational{1, 1};
    context->time_base = AVRational{1, kFps};
    context->framerate = AVRational{kFps, 1};
    context->gop_size = kGop;
    context->max_b_frames = 3;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return {};
    AvFramePtr frame(av_frame_alloc());
    frame->width = kWidth;
    frame->height = kHeight;
    frame->format = AV_PIX_FMT_YUV420P;
    av_frame_get_buffer(frame.get(), 0);
    AvPacketPtr packet(av_packet_alloc());
    int packets = 0;
    int delay = 0;
    const double cpu = ProcessCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    for (int n = 0; n < kFrames; ++n) {
        const std::vector<uint8_t> &picture = pictures[static_cast<size_t>(n % kDistinctPictures)];
        av_frame_make_writable(frame.get());
        const uint8_t *planes[4] = {picture.data(), picture.data() + kWidth * kHeight,
                                    picture.data() + kWidth * kHeight * 5 / 4, nullptr};
        const int lines[4] = {kWidth, kWidth / 2, kWidth / 2, 0};
        av_image_copy(frame->data, frame->linesize, planes, lines, AV_PIX_FMT_YUV420P, kWidth, kHeight);
        frame->pts = n;
        avcodec_send_frame(context.get(), frame.get());
        while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
            ++packets;
            av_packet_unref(packet.get());
        }
        delay = n + 1 - packets;
    }
    // The worker drains its encoder at the end of its input too.
    avcodec_send_frame(context.get(), nullptr);
    while (avcodec_receive_packet(context.get(), packet.get()) == 0)
        av_packet_unref(packet.get());
    const double elapsed = Seconds(started);
    return {kFrames / elapsed, kFrames / (ProcessCpuSeconds() - cpu), delay};
}

// The worker's thread body fed from memory: each receive hands over a device copy of the next
// picture, as a decoder's output link would.
class CBenchWorker : public CFpgVEcdWorker
{
public:
    CBenchWorker(const std::vector<std::vector<uint8_t>> &pictures, const ConsumerLinkMap *consumers,
                 const stWorkerLink &consumer)
        : CFpgVEcdWorker(kWorkerId, nullptr, consumers), m_pictures(pictures), m_consumer(consumer)
    {
    }
    // The feed's own time (making the device pictures, taking the packets) is not the worker's.
    int32_t ReceivePaketFromUpStream(FramePackage &package, uint32_t streamId, bool take) override
    {
        const auto wall = std::chrono::steady_clock::now();
        const double cpu = ThreadCpuSeconds();
        const int32_t result = Feed(package, streamId, take);
        feedSeconds += Seconds(wall);
        feedCpuSeconds += ThreadCpuSeconds() - cpu;
        return result;
    }
    int Delay() const { return m_delay; }
    double feedSeconds = 0.0;
    double feedCpuSeconds = 0.0;

private:
    int32_t Feed(FramePackage &package, uint32_t, bool)
    {
        DrainConsumer();
        if (m_given == kFrames) {
            package = FramePackage{};
            package.kind = TYX_PKT_KIND_RAW_VIDEO;
            ++m_given;
            return 1;
        }
        if (m_given > kFrames)
            return 0;
        const std::vector<uint8_t> &picture = m_pictures[static_cast<size_t>(m_given % kDistinctPictures)];
        package = FramePackage{};
        package.inDevice = 1;
        AllocFramePackageData(package, static_cast<int32_t>(picture.size()));
        DevMemcpy(package.pData, picture.data(), picture.size(), EGpuCopyKind::HostToDevice);
        package.width = kWidth;
        package.height = kHeight;
        package.pts = 1000000000 + m_given * kFrameUs;
        package.duration = kFrameUs;
        package.kind = TYX_PKT_KIND_RAW_VIDEO;
        package.mediaType = TYX_MEDIA_VIDEO;
        if (m_given > 0)
            m_delay = m_given - m_sent;
        ++m_given;
        return 1;
    }
    void DrainConsumer()
    {
        CCsLock lock(*m_consumer.queueLock);
        for (FramePackage &sent : *m_consumer.queue) {
            FreeFramePackage(sent);
            ++m_sent;
        }
        m_consumer.queue->clear();
    }

    const std::vector<std::vector<uint8_t>> &m_pictures;
    stWorkerLink m_consumer;
    int m_given = 0;
    int m_sent = 0;
    int m_delay = 0;
};

stRun WorkerLoop(const std::vector<std::vector<uint8_t>> &pictures)
{
    stWorkerLink consumer;
    consumer.CreateQueue();
    consumer.producerId = kWorkerId;
    consumer.consumerId = 0x09010000;
    consumer.paketKind = TYX_PKT_KIND_CODED_VIDEO;
    CTYXWorker::ConsumerLinkMap consumers;
    consumers[kWorkerId + 1][consumer.consumerId] = consumer;
    CBenchWorker worker(pictures, &consumers, consumer);
    stVideoEncodeWorkerConfig config;
    config.Name = L"VencBench";
    config.WorkerId = static_cast<int32_t>(kWorkerId);
    config.VideoSource = 0x06010001;
    config.VCodec = AV_CODEC_ID_H264;
    config.VCodecName = L"H264";
    config.Profile = L"High";
    config.Width = kWidth;
    config.Height = kHeight;
    config.OutputFramerate = kFps;
    config.GopLengh = kGop;
    config.BitRate = kKbits;
    config.Usage = L"Live";
    config.BuildIOItems();
    worker.CopyInConfiguration(&config);
    stStreamParams input;
    input.width = kWidth;
    input.height = kHeight;
    input.pixelFormat = AV_PIX_FMT_YUV420P;
    input.frameRate = kFps;
    worker.SetInputParameters(input, 0);
    if (worker.Initialize(1, 0) != 0)
        return {};
    const double cpu = ProcessCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    worker.WorkingFunc();
    const double elapsed = Seconds(started) - worker.feedSeconds;
    const double cpuSeconds = ProcessCpuSeconds() - cpu - worker.feedCpuSeconds;
    return {kFrames / elapsed, kFrames / cpuSeconds, worker.Delay()};
}

} // namespace

int main()
{
    av_log_set_level(AV_LOG_ERROR);
    DevInitialize(0);
    std::vector<std::vector<uint8_t>> pictures;
    for (int n = 0; n < kDistinctPictures; ++n)
        pictures.push_back(Pattern(n));
    std::printf("Video encoding, %dx%d at %d fps, libx264, %d kbit/s, GOP %d, %d pictures a run, best of %d\n",
                kWidth, kHeight, kFps, kKbits, kGop, kFrames, kRounds);
    stRun bare;
    stRun worker;
    // Alternating order, so that a change in the machine's load falls on both.
    for (int round = 0; round < kRounds; ++round) {
        const bool bareFirst = round % 2 == 0;
        const stRun first = bareFirst ? BareLoop(pictures) : WorkerLoop(pictures);
        const stRun second = bareFirst ? WorkerLoop(pictures) : BareLoop(pictures);
        const stRun &b = bareFirst ? first : second;
        const stRun &w = bareFirst ? second : first;
        bare.fps = std::max(bare.fps, b.fps);
        bare.cpuFps = std::max(bare.cpuFps, b.cpuFps);
        bare.delay = b.delay;
        worker.fps = std::max(worker.fps, w.fps);
        worker.cpuFps = std::max(worker.cpuFps, w.cpuFps);
        worker.delay = w.delay;
    }
    std::printf("%-40s %12s %16s %18s\n", "", "pictures/s", "pictures/CPU-s", "delay (pictures)");
    std::printf("%-40s %12.1f %16.2f %18d\n", "libavcodec libx264 loop", bare.fps, bare.cpuFps, bare.delay);
    std::printf("%-40s %12.1f %16.2f %18d\n", "CFpgVEcdWorker (device pictures in)", worker.fps, worker.cpuFps,
                worker.delay);
    std::printf("worker / bare loop: %.1f %% by the wall clock, %.1f %% by CPU time (goal: at least 90 %%); "
                "added latency: %d pictures\n",
                bare.fps > 0.0 ? 100.0 * worker.fps / bare.fps : 0.0,
                bare.cpuFps > 0.0 ? 100.0 * worker.cpuFps / bare.cpuFps : 0.0, worker.delay - bare.delay);
    return bare.fps > 0.0 && worker.fps > 0.0 ? 0 : 1;
}
