// The whole program on 4 generated 1280x720 25 fps clips -> 4 decoders -> 2x2 mux at 1920x1080 ->
// libx264 -> MP4, beside one libavfilter graph doing the same work in one process (4 decoders,
// scale + xstack, libx264, the MP4 muxer) with the same thread budget. Prints frames per second
// sustained, CPU time per output frame and peak RSS of each.
//   program_bench <TyxServiceMain> <gen_sample_clip> [seconds of recording, default 30]
#include "core/FfmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kClips = 4;
constexpr int kOutWidth = 1920;
constexpr int kOutHeight = 1080;

struct stFigures
{
    bool ok = false;
    int64_t frames = 0;
    double seconds = 0.0;     // the time the frames took
    double cpuSeconds = 0.0;
    long peakRssKiB = 0;
};

double CpuOf(const rusage &usage)
{
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string ReaderSection(const fs::path &folder)
{
    std::string text = "<MediaSources><MSCount>4</MSCount>";
    for (int i = 1; i <= kClips; ++i)
        text += "<Cam" + std::to_string(i) + " id=\"" + std::to_string(i) +
                "\"><MSTYPE>FILE</MSTYPE><MRType>FMPGAV</MRType><MSFullPath>" + (folder / ("clip" + std::to_string(i) + ".mp4")).string() +
                "</MSFullPath><Repeat>True</Repeat><ShowTime>86400</ShowTime><STRMCOUNT>1</STRMCOUNT><Stream id=\"1\"><StrmType>Video</StrmType>"
                "<avStrmId>0</avStrmId></Stream></Cam" + std::to_string(i) + ">";
    return text + "</MediaSources>";
}

std::string ProgramConfig(const fs::path &folder)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><General><GlobalFramerate>25</GlobalFramerate></General>" +
                       ReaderSection(folder) +
                       "<VideoDecoders><VDCDCount>4</VDCDCount>";
    for (int i = 1; i <= kClips; ++i)
        text += "<Dec" + std::to_string(i) + " id=\"" + std::to_string(i) + "\"><DecoderType>FFMPG</DecoderType>"
                "<VideoSource>MediaSources.Cam" + std::to_string(i) + ".VideoOutput</VideoSource></Dec" + std::to_string(i) + ">";
    text += "</VideoDecoders><VideoMidProcessors><MProcCount>1</MProcCount><Mux1 id=\"1\"><MPType>VMux</MPType>"
            "<RVSInCount>4</RVSInCount>";
    for (int i = 1; i <= kClips; ++i)
        text += "<IRVS id=\"" + std::to_string(i) + "\">VideoDecoders.Dec" + std::to_string(i) + ".VideoOutput</IRVS>";
    text += "<MuxLayout>4Divide-Equ</MuxLayout>";
    for (int i = 1; i <= kClips; ++i)
        text += "<RgnVs id=\"" + std::to_string(i) + "\">" + std::to_string(i) + "</RgnVs>";
    text += "<OutputWidth>1920</OutputWidth><OutputHeight>1080</OutputHeight><OutputFramerate>25</OutputFramerate></Mux1>"
            "</VideoMidProcessors><VideoEncoders><VECDCount>1</VECDCount><Enc1 id=\"1\"><EncoderType>FFMPG</EncoderType>"
            "<VCodec>H264</VCodec><Preset>veryfast</Preset><VideoSource>VideoMidProcessors.Mux1.VideoOutput</VideoSource>"
            "<Width>1920</Width><Height>1080</Height><BitRate>4000</BitRate><GopLengh>50</GopLengh></Enc1></VideoEncoders>"
            "<MediaWriters><MWCount>1</MWCount><Rec1 id=\"1\"><MWType>FILE</MWType><Container>MP4</Container>"
            "<RootFolder>records</RootFolder><VideoStreams>VideoEncoders.Enc1.VideoOutput</VideoStreams>"
            "<SegmentLength>60</SegmentLength><PushAtBegin>True</PushAtBegin></Rec1></MediaWriters></Config>\n";
    return text;
}

int64_t CountVideoPackets(const fs::path &file)
{
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0)
        return 0;
    AvInputPtr format(raw);
    AvPacketPtr packet(av_packet_alloc());
    int64_t count = 0;
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        ++count;
        av_packet_unref(packet.get());
    }
    return count;
}

bool LogSays(const fs::path &folder, const std::string &text)
{
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(folder / "logs", error)) {
        std::ifstream file(entry.path());
        std::string line;
        while (std::getline(file, line))
            if (line.find(text) != std::string::npos)
                return true;
    }
    return false;
}

stFigures RunProgram(const fs::path &program, const fs::path &folder, int seconds)
{
    stFigures figures;
    fs::copy_file(program, folder / "TyxServiceMain", fs::copy_options::overwrite_existing);
    std::ofstream(folder / "SysConfig.xml") << "<?xml version=\"1.0\"?><Config><General><GlobalTyxId>" << (900000 + getpid() % 90000)
                                            << "</GlobalTyxId><DebugLevel>5</DebugLevel></General></Config>\n";
    std::ofstream(folder / "StreamCfg.xml") << ProgramConfig(folder);
    std::ofstream(folder / "RcmConfig.xml") << "<?xml version=\"1.0\"?><config><RcmGeneral><HttpCtrl>False</HttpCtrl>"
                                               "<HttpsCtrl>False</HttpsCtrl></RcmGeneral></config>\n";
    const std::string exe = (folder / "TyxServiceMain").string();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("RUNTIME_DIRECTORY", folder.c_str(), 1);
        if (!freopen((folder / "program.out").c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr))
            _exit(127);
        execl(exe.c_str(), exe.c_str(), "-silent", static_cast<char *>(nullptr));
        _exit(127);
    }
    const auto started = std::chrono::steady_clock::now();
    // The start line is logged at level 5: the settings above must log that much.
    bool working = false;
    while (!(working = LogSays(folder, "TYX is working")) && std::chrono::steady_clock::now() - started < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto workingSince = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto stopped = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    std::error_code error;
    for (const auto &entry : fs::recursive_directory_iterator(folder / "records", error))
        if (entry.path().extension() == ".mp4")
            figures.frames += CountVideoPackets(entry.path());
    figures.seconds = std::chrono::duration<double>(stopped - workingSince).count();
    figures.cpuSeconds = CpuOf(usage);
    figures.peakRssKiB = usage.ru_maxrss;
    figures.ok = working && WIFEXITED(status) && WEXITSTATUS(status) == 0 && figures.frames > 0;
    return figures;
}

// ---- the libavfilter graph, in a child of its own so that its figures are its own ----

struct stDecoder
{
    AvInputPtr format;
    AvCodecPtr codec;
    int stream = -1;
};

bool OpenDecoder(const fs::path &file, stDecoder &decoder)
{
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0)
        return false;
    decoder.format.reset(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0)
        return false;
    decoder.stream = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (decoder.stream < 0)
        return false;
    const AVCodecParameters *parameters = raw->streams[decoder.stream]->codecpar;
    const AVCodec *codec = avcodec_find_decoder(parameters->codec_id);
    decoder.codec.reset(avcodec_alloc_context3(codec));
    return decoder.codec && avcodec_parameters_to_context(decoder.codec.get(), parameters) >= 0 &&
           avcodec_open2(decoder.codec.get(), codec, nullptr) >= 0;
}

// The next picture of the clip, played in a loop like the program's readers do.
bool NextPicture(stDecoder &decoder, AVFrame *frame, AVPacket *packet)
{
    for (int tries = 0; tries < 1000; ++tries) {
        if (avcodec_receive_frame(decoder.codec.get(), frame) == 0)
            return true;
        const int read = av_read_frame(decoder.format.get(), packet);
        if (read == AVERROR_EOF) {
            av_seek_frame(decoder.format.get(), decoder.stream, 0, AVSEEK_FLAG_BACKWARD);
            avcodec_flush_buffers(decoder.codec.get());
            continue;
        }
        if (read < 0)
            return false;
        if (packet->stream_index == decoder.stream)
            avcodec_send_packet(decoder.codec.get(), packet);
        av_packet_unref(packet);
    }
    return false;
}

struct stGraphFreer
{
    void operator()(AVFilterGraph *graph) const { avfilter_graph_free(&graph); }
};

int RunFilterGraph(const fs::path &folder, int64_t frames)
{
    std::vector<stDecoder> decoders(kClips);
    for (int i = 0; i < kClips; ++i)
        if (!OpenDecoder(folder / ("clip" + std::to_string(i + 1) + ".mp4"), decoders[static_cast<size_t>(i)]))
            return 1;
    std::unique_ptr<AVFilterGraph, stGraphFreer> graph(avfilter_graph_alloc());
    graph->nb_threads = static_cast<int>(std::thread::hardware_concurrency());
    std::vector<AVFilterContext *> sources(kClips, nullptr);
    AVFilterContext *sink = nullptr;
    for (int i = 0; i < kClips; ++i) {
        const std::string args = "video_size=1280x720:pix_fmt=0:time_base=1/25:pixel_aspect=1/1";
        if (avfilter_graph_create_filter(&sources[static_cast<size_t>(i)], avfilter_get_by_name("buffer"),
                                         ("in" + std::to_string(i)).c_str(), args.c_str(), nullptr, graph.get()) < 0)
            return 1;
    }
    if (avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph.get()) < 0)
        return 1;
    AVFilterInOut *outputs = nullptr;
    for (int i = kClips - 1; i >= 0; --i) {
        AVFilterInOut *entry = avfilter_inout_alloc();
        entry->name = av_strdup(("in" + std::to_string(i)).c_str());
        entry->filter_ctx = sources[static_cast<size_t>(i)];
        entry->pad_idx = 0;
        entry->next = outputs;
        outputs = entry;
    }
    AVFilterInOut *inputs = avfilter_inout_alloc();
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    const char *description = "[in0]scale=960:540[a];[in1]scale=960:540[b];[in2]scale=960:540[c];[in3]scale=960:540[d];"
                              "[a][b][c][d]xstack=inputs=4:layout=0_0|w0_0|0_h0|w0_h0,format=yuv420p[out]";
    const int parsed = avfilter_graph_parse_ptr(graph.get(), description, &inputs, &outputs, nullptr);
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (parsed < 0 || avfilter_graph_config(graph.get(), nullptr) < 0)
        return 1;

    const fs::path out = folder / "filter_graph.mp4";
    AVFormatContext *rawOut = nullptr;
    avformat_alloc_output_context2(&rawOut, nullptr, "mp4", out.c_str());
    AvOutputPtr muxer(rawOut);
    const AVCodec *x264 = avcodec_find_encoder_by_name("libx264");
    AvCodecPtr encoder(avcodec_alloc_context3(x264));
    if (!muxer || !x264 || !encoder)
        return 1;
    encoder->width = kOutWidth;
    encoder->height = kOutHeight;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, 25};
    encoder->framerate = AVRational{25, 1};
    encoder->gop_size = 50;
    encoder->bit_rate = 4000000;
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", "veryfast", 0);
    AVStream *stream = avformat_new_stream(muxer.get(), nullptr);
    if (avcodec_open2(encoder.get(), x264, nullptr) < 0 || avcodec_parameters_from_context(stream->codecpar, encoder.get()) < 0)
        return 1;
    stream->time_base = encoder->time_base;
    if (avio_open(&muxer->pb, out.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(muxer.get(), nullptr) < 0)
        return 1;
    AvFramePtr frame(av_frame_alloc());
    AvFramePtr composed(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    auto drain = [&] {
        while (avcodec_receive_packet(encoder.get(), packet.get()) == 0) {
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            packet->stream_index = 0;
            av_interleaved_write_frame(muxer.get(), packet.get());
        }
    };
    for (int64_t n = 0; n < frames; ++n) {
        for (int i = 0; i < kClips; ++i) {
            if (!NextPicture(decoders[static_cast<size_t>(i)], frame.get(), packet.get()))
                return 1;
            frame->pts = n;
            if (av_buffersrc_add_frame(sources[static_cast<size_t>(i)], frame.get()) < 0)
                return 1;
        }
        while (av_buffersink_get_frame(sink, composed.get()) >= 0) {
            composed->pict_type = AV_PICTURE_TYPE_NONE;
            avcodec_send_frame(encoder.get(), composed.get());
            av_frame_unref(composed.get());
            drain();
        }
    }
    avcodec_send_frame(encoder.get(), nullptr);
    drain();
    return av_write_trailer(muxer.get()) < 0 ? 1 : 0;
}

stFigures RunFilterGraphChild(const fs::path &folder, int64_t frames)
{
    stFigures figures;
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0)
        _exit(RunFilterGraph(folder, frames));
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    figures.frames = frames;
    figures.cpuSeconds = CpuOf(usage);
    figures.peakRssKiB = usage.ru_maxrss;
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return figures;
}

void PrintRow(const char *name, const stFigures &figures)
{
    if (!figures.ok || figures.frames <= 0 || figures.seconds <= 0.0) {
        std::printf("%-34s %10s\n", name, "failed");
        return;
    }
    std::printf("%-34s %10.1f %14.2f %12ld %8lld\n", name, static_cast<double>(figures.frames) / figures.seconds,
                1000.0 * figures.cpuSeconds / static_cast<double>(figures.frames), figures.peakRssKiB / 1024,
                static_cast<long long>(figures.frames));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: program_bench <TyxServiceMain> <gen_sample_clip> [seconds]\n");
        return 2;
    }
    const int seconds = argc > 3 ? std::max(5, std::atoi(argv[3])) : 30;
    const fs::path folder = fs::temp_directory_path() / ("tyx-program-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    for (int i = 1; i <= kClips; ++i) {
        const std::string command = std::string(argv[2]) + " " + (folder / ("clip" + std::to_string(i) + ".mp4")).string() +
                                    " " + std::to_string(1 + (i + 1) % 2) + " 10 1280 720";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "program_bench: making the clips failed\n");
            return 1;
        }
    }
    av_log_set_level(AV_LOG_ERROR);
    const stFigures program = RunProgram(argv[1], folder, seconds);
    const stFigures graph = RunFilterGraphChild(folder, program.frames > 0 ? program.frames : 25LL * seconds);
    std::printf("4 x 1280x720 25 fps -> decode -> 2x2 mux 1920x1080 -> libx264 veryfast -> MP4, %u processors\n",
                std::thread::hardware_concurrency());
    std::printf("%-34s %10s %14s %12s %8s\n", "", "frames/s", "CPU ms/frame", "peak RSS MiB", "frames");
    PrintRow("TyxServiceMain (paced at 25 fps)", program);
    PrintRow("libavfilter graph (unpaced)", graph);
    std::printf("real time: %s\n", program.ok && program.frames >= static_cast<int64_t>(program.seconds * 25 * 0.95) ? "yes" : "no");
    std::error_code error;
    fs::remove_all(folder, error);
    return 0;
}
