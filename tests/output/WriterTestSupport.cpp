#include "WriterTestSupport.h"

#include "core/FfmpegHandles.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "input/MediaFileReader.h"
#include "input/StreamInfoParams.h"
#include "platform/CriticalSection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

namespace fs = std::filesystem;

namespace {

const AVRational kUs{1, 1000000};

std::string MetadataText(AVDictionary *metadata, const char *key)
{
    const AVDictionaryEntry *entry = av_dict_get(metadata, key, nullptr, 0);
    return entry ? entry->value : "";
}

} // namespace

const stProbedStream *stProbedFile::Video() const
{
    for (const stProbedStream &stream : byStream)
        if (stream.mediaType == 0)
            return &stream;
    return nullptr;
}

const stProbedStream *stProbedFile::Audio() const
{
    for (const stProbedStream &stream : byStream)
        if (stream.mediaType == 1)
            return &stream;
    return nullptr;
}

stProbedFile ProbeRecording(const fs::path &path)
{
    stProbedFile file;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return file;
    AvInputPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return file;
    file.opened = true;
    file.streams = static_cast<int>(input->nb_streams);
    file.durationUs = input->duration == AV_NOPTS_VALUE ? 0 : input->duration;
    file.title = MetadataText(input->metadata, "title");
    file.comment = MetadataText(input->metadata, "comment");
    file.composer = MetadataText(input->metadata, "composer");
    file.byStream.resize(input->nb_streams);
    std::vector<int64_t> lastDts(input->nb_streams, AV_NOPTS_VALUE);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters *par = input->streams[i]->codecpar;
        file.byStream[i].mediaType = par->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : par->codec_type == AVMEDIA_TYPE_AUDIO ? 1 : -1;
        file.byStream[i].codecId = par->codec_id;
        file.byStream[i].frameRate = input->streams[i]->avg_frame_rate;
    }
    AvPacketPtr packet(av_packet_alloc());
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        stProbedStream &stream = file.byStream[packet->stream_index];
        const AVRational tb = input->streams[packet->stream_index]->time_base;
        const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (stream.packets == 0) {
            stream.firstKey = key;
            stream.firstPtsUs = av_rescale_q(packet->pts, tb, kUs);
        }
        ++stream.packets;
        stream.keyFrames += key ? 1 : 0;
        int64_t &last = lastDts[packet->stream_index];
        if (packet->dts != AV_NOPTS_VALUE) {
            if (last != AV_NOPTS_VALUE && packet->dts <= last)
                stream.dtsMonotonic = false;
            last = packet->dts;
        }
        if (packet->pts != AV_NOPTS_VALUE)
            stream.endUs = std::max(stream.endUs, av_rescale_q(packet->pts + packet->duration, tb, kUs));
        av_packet_unref(packet.get());
    }
    return file;
}

stProbedSound ProbeSound(const fs::path &path)
{
    stProbedSound sound;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return sound;
    AvInputPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return sound;
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0)
        return sound;
    const AVCodecParameters *par = input->streams[index]->codecpar;
    sound.found = true;
    sound.codecId = par->codec_id;
    sound.sampleRate = par->sample_rate;
    sound.channels = par->ch_layout.nb_channels;
    const AVCodec *decoder = avcodec_find_decoder(par->codec_id);
    AvCodecPtr codec(avcodec_alloc_context3(decoder));
    if (!decoder || !codec || avcodec_parameters_to_context(codec.get(), par) < 0 ||
        avcodec_open2(codec.get(), decoder, nullptr) < 0)
        return sound;
    AvPacketPtr packet(av_packet_alloc());
    AvFramePtr frame(av_frame_alloc());
    const auto drain = [&] {
        while (avcodec_receive_frame(codec.get(), frame.get()) >= 0) {
            sound.samples += frame->nb_samples;
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            ++sound.packets;
            if (avcodec_send_packet(codec.get(), packet.get()) < 0)
                ++sound.failedPackets;
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    drain();
    return sound;
}

int WriteFileThroughWriter(const fs::path &source, CStreamWriter &writer, const std::string &destination,
                           int audioFrames, const AudioRewrite &rewrite)
{
    CMediaFileReader reader;
    StreamRequestMap video;
    StreamRequestMap audio;
    if (reader.OpenMediaSource(source.string(), &video, &audio) <= 0)
        return -1;
    std::vector<stWriterStreamParams> streams;
    std::map<int16_t, int16_t> outputOf;      // by container index
    std::map<int16_t, AVRational> timeBaseOf;
    int64_t originUs = INT64_MAX;
    for (const StreamRequestMap *requests : {&video, &audio}) {
        for (const auto &[number, containerIndex] : *requests) {
            const stMediaStreamInfo *info = reader.GetStreamParameters(number);
            if (!info || containerIndex < 0)
                continue;
            stStreamParams params;
            StreamInfoToStreamParams(params, *info);
            outputOf[containerIndex] = static_cast<int16_t>(streams.size());
            timeBaseOf[containerIndex] = info->timeBase;
            if (info->startTime != TYX_NOPTS_VALUE)
                originUs = std::min(originUs, av_rescale_q(info->startTime, info->timeBase, kUs));
            streams.push_back(stWriterStreamParams::FromStreamParams(params));
        }
    }
    if (originUs == INT64_MAX)
        originUs = 0;
    const int32_t count = static_cast<int32_t>(streams.size());
    if (count == 0 || writer.Open(&destination, &streams, count) != count)
        return -2;

    int refused = 0;
    const auto write = [&](int16_t output, FramePackage package) {
        refused += writer.writeFrame(output, package, kUs) < 0 ? 1 : 0;
    };
    // Audio packages waiting to go as one.
    std::vector<uint8_t> joined;
    FramePackage first;
    int16_t joinedOutput = -1;
    int waiting = 0;
    const auto flushJoined = [&] {
        if (waiting == 0)
            return;
        first.pData = joined.data();
        first.nLength = static_cast<int32_t>(joined.size());
        write(joinedOutput, first);
        joined.clear();
        waiting = 0;
    };
    FramePackage package;
    while (reader.ReadPacket(package) > 0) {
        const auto output = outputOf.find(package.streamIndex);
        if (output == outputOf.end())
            continue;
        const AVRational tb = timeBaseOf[package.streamIndex];
        package.pts = package.pts == TYX_NOPTS_VALUE ? TYX_NOPTS_VALUE : av_rescale_q(package.pts, tb, kUs) - originUs;
        package.dts = package.dts == TYX_NOPTS_VALUE ? TYX_NOPTS_VALUE : av_rescale_q(package.dts, tb, kUs) - originUs;
        package.duration = av_rescale_q(package.duration, tb, kUs);
        if (package.mediaType != TYX_MEDIA_AUDIO || (audioFrames <= 1 && !rewrite)) {
            write(output->second, package);
            continue;
        }
        if (waiting == 0) {
            first = package;
            joinedOutput = output->second;
        } else {
            first.duration += package.duration;
        }
        std::vector<uint8_t> data(package.pData, package.pData + package.nLength);
        if (rewrite)
            rewrite(data);
        joined.insert(joined.end(), data.begin(), data.end());
        if (++waiting >= audioFrames)
            flushJoined();
    }
    flushJoined();
    writer.Close();
    return refused;
}

std::vector<fs::path> ListRecordings(const fs::path &folder)
{
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file() && it->path().filename() != "RecordFileList.txt")
            files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::wstring> ReadRecordList(const fs::path &listFile)
{
    std::ifstream in(listFile, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::wstring> lines;
    if (bytes.size() < 2 || static_cast<uint8_t>(bytes[0]) != 0xFF || static_cast<uint8_t>(bytes[1]) != 0xFE)
        return lines;
    std::wstring text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<wchar_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8)));
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

std::vector<stTYXEvent> TakeEvents()
{
    std::vector<stTYXEvent> events;
    stTYXEvent event;
    while (PopTYXEvent(event))
        events.push_back(event);
    return events;
}

int CountEvents(const std::vector<stTYXEvent> &events, int32_t type, const std::string &reason)
{
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const stTYXEvent &event) {
        if (event.type != type)
            return false;
        if (reason.empty())
            return true;
        const auto found = event.attributes.find("Reason");
        return found != event.attributes.end() && found->second.text == reason;
    }));
}

// ---- harness ----

CWriterHarness::CWriterHarness(const CTestEncoder &encoder, bool withAudio, bool withVideo)
    : m_encoder(encoder), m_withAudio(withAudio), m_withVideo(withVideo)
{
    CTYXWorker::InputLinkMap links;
    auto add = [&links](stWorkerInputLink &link, uint32_t streamId, int32_t kind) {
        link.CreateQueue();
        link.paketKind = kind;
        link.producerId = streamId & ~0xFFu;
        link.consumerId = kWriterId;
        links.emplace(streamId, link);
    };
    if (withVideo)
        add(m_video, kVideoStreamId, TYX_PKT_KIND_CODED_VIDEO);
    if (withAudio)
        add(m_audio, kAudioStreamId, TYX_PKT_KIND_CODED_AUDIO);
    m_worker = std::make_shared<CTYXMediaWriteWorker>(kWriterId, &links);
    if (withVideo)
        m_worker->SetInputParameters(encoder.VideoParams(static_cast<uint16_t>(kVideoStreamId)), kVideoStreamId);
    if (withAudio)
        m_worker->SetInputParameters(encoder.AudioParams(static_cast<uint16_t>(kAudioStreamId)), kAudioStreamId);
}

CWriterHarness::~CWriterHarness()
{
    Stop();
    m_worker->unInitialize();
}

stMediaWriteWorkerConfig CWriterHarness::RecordConfig(const fs::path &root, bool withAudio, bool withVideo)
{
    stMediaWriteWorkerConfig config;
    config.Name = L"RecWriter";
    config.No = 1;
    config.WorkerId = static_cast<int32_t>(kWriterId);
    config.MWType = TYX_MS_FILE;
    if (withVideo)
        config.VideoStreams[static_cast<int32_t>(kVideoStreamId)] = L"video";
    if (withAudio)
        config.AudioStreams[static_cast<int32_t>(kAudioStreamId)] = L"audio";
    auto settings = std::make_shared<stRecordFileConfig>();
    settings->Container = 4;
    settings->SubFolderDate = 0;
    settings->SubFolderCaseNo = 0;
    settings->CaseNamePrefix = 0;
    settings->CyclePrefix = 0;
    settings->SaveRecordFileList = 1;
    settings->SegmentLength = 3;
    settings->StorageLife = 183;
    settings->SpaceWarnLimit = 40960;
    settings->RootFolder = StringToWString(root.string());
    config.RecordSettings = settings;
    config.BuildIOItems();
    return config;
}

stMediaWriteWorkerConfig CWriterHarness::PushConfig(int32_t type, const std::string &url, bool withAudio)
{
    stMediaWriteWorkerConfig config;
    config.Name = L"PushWriter";
    config.No = 2;
    config.WorkerId = static_cast<int32_t>(kWriterId);
    config.MWType = type;
    config.outputURL = StringToWString(url);
    config.VideoStreams[static_cast<int32_t>(kVideoStreamId)] = L"video";
    if (withAudio)
        config.AudioStreams[static_cast<int32_t>(kAudioStreamId)] = L"audio";
    config.BuildIOItems();
    return config;
}

int32_t CWriterHarness::Start(const stMediaWriteWorkerConfig &config, bool startPushing,
                              std::unique_ptr<CStreamWriter> writer)
{
    m_config = config;
    m_worker->CopyInConfiguration(&m_config);
    if (writer)
        m_worker->SetStreamWriter(std::move(writer));
    const int32_t initialized = m_worker->Initialize(0, -1);
    if (initialized < 0)
        return initialized;
    // Given before the thread runs, the start is taken before the thread's first pass: a pass that
    // ran before a later start would flush what the test feeds right after it.
    if (startPushing)
        m_worker->StartDataPushing();
    m_worker->StartWorkingThread(1, 0, 0);
    m_worker->ResumeWorkingThread();
    return initialized;
}

int32_t CWriterHarness::Stop()
{
    return m_worker->WaitThreadExit(10000);
}

void CWriterHarness::Queue(const FramePackage &package, bool video)
{
    stWorkerInputLink &link = video ? m_video : m_audio;
    CCsLock lock(*link.queueLock);
    link.queue->push_back(package);
}

size_t CWriterHarness::Queued(bool video)
{
    stWorkerInputLink &link = video ? m_video : m_audio;
    if (!link.HasQueue())
        return 0;
    CCsLock lock(*link.queueLock);
    return link.queue->size();
}

int CWriterHarness::Feed(int64_t baseUs, int64_t fromUs, int64_t toUs, bool withAudio, bool withVideo)
{
    std::vector<const stCodedPacket *> chosen;
    if (m_withVideo && withVideo)
        for (const stCodedPacket &packet : m_encoder.Video())
            if (packet.dts >= fromUs && packet.dts < toUs)
                chosen.push_back(&packet);
    if (m_withAudio && withAudio)
        for (const stCodedPacket &packet : m_encoder.Audio())
            if (packet.dts >= fromUs && packet.dts < toUs)
                chosen.push_back(&packet);
    std::stable_sort(chosen.begin(), chosen.end(),
                     [](const stCodedPacket *a, const stCodedPacket *b) { return a->dts < b->dts; });
    for (const stCodedPacket *packet : chosen) {
        Queue(CTestEncoder::MakePackage(*packet, baseUs), packet->video);
        (packet->video ? m_fedVideo : m_fedAudio)++;
    }
    return static_cast<int>(chosen.size());
}

bool CWriterHarness::WaitDrained(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Queued(true) == 0 && Queued(false) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

const CTestEncoder &TestClip()
{
    static CTestEncoder encoder;
    static const bool made = encoder.Encode(stTestEncodeSpec{});
    EXPECT_TRUE(made) << "libx264 or aac missing";
    return encoder;
}
