#include "RtmpPublisher.h"
#include "StreamCopySession.h"

#include "support/Wait.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const AVRational kMicroseconds{1, 1000000};

struct stBreak
{
    const std::atomic<bool> *stop;
    const std::atomic<int> *restartGapMs;
};

int BreakRequested(void *opaque)
{
    const auto *requests = static_cast<const stBreak *>(opaque);
    return requests->stop->load() || requests->restartGapMs->load() >= 0 ? 1 : 0;
}

// Sleeps until then, or until the break is asked for; false when it was.
bool SleepUntil(Clock::time_point when, const stBreak &requests)
{
    while (Clock::now() < when) {
        if (BreakRequested(const_cast<stBreak *>(&requests)))
            return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(when - Clock::now(), std::chrono::milliseconds(5)));
    }
    return true;
}

struct stConnection : stStreamCopySession
{
    AVPacket *packet = nullptr;
    std::vector<int> outIndex; // input stream -> output stream, -1: not sent

    ~stConnection() { av_packet_free(&packet); }
};

} // namespace

int CRtmpPublisher::Start(const std::filesystem::path &file, const std::string &url, const stOptions &options)
{
    Stop();
    m_file = file;
    m_url = url;
    m_options = options;
    m_stop = false;
    m_restartGapMs = -1;
    m_connections = 0;
    m_packets = 0;
    m_error = 0;
    m_thread = std::thread([this] { Run(); });
    WaitUntil([this] { return m_connections > 0 || m_error < 0; }, 30000, 5);
    if (m_connections > 0)
        return 0;
    const int error = m_error < 0 ? m_error.load() : AVERROR(ETIMEDOUT);
    Stop();
    return error;
}

void CRtmpPublisher::Restart(double gapSeconds)
{
    m_restartGapMs = std::max(0, static_cast<int>(std::lround(gapSeconds * 1000.0)));
}

void CRtmpPublisher::Stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void CRtmpPublisher::Run()
{
    while (!m_stop) {
        const int result = Publish();
        if (result < 0) {
            m_error = result;
            return;
        }
        const int gapMs = m_restartGapMs.exchange(-1);
        if (gapMs > 0) {
            const auto until = Clock::now() + std::chrono::milliseconds(gapMs);
            while (!m_stop && Clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

int CRtmpPublisher::Publish()
{
    stConnection c;
    int result = avformat_open_input(&c.in, m_file.c_str(), nullptr, nullptr);
    if (result < 0)
        return result;
    if ((result = avformat_find_stream_info(c.in, nullptr)) < 0)
        return result;
    if ((result = avformat_alloc_output_context2(&c.out, nullptr, "flv", m_url.c_str())) < 0)
        return result;
    int audioStreams = 0;
    int videoStreams = 0;
    for (unsigned i = 0; i < c.in->nb_streams; ++i) {
        const AVCodecParameters *par = c.in->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO) {
            c.outIndex.push_back(-1);
            continue;
        }
        AVStream *stream = avformat_new_stream(c.out, nullptr);
        if (!stream)
            return AVERROR(ENOMEM);
        avcodec_parameters_copy(stream->codecpar, par);
        stream->codecpar->codec_tag = 0;
        c.outIndex.push_back(stream->index);
        audioStreams += par->codec_type == AVMEDIA_TYPE_AUDIO ? 1 : 0;
        videoStreams += par->codec_type == AVMEDIA_TYPE_VIDEO ? 1 : 0;
    }

    const stBreak requests{&m_stop, &m_restartGapMs};
    const AVIOInterruptCB interrupt{BreakRequested, const_cast<stBreak *>(&requests)};
    if ((result = avio_open2(&c.out->pb, m_url.c_str(), AVIO_FLAG_WRITE, &interrupt, nullptr)) < 0)
        return BreakRequested(const_cast<stBreak *>(&requests)) ? 0 : result;
    if ((result = avformat_write_header(c.out, nullptr)) < 0)
        return BreakRequested(const_cast<stBreak *>(&requests)) ? 0 : result;
    c.headerWritten = true;
    ++m_connections;

    // The file's earliest stamp is the connection's 0 (AAC's priming makes the sound start below 0).
    const int64_t originUs = c.in->start_time == AV_NOPTS_VALUE ? 0 : c.in->start_time;
    const auto start = Clock::now() - std::chrono::milliseconds(m_connections > 1 ? m_options.returnBurstMs : 0);
    int64_t loopOffsetUs = 0;
    int64_t lastEndUs = 0;
    // The media type that goes first, when one does; the other's packets wait for its first.
    const AVMediaType leading = m_options.soundFirst && audioStreams > 0    ? AVMEDIA_TYPE_AUDIO
                                : m_options.pictureFirst && videoStreams > 0 ? AVMEDIA_TYPE_VIDEO
                                                                             : AVMEDIA_TYPE_UNKNOWN;
    bool leadSent = leading == AVMEDIA_TYPE_UNKNOWN;
    std::deque<AVPacket *> held; // read before the first packet of the leading type
    c.packet = av_packet_alloc();
    auto write = [&](AVPacket *packet) {
        const int written = av_write_frame(c.out, packet);
        if (written >= 0)
            ++m_packets;
        return written;
    };
    result = 0;
    while (result >= 0 && !BreakRequested(const_cast<stBreak *>(&requests))) {
        AVPacket *packet = c.packet;
        if (av_read_frame(c.in, packet) < 0) {
            loopOffsetUs = lastEndUs;
            if (av_seek_frame(c.in, -1, 0, AVSEEK_FLAG_BACKWARD) < 0) {
                result = AVERROR(EIO);
                break;
            }
            continue;
        }
        const int source = packet->stream_index;
        const int target = source < static_cast<int>(c.outIndex.size()) ? c.outIndex[source] : -1;
        if (target < 0 || packet->dts == AV_NOPTS_VALUE) {
            av_packet_unref(packet);
            continue;
        }
        const AVRational inBase = c.in->streams[source]->time_base;
        const AVRational outBase = c.out->streams[target]->time_base;
        const int64_t dtsUs = av_rescale_q(packet->dts, inBase, kMicroseconds) - originUs + loopOffsetUs;
        const int64_t ptsUs =
            packet->pts == AV_NOPTS_VALUE ? dtsUs : av_rescale_q(packet->pts, inBase, kMicroseconds) - originUs + loopOffsetUs;
        lastEndUs = std::max(lastEndUs, dtsUs + av_rescale_q(packet->duration, inBase, kMicroseconds));
        // Out in real time; stamped on the camera's own clock.
        if (!SleepUntil(start + std::chrono::microseconds(dtsUs), requests)) {
            av_packet_unref(packet);
            break;
        }
        const auto stamp = [&](int64_t us) {
            return av_rescale_q(std::llround(static_cast<double>(us) * m_options.clockRate), kMicroseconds, outBase);
        };
        packet->dts = stamp(dtsUs);
        packet->pts = std::max(packet->dts, stamp(ptsUs));
        packet->duration = av_rescale_q(packet->duration, inBase, outBase);
        packet->stream_index = target;
        packet->pos = -1;
        const bool leads = c.out->streams[target]->codecpar->codec_type == leading;
        if (!leadSent && !leads) {
            held.push_back(av_packet_clone(packet));
            av_packet_unref(packet);
            continue;
        }
        const int64_t leadDts = packet->dts;
        result = write(packet);
        av_packet_unref(packet);
        if (leads && !leadSent) {
            leadSent = true;
            while (result >= 0 && !held.empty()) {
                // FLV takes nothing before its first packet: what came earlier is left out (the
                // sound before the first picture; both streams count in ms).
                if (held.front()->dts >= leadDts)
                    result = write(held.front());
                av_packet_free(&held.front());
                held.pop_front();
            }
        }
    }
    for (AVPacket *waiting : held)
        av_packet_free(&waiting);
    // A write broken off by a stop or a restart is no failure.
    if (result < 0 && BreakRequested(const_cast<stBreak *>(&requests)))
        result = 0;
    return result;
}
