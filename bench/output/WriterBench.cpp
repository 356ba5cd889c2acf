// Prints the CPU time the media writer spends per second of recording (1920x1080 H.264 at 8 Mbit/s
// with AAC, into MP4 segments) beside avformat_write_header / av_interleaved_write_frame called
// directly with the same packets and the same cuts. A program, not a test: figures only.

#include "TestEncoder.h"
#include "core/FfmpegHandles.h"
#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "output/MWrtWorker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int64_t kBase = 1700000000000000;
constexpr int kLoops = 3;                 // the clip is recorded this many times over
constexpr int kRuns = 9;                  // the best of this many runs counts: the machine is shared
constexpr int64_t kSegmentUs = 10000000;  // a cut every 10 s of stream time
constexpr uint32_t kVideoId = 0x06010001u;
constexpr uint32_t kAudioId = 0x0E010001u;

double CpuSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The CPU clock of another thread of this process by its kernel id (what pthread_getcpuclockid
// gives for a pthread).
clockid_t ThreadCpuClock(int tid)
{
    return static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
}

struct stTimedPacket
{
    const stCodedPacket *packet;
    int64_t dts; // µs of the recording
};

// The clip's packets, kLoops times over, in dts order.
std::vector<stTimedPacket> Timeline(const CTestEncoder &clip)
{
    std::vector<stTimedPacket> all;
    for (int loop = 0; loop < kLoops; ++loop) {
        const int64_t shift = loop * clip.ClipUs();
        for (const stCodedPacket &p : clip.Video())
            all.push_back({&p, p.dts + shift});
        for (const stCodedPacket &p : clip.Audio())
            all.push_back({&p, p.dts + shift});
    }
    std::stable_sort(all.begin(), all.end(), [](const auto &a, const auto &b) { return a.dts < b.dts; });
    return all;
}

// ---- libavformat called directly ----

AVStream *AddStream(AVFormatContext *context, const stStreamParams &params)
{
    AVStream *stream = avformat_new_stream(context, nullptr);
    AVCodecParameters *par = stream->codecpar;
    par->codec_type = params.mediaType == 0 ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    par->codec_id = static_cast<AVCodecID>(params.codecId);
    par->bit_rate = params.bitRate;
    par->extradata = static_cast<uint8_t *>(av_mallocz(params.extradataSize + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(params.extradata, params.extradata + params.extradataSize, par->extradata);
    par->extradata_size = params.extradataSize;
    if (params.mediaType == 0) {
        par->width = params.width;
        par->height = params.height;
        par->format = AV_PIX_FMT_YUV420P;
        stream->time_base = AVRational{1, 90000};
    } else {
        par->sample_rate = params.sampleRate;
        par->format = params.sampleFormat;
        par->frame_size = params.frameSize;
        av_channel_layout_copy(&par->ch_layout, &params.channelLayout);
        stream->time_base = AVRational{1, params.sampleRate};
    }
    return stream;
}

AvOutputPtr OpenDirect(const std::string &path, const CTestEncoder &clip)
{
    AVFormatContext *raw = nullptr;
    avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str());
    AvOutputPtr context(raw);
    AddStream(raw, clip.VideoParams(1));
    AddStream(raw, clip.AudioParams(2));
    avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (avformat_write_header(raw, nullptr) < 0)
        return nullptr;
    return context;
}

// The packages of the timeline as the encoder hands them over: each owns a copy of its packet.
std::vector<FramePackage> MakePackages(const std::vector<stTimedPacket> &timeline)
{
    std::vector<FramePackage> packages;
    packages.reserve(timeline.size());
    for (const stTimedPacket &entry : timeline)
        packages.push_back(CTestEncoder::MakePackage(*entry.packet, kBase + entry.dts - entry.packet->dts));
    return packages;
}

// Writes the same packages the media writer gets and releases each once written, as the writer,
// their last consumer, must: both sides read the data from the same kind of buffers and pay for
// giving them back.
double RecordDirect(const CTestEncoder &clip, const std::vector<stTimedPacket> &timeline, const fs::path &folder)
{
    std::vector<FramePackage> packages = MakePackages(timeline);
    const double start = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    int segment = 0;
    AvOutputPtr context = OpenDirect((folder / "direct_0.mp4").string(), clip);
    int64_t segmentStart = 0;
    int64_t firstDts[2] = {-1, -1};
    AvPacketPtr packet(av_packet_alloc());
    for (size_t i = 0; i < timeline.size(); ++i) {
        const stTimedPacket &entry = timeline[i];
        const stCodedPacket &p = *entry.packet;
        if (p.video && p.key && entry.dts - segmentStart >= kSegmentUs) {
            av_write_trailer(context.get());
            context = OpenDirect((folder / ("direct_" + std::to_string(++segment) + ".mp4")).string(), clip);
            segmentStart = entry.dts;
            firstDts[0] = firstDts[1] = -1;
        }
        const int index = p.video ? 0 : 1;
        if (firstDts[index] < 0)
            firstDts[index] = entry.dts;
        packet->data = packages[i].pData;
        packet->size = packages[i].nLength;
        packet->flags = p.key ? AV_PKT_FLAG_KEY : 0;
        packet->stream_index = index;
        packet->dts = entry.dts - firstDts[index];
        packet->pts = packet->dts + (p.pts - p.dts);
        packet->duration = p.duration;
        av_packet_rescale_ts(packet.get(), AVRational{1, 1000000}, context->streams[index]->time_base);
        av_interleaved_write_frame(context.get(), packet.get());
        FreeFramePackage(packages[i]);
    }
    av_write_trailer(context.get());
    context.reset();
    return CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start;
}

// ---- the media writer ----

// sliceUs of stream time are handed over at once; pace is the wall time between two hand-overs
// (0: as soon as the writer has taken the last one).
double RecordWithWriter(const CTestEncoder &clip, const std::vector<stTimedPacket> &timeline, const fs::path &folder,
                        int64_t sliceUs, std::chrono::microseconds pace)
{
    stWorkerInputLink video;
    video.CreateQueue();
    video.paketKind = TYX_PKT_KIND_CODED_VIDEO;
    stWorkerInputLink audio;
    audio.CreateQueue();
    audio.paketKind = TYX_PKT_KIND_CODED_AUDIO;
    CTYXWorker::InputLinkMap links{{kVideoId, video}, {kAudioId, audio}};
    auto worker = std::make_shared<CTYXMediaWriteWorker>(0x10010004u, &links);
    worker->SetInputParameters(clip.VideoParams(1), kVideoId);
    worker->SetInputParameters(clip.AudioParams(2), kAudioId);
    std::atomic<int64_t> now{1700000000};
    worker->SetWallClock([&now] { return now.load(); });

    stMediaWriteWorkerConfig config;
    config.Name = L"BenchWriter";
    config.MWType = TYX_MS_FILE;
    config.VideoStreams[static_cast<int32_t>(kVideoId)] = L"video";
    config.AudioStreams[static_cast<int32_t>(kAudioId)] = L"audio";
    auto settings = std::make_shared<stRecordFileConfig>();
    settings->Container = 4;
    settings->SubFolderDate = settings->SubFolderCaseNo = settings->CaseNamePrefix = settings->CyclePrefix = 0;
    settings->SaveRecordFileList = 1;
    settings->SegmentLength = 3;
    settings->StorageLife = 183;
    settings->SpaceWarnLimit = 40960;
    settings->RootFolder = StringToWString((folder / "writer").string());
    config.RecordSettings = settings;
    config.BuildIOItems();
    worker->CopyInConfiguration(&config);
    worker->Initialize(0, -1);

    // The packages are made before the clock starts: making them is the encoder's work.
    std::vector<FramePackage> packages = MakePackages(timeline);

    auto drained = [&] {
        CCsLock v(*video.queueLock);
        CCsLock a(*audio.queueLock);
        return video.queue->empty() && audio.queue->empty();
    };
    // Taken, or held back for a cut that waits for the next key frame: then one more slice per
    // pass of the writer, as from a live source.
    auto taken = [&] {
        if (drained())
            return true;
        if (worker->GetWorkingStep() != TYX_MW_STEP_CLOSING)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(12));
        return true;
    };
    // Only the writer's own thread is measured: queueing the packages is the encoder's work.
    worker->StartWorkingThread(1, 0, 0);
    const clockid_t writerClock = ThreadCpuClock(static_cast<int>(worker->GetThreadId()));
    worker->ResumeWorkingThread();
    const double start = CpuSeconds(writerClock);
    worker->StartDataPushing();
    int64_t sliceEnd = sliceUs;
    int64_t nextCut = kSegmentUs;
    for (size_t i = 0; i < packages.size(); ++i) {
        if (timeline[i].dts >= sliceEnd) {
            std::this_thread::sleep_for(pace);
            while (!taken())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            sliceEnd += sliceUs;
            if (timeline[i].dts >= nextCut) {
                now += 180; // one segment length on: the cut follows at the next key frame
                nextCut += kSegmentUs;
            }
        }
        stWorkerInputLink &link = packages[i].mediaType == TYX_MEDIA_VIDEO ? video : audio;
        CCsLock lock(*link.queueLock);
        link.queue->push_back(packages[i]);
    }
    while (!drained())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    worker->StopDataPushing();
    while (worker->GetWorkingStep() != TYX_MW_STEP_IDLE)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double used = CpuSeconds(writerClock) - start;
    worker->WaitThreadExit(5000);
    worker->unInitialize();
    return used;
}

// Packets and files found in the MP4 files of a folder whose names start with prefix.
void CountRecorded(const fs::path &folder, const std::string &prefix, int &files, int64_t &packets)
{
    files = 0;
    packets = 0;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || name.rfind(prefix, 0) != 0 || entry.path().extension() != ".mp4")
            continue;
        AVFormatContext *raw = nullptr;
        if (avformat_open_input(&raw, entry.path().c_str(), nullptr, nullptr) < 0)
            continue;
        AvInputPtr input(raw);
        ++files;
        AvPacketPtr packet(av_packet_alloc());
        while (av_read_frame(raw, packet.get()) >= 0) {
            ++packets;
            av_packet_unref(packet.get());
        }
    }
}

} // namespace

int main()
{
    stTestEncodeSpec spec;
    spec.seconds = 10.0;
    spec.width = 1920;
    spec.height = 1080;
    spec.fps = 25;
    spec.gop = 50;
    spec.videoBitRate = 8000000;
    std::printf("Encoding %.0f s of %dx%d H.264 at %lld kbit/s with AAC...\n", spec.seconds, spec.width, spec.height,
                static_cast<long long>(spec.videoBitRate / 1000));
    CTestEncoder clip;
    if (!clip.Encode(spec)) {
        std::printf("libx264 or aac missing\n");
        return 1;
    }
    const std::vector<stTimedPacket> timeline = Timeline(clip);
    const double seconds = static_cast<double>(clip.ClipUs()) * kLoops / 1e6;
    const fs::path folder = fs::temp_directory_path() / ("tyx_writer_bench_" + std::to_string(getpid()));
    fs::create_directories(folder);

    double direct = 1e9;
    double writer = 1e9;
    double paced = 0;
    int directFiles = 0;
    int writerFiles = 0;
    int64_t directPackets = 0;
    int64_t writerPackets = 0;
    for (int run = 0; run < kRuns; ++run) {
        // Both start on an empty folder: replacing the files of the last run would charge the
        // truncation to the side that reuses the names.
        fs::remove_all(folder / "writer");
        fs::remove_all(folder / "direct");
        fs::create_directories(folder / "direct");
        direct = std::min(direct, RecordDirect(clip, timeline, folder / "direct"));
        writer = std::min(writer, RecordWithWriter(clip, timeline, folder, 1000000, std::chrono::microseconds(0)));
    }
    // As a live encoder delivers: a frame's worth every 40 ms of wall time.
    fs::remove_all(folder / "paced");
    const std::vector<stTimedPacket> tenSeconds(timeline.begin(),
                                                std::find_if(timeline.begin(), timeline.end(),
                                                             [&](const auto &p) { return p.dts >= clip.ClipUs(); }));
    paced = RecordWithWriter(clip, tenSeconds, folder / "paced", 40000, std::chrono::microseconds(40000));
    CountRecorded(folder, "direct_", directFiles, directPackets);
    CountRecorded(folder / "writer", "", writerFiles, writerPackets);
    std::printf("%zu packets fed; written: media writer %lld in %d files, libavformat %lld in %d files\n",
                timeline.size(), static_cast<long long>(writerPackets), writerFiles,
                static_cast<long long>(directPackets), directFiles);
    std::printf("%.0f s recorded in MP4 segments of %lld s, handed over a second at a time (best of %d runs, CPU\n"
                "time of the writing thread):\n", seconds,
                static_cast<long long>(kSegmentUs / 1000000), kRuns);
    std::printf("  media writer          %8.3f ms CPU per second of recording\n", writer * 1000.0 / seconds);
    std::printf("  libavformat directly  %8.3f ms CPU per second of recording\n", direct * 1000.0 / seconds);
    std::printf("  ratio                 %8.2f (goal: at most 1.10)\n", writer / direct);
    std::printf("Fed in real time (%.0f s, a frame every 40 ms; the writer polls its inputs every 10 ms):\n",
                static_cast<double>(clip.ClipUs()) / 1e6);
    std::printf("  media writer          %8.3f ms CPU per second of recording\n",
                paced * 1000.0 / (static_cast<double>(clip.ClipUs()) / 1e6));
    fs::remove_all(folder);
    return 0;
}
