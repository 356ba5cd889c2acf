#include "RtmpTestServer.h"

#include "NetTestSupport.h"
#include "StreamCopySession.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const AVRational kMicroseconds{1, 1000000};

int StopRequested(void *server)
{
    return static_cast<std::atomic<bool> *>(server)->load() ? 1 : 0;
}

void SleepUntil(Clock::time_point when, const std::atomic<bool> &stop)
{
    while (!stop && Clock::now() < when)
        std::this_thread::sleep_for(std::min<Clock::duration>(when - Clock::now(), std::chrono::milliseconds(5)));
}

struct stSession : stStreamCopySession
{
    std::map<int, int> outIndex; // input stream -> output stream
};

} // namespace

int CRtmpTestServer::Start(const std::filesystem::path &file, const stBehaviour &behaviour)
{
    m_file = file;
    m_behaviour = behaviour;
    m_port = FindFreeTcpPort();
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

void CRtmpTestServer::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

bool CRtmpTestServer::WaitUntilStalled(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_stalled && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return m_stalled;
}

void CRtmpTestServer::Run()
{
    while (!m_stop) {
        const bool chosen = m_sessions + 1 == m_behaviour.session;
        const bool served = ServeSession(chosen) > 0;
        if (served && chosen && m_behaviour.dropAfterMs >= 0 && m_behaviour.downtimeMs > 0)
            SleepUntil(Clock::now() + std::chrono::milliseconds(m_behaviour.downtimeMs), m_stop);
    }
}

int CRtmpTestServer::ServeSession(bool chosen)
{
    stSession session;
    if (avformat_open_input(&session.in, m_file.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(session.in, nullptr) < 0)
        return -1;
    if (avformat_alloc_output_context2(&session.out, nullptr, "flv", Url().c_str()) < 0)
        return -1;
    for (unsigned i = 0; i < session.in->nb_streams; ++i) {
        const AVCodecParameters *par = session.in->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        AVStream *stream = avformat_new_stream(session.out, nullptr);
        avcodec_parameters_copy(stream->codecpar, par);
        stream->codecpar->codec_tag = 0;
        session.outIndex[static_cast<int>(i)] = stream->index;
    }

    // Blocks until a player connects and asks to play (or the server stops).
    AVDictionary *options = nullptr;
    av_dict_set(&options, "listen", "1", 0);
    const AVIOInterruptCB interrupt{StopRequested, &m_stop};
    const int opened = avio_open2(&session.out->pb, Url().c_str(), AVIO_FLAG_WRITE, &interrupt, &options);
    av_dict_free(&options);
    if (opened < 0)
        return 0;
    if (avformat_write_header(session.out, nullptr) < 0)
        return 0;
    session.headerWritten = true;
    ++m_sessions;

    const auto start = Clock::now();
    int64_t offsetUs = 0;
    int64_t lastEndUs = 0;
    AVPacket *packet = av_packet_alloc();
    for (;;) {
        if (m_stop)
            break;
        if (av_read_frame(session.in, packet) < 0) {
            if (!m_behaviour.loop)
                break;
            offsetUs = lastEndUs;
            av_seek_frame(session.in, -1, 0, AVSEEK_FLAG_BACKWARD);
            continue;
        }
        const auto target = session.outIndex.find(packet->stream_index);
        if (target == session.outIndex.end() || packet->dts == AV_NOPTS_VALUE) {
            av_packet_unref(packet);
            continue;
        }
        const AVRational inBase = session.in->streams[packet->stream_index]->time_base;
        const int64_t atUs = av_rescale_q(packet->dts, inBase, kMicroseconds) + offsetUs;
        lastEndUs = std::max(lastEndUs, atUs + av_rescale_q(packet->duration, inBase, kMicroseconds));
        if (chosen && m_behaviour.dropAfterMs >= 0 && atUs >= int64_t(m_behaviour.dropAfterMs) * 1000) {
            av_packet_unref(packet);
            break;
        }
        if (chosen && m_behaviour.stallAfterMs >= 0 && atUs >= int64_t(m_behaviour.stallAfterMs) * 1000) {
            av_packet_unref(packet);
            m_stalled = true;
            while (!m_stop)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            break;
        }
        SleepUntil(start + std::chrono::microseconds(atUs - int64_t(m_behaviour.burstMs) * 1000), m_stop);
        const int64_t shift = av_rescale_q(offsetUs, kMicroseconds, inBase);
        packet->pts = packet->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : packet->pts + shift;
        packet->dts += shift;
        av_packet_rescale_ts(packet, inBase, session.out->streams[target->second]->time_base);
        packet->stream_index = target->second;
        packet->pos = -1;
        if (av_interleaved_write_frame(session.out, packet) < 0)
            break;
    }
    av_packet_free(&packet);
    return 1;
}
