// Packages per second of the file read worker with pacing off (reader, main thread, stream threads
// and the consumer link), beside a bare libavformat av_read_frame loop over the same file, in the
// same run. The file is H.264 1080p60 with AAC sound, made by the bench.
//
// input_bench [seconds per figure, default 3]

#include "input/MFRdrWorker.h"
#include "core/TYXWorkerConfig.h"
#include "host/TYXEvent.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kWorker = 0x01010000;
constexpr double kFileSeconds = 10.0;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads the file again and again for about the given time; packets per second.
double BareReadRate(const std::string &path, double seconds)
{
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0 || avformat_find_stream_info(format, nullptr) < 0) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
    }
    AVPacket *packet = av_packet_alloc();
    int64_t packets = 0;
    const Clock::time_point start = Clock::now();
    while (SecondsSince(start) < seconds) {
        while (av_read_frame(format, packet) >= 0) {
            ++packets;
            av_packet_unref(packet);
        }
        av_seek_frame(format, -1, 0, AVSEEK_FLAG_BACKWARD);
    }
    const double rate = double(packets) / SecondsSince(start);
    av_packet_free(&packet);
    avformat_close_input(&format);
    return rate;
}

// One output stream's consumer end.
struct stBenchConsumer
{
    uint32_t outputId = 0;
    stWorkerLink link;
};

stMediaSourceReadWorkerConfig BenchConfig(const std::wstring &path, double seconds)
{
    stMediaSourceReadWorkerConfig config;
    config.Name = L"Bench";
    config.No = 1;
    config.WorkerId = static_cast<int32_t>(kWorker);
    config.MSTYPE = TYX_MS_FILE;
    config.MSFullPath = path;
    config.Repeat = 1;
    config.ShowTime = static_cast<float>(seconds);
    for (int16_t number : {int16_t(1), int16_t(2)}) {
        stTYXStreamConfig stream;
        stream.avStrmId = number == 1 ? TYX_BEST_VIDEO_STREAM : TYX_BEST_AUDIO_STREAM;
        stream.StreamId = static_cast<int32_t>(kWorker) + number;
        stream.MediaType = number == 1 ? 0 : 1;
        stream.StrmAlias = number == 1 ? L"V" : L"A";
        config.Streams[number] = stream;
    }
    config.BuildIOItems();
    return config;
}

// Plays the file in repeated cycles without pacing for about the given time, draining the output
// links as a consumer would; packages per second that reached the consumers.
double WorkerRate(const std::wstring &path, double seconds, int64_t &handedOver)
{
    std::vector<stBenchConsumer> ends(2);
    CTYXWorker::ConsumerLinkMap links;
    for (size_t i = 0; i < ends.size(); ++i) {
        stBenchConsumer &end = ends[i];
        end.outputId = kWorker + 1 + static_cast<uint32_t>(i);
        end.link.CreateQueue();
        end.link.producerId = kWorker;
        end.link.consumerId = 0x10000004u + static_cast<uint32_t>(i) * 0x10000u;
        end.link.paketKind = i == 0 ? TYX_PKT_KIND_CODED_VIDEO : TYX_PKT_KIND_CODED_AUDIO;
        end.link.lastActiveTime = 1;
        links[end.outputId][end.link.consumerId] = end.link;
    }
    auto worker = std::make_shared<CMediaFileReadWorker>(kWorker, &links);
    worker->SetPacingSleep([](int64_t) { return false; });
    const stMediaSourceReadWorkerConfig config = BenchConfig(path, seconds);
    if (worker->CopyInConfiguration(&config) < 0 || worker->Initialize(0, 0) < 0 || worker->StartWorkingThread(1, 0) < 0) {
        std::fprintf(stderr, "the file read worker did not start\n");
        std::exit(1);
    }
    int64_t delivered = 0;
    bool closed = false;
    const Clock::time_point start = Clock::now();
    worker->ResumeWorkingThread();
    FramePackageQueue taken;
    while (!closed) {
        bool any = false;
        for (stBenchConsumer &end : ends) {
            {
                // One short hold of the producer's lock per look, as a decoder's input would.
                CCsLock lock(*end.link.queueLock);
                taken.swap(*end.link.queue);
            }
            any = any || !taken.empty();
            for (FramePackage &package : taken) {
                if (package.nLength > 0)
                    ++delivered;
                else if (package.nLength == TYX_SRC_CLOSED)
                    closed = true;
                FreeFramePackage(package);
            }
            taken.clear();
        }
        if (!any)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double elapsed = SecondsSince(start);
    handedOver = static_cast<int64_t>(worker->WaitThreadExit(5000));
    worker->WaitOtherThreadsExit(5000);
    worker->unInitialize();
    ClearTYXEventQueue();
    return double(delivered) / elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    CTempDir dir;
    const auto file = dir.File("bench-1080p60.mp4");
    stTestMediaSpec spec;
    spec.seconds = kFileSeconds;
    spec.width = 1920;
    spec.height = 1080;
    spec.fps = 60;
    stTestMediaInfo info;
    std::printf("making %.0f s of H.264 1080p60 with AAC sound...\n", kFileSeconds);
    if (WriteTestMedia(file, spec, &info) < 0) {
        std::fprintf(stderr, "the bench file cannot be made\n");
        return 1;
    }
    std::printf("%d video and %d audio packets per pass\n\n", info.videoPackets, info.audioPackets);

    const double bare = BareReadRate(file.string(), seconds);
    int64_t handedOver = 0;
    const double worker = WorkerRate(file.wstring(), seconds, handedOver);
    std::printf("%-52s %12.0f packages/s\n", "libavformat av_read_frame loop", bare);
    std::printf("%-52s %12.0f packages/s  (%.2f of the bare rate)\n", "CMediaFileReadWorker, pacing off, to the consumers",
                worker, bare > 0 ? worker / bare : 0.0);
    std::printf("%-52s %12lld\n", "packages the main thread handed to stream threads", static_cast<long long>(handedOver));
    return 0;
}
