#include "PushReceiver.h"

#include "core/FfmpegHandles.h"
#include "input/NetTestSupport.h"

#include <chrono>

// A session's packets written as they came into a file of their own; the trailer at the end.
struct CPushReceiver::stKeptSession
{
    ~stKeptSession()
    {
        if (output && headerWritten)
            av_write_trailer(output.get());
    }

    void Write(AVPacket &packet, const AVFormatContext &input)
    {
        const auto found = streams.find(packet.stream_index);
        if (found == streams.end())
            return;
        av_packet_rescale_ts(&packet, input.streams[packet.stream_index]->time_base,
                             output->streams[found->second]->time_base);
        packet.stream_index = found->second;
        packet.pos = -1;
        av_interleaved_write_frame(output.get(), &packet);
    }

    AvOutputPtr output;
    std::map<int, int> streams; // input index -> output index
    bool headerWritten = false;
};

std::unique_ptr<CPushReceiver::stKeptSession> CPushReceiver::KeepSession(AVFormatContext &input, size_t slot)
{
    std::filesystem::path file;
    std::string format;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_keepFolder.empty())
            return nullptr;
        file = m_keepFolder / ("session" + std::to_string(slot) + "." + m_keepFormat);
        format = m_keepFormat;
    }
    AVFormatContext *raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, format.c_str(), file.c_str()) < 0)
        return nullptr;
    auto kept = std::make_unique<stKeptSession>();
    kept->output.reset(raw);
    for (unsigned i = 0; i < input.nb_streams; ++i) {
        const AVMediaType type = input.streams[i]->codecpar->codec_type;
        if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO)
            continue;
        AVStream *stream = avformat_new_stream(raw, nullptr);
        if (!stream || avcodec_parameters_copy(stream->codecpar, input.streams[i]->codecpar) < 0)
            return nullptr;
        stream->codecpar->codec_tag = 0;
        stream->time_base = input.streams[i]->time_base;
        kept->streams[static_cast<int>(i)] = stream->index;
    }
    if (avio_open(&raw->pb, file.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(raw, nullptr) < 0)
        return nullptr;
    kept->headerWritten = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions[slot].file = file;
    return kept;
}

void CPushReceiver::KeepSessionsIn(const std::filesystem::path &folder, const std::string &format)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keepFolder = folder;
    m_keepFormat = format;
}

int CPushReceiver::Start(EProtocol protocol, int port)
{
    m_protocol = protocol;
    m_port = port > 0 ? port : FindFreeTcpPort();
    if (m_port <= 0)
        return -1;
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
    if (!WaitForTcpListener(m_port, 10000)) {
        Stop();
        return -2;
    }
    return 0;
}

void CPushReceiver::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

std::string CPushReceiver::Url() const
{
    const char *scheme = m_protocol == EProtocol::Rtmp ? "rtmp" : "rtsp";
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port) + "/live/test";
}

int CPushReceiver::Interrupt(void *self)
{
    return static_cast<CPushReceiver *>(self)->m_stop.load() ? 1 : 0;
}

void CPushReceiver::Run()
{
    while (!m_stop) {
        if (ServeOne() < 0 && !m_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int CPushReceiver::ServeOne()
{
    AVFormatContext *raw = avformat_alloc_context();
    raw->interrupt_callback = AVIOInterruptCB{&CPushReceiver::Interrupt, this};
    AVDictionary *options = nullptr;
    if (m_protocol == EProtocol::Rtmp) {
        av_dict_set(&options, "listen", "1", 0);
        av_dict_set(&options, "timeout", "2", 0);
    } else {
        av_dict_set(&options, "rtsp_flags", "listen", 0);
        av_dict_set(&options, "listen_timeout", "2", 0);
    }
    av_dict_set(&options, "analyzeduration", "500000", 0);
    const int opened = avformat_open_input(&raw, Url().c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        return opened; // avformat_open_input has freed the context
    AvInputPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return -1;

    stSession session;
    session.streams = static_cast<int>(input->nb_streams);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters *par = input->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            session.codecVideo = par->codec_id;
            session.width = par->width;
            session.height = par->height;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            session.codecAudio = par->codec_id;
        }
    }
    size_t slot = 0;
    session.began = std::chrono::steady_clock::now();
    session.ended = session.began;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.push_back(session);
        slot = m_sessions.size() - 1;
    }
    std::unique_ptr<stKeptSession> kept = KeepSession(*input, slot);
    std::map<int, int64_t> lastDts;
    AvPacketPtr packet(av_packet_alloc());
    while (!m_stop && av_read_frame(input.get(), packet.get()) >= 0) {
        const AVMediaType type = input->streams[packet->stream_index]->codecpar->codec_type;
        const int64_t dts = packet->dts;
        const int index = packet->stream_index;
        const int flags = packet->flags;
        if (kept)
            kept->Write(*packet, *input);
        std::lock_guard<std::mutex> lock(m_mutex);
        stSession &current = m_sessions[slot];
        current.ended = std::chrono::steady_clock::now();
        if (type == AVMEDIA_TYPE_VIDEO) {
            if (current.videoPackets == 0)
                current.firstVideoKey = (flags & AV_PKT_FLAG_KEY) != 0;
            ++current.videoPackets;
            current.keyFrames += (flags & AV_PKT_FLAG_KEY) ? 1 : 0;
        } else if (type == AVMEDIA_TYPE_AUDIO) {
            ++current.audioPackets;
        }
        if (dts != AV_NOPTS_VALUE) {
            const auto last = lastDts.find(index);
            if (last != lastDts.end() && dts < last->second)
                current.dtsMonotonic = false;
            lastDts[index] = dts;
        }
        av_packet_unref(packet.get());
        m_changed.notify_all();
    }
    kept.reset();
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_ended;
    m_changed.notify_all();
    return 0;
}

bool CPushReceiver::WaitForVideo(int packets, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int total = 0;
        for (const stSession &session : m_sessions)
            total += session.videoPackets;
        return total >= packets;
    });
}

bool CPushReceiver::WaitForSessionEnd(int sessions, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_ended >= sessions; });
}

std::vector<CPushReceiver::stSession> CPushReceiver::Sessions() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions;
}
