#include "ReadWorkerTestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <memory>
#include <thread>

namespace {

struct stInputCloser
{
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
struct stOutputCloser
{
    void operator()(AVFormatContext *context) const
    {
        if (context->pb)
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
struct stPacketFree
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};

} // namespace

int WriteShiftedCopy(const std::filesystem::path &from, const std::filesystem::path &to, int mediaType, int64_t shiftUs)
{
    AVFormatContext *opened = nullptr;
    int result = avformat_open_input(&opened, from.c_str(), nullptr, nullptr);
    if (result < 0)
        return result;
    std::unique_ptr<AVFormatContext, stInputCloser> in(opened);
    if ((result = avformat_find_stream_info(in.get(), nullptr)) < 0)
        return result;
    AVFormatContext *made = nullptr;
    if ((result = avformat_alloc_output_context2(&made, nullptr, nullptr, to.c_str())) < 0)
        return result;
    std::unique_ptr<AVFormatContext, stOutputCloser> out(made);
    const AVMediaType shifted = mediaType == 0 ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream *stream = avformat_new_stream(out.get(), nullptr);
        if (!stream || (result = avcodec_parameters_copy(stream->codecpar, in->streams[i]->codecpar)) < 0)
            return stream ? result : AVERROR(ENOMEM);
        stream->codecpar->codec_tag = 0;
        stream->time_base = in->streams[i]->time_base;
    }
    if ((result = avio_open(&out->pb, to.c_str(), AVIO_FLAG_WRITE)) < 0 ||
        (result = avformat_write_header(out.get(), nullptr)) < 0)
        return result;
    std::unique_ptr<AVPacket, stPacketFree> packet(av_packet_alloc());
    while ((result = av_read_frame(in.get(), packet.get())) >= 0) {
        const AVStream *source = in->streams[packet->stream_index];
        if (source->codecpar->codec_type == shifted) {
            const int64_t ticks = av_rescale_q(shiftUs, AVRational{1, 1000000}, source->time_base);
            if (packet->pts != AV_NOPTS_VALUE)
                packet->pts += ticks;
            if (packet->dts != AV_NOPTS_VALUE)
                packet->dts += ticks;
        }
        av_packet_rescale_ts(packet.get(), source->time_base, out->streams[packet->stream_index]->time_base);
        if ((result = av_interleaved_write_frame(out.get(), packet.get())) < 0)
            return result;
    }
    if (result != AVERROR_EOF)
        return result;
    return av_write_trailer(out.get());
}

int64_t StreamLengthUs(const std::filesystem::path &file, int mediaType)
{
    AVFormatContext *opened = nullptr;
    if (avformat_open_input(&opened, file.c_str(), nullptr, nullptr) < 0)
        return -1;
    std::unique_ptr<AVFormatContext, stInputCloser> in(opened);
    if (avformat_find_stream_info(in.get(), nullptr) < 0)
        return -1;
    const AVMediaType wanted = mediaType == 0 ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    int64_t firstPts = INT64_MAX, firstDts = INT64_MAX, endPts = INT64_MIN, endDts = INT64_MIN;
    std::unique_ptr<AVPacket, stPacketFree> packet(av_packet_alloc());
    while (av_read_frame(in.get(), packet.get()) >= 0) {
        const AVStream *stream = in->streams[packet->stream_index];
        if (stream->codecpar->codec_type == wanted) {
            const auto us = [stream](int64_t ticks) { return av_rescale_q(ticks, stream->time_base, AVRational{1, 1000000}); };
            const int64_t duration = us(packet->duration);
            if (packet->pts != AV_NOPTS_VALUE) {
                firstPts = std::min(firstPts, us(packet->pts));
                endPts = std::max(endPts, us(packet->pts) + duration);
            }
            if (packet->dts != AV_NOPTS_VALUE) {
                firstDts = std::min(firstDts, us(packet->dts));
                endDts = std::max(endDts, us(packet->dts) + duration);
            }
        }
        av_packet_unref(packet.get());
    }
    return std::max(endPts - firstPts, endDts - firstDts);
}

bool IsAnnexB(const uint8_t *data, int32_t length)
{
    return length >= 4 && data && data[0] == 0 && data[1] == 0 && (data[2] == 1 || (data[2] == 0 && data[3] == 1));
}

stReadCounts ReadPackets(CMediaSourceReader &reader, int videoWanted)
{
    stReadCounts counts;
    FramePackage package;
    while (counts.video < videoWanted && (counts.last = reader.ReadPacket(package)) > 0) {
        if (package.mediaType == TYX_MEDIA_VIDEO) {
            ++counts.video;
            counts.keys += (package.flags & TYX_PKT_FLAG_KEY) ? 1 : 0;
            counts.annexB += IsAnnexB(package.pData, package.nLength) ? 1 : 0;
        } else if (package.mediaType == TYX_MEDIA_AUDIO) {
            ++counts.audio;
        }
        counts.noDts += package.dts == TYX_NOPTS_VALUE ? 1 : 0;
    }
    return counts;
}

std::vector<stSeenPackage> DataOnly(const std::vector<stSeenPackage> &all)
{
    std::vector<stSeenPackage> data;
    for (const stSeenPackage &p : all) {
        if (p.length > 0)
            data.push_back(p);
    }
    return data;
}

int CountStatus(const std::vector<stSeenPackage> &all, int32_t status)
{
    int count = 0;
    for (const stSeenPackage &p : all)
        count += p.length == status ? 1 : 0;
    return count;
}

size_t FindFrom(const std::vector<stSeenPackage> &all, size_t from, const std::function<bool(const stSeenPackage &)> &match)
{
    for (size_t i = from; i < all.size(); ++i) {
        if (match(all[i]))
            return i;
    }
    return all.size();
}

void CTestConsumers::Add(uint32_t outputId, int32_t kind)
{
    stWorkerLink link;
    link.CreateQueue();
    link.producerId = outputId & ~0xFFu;
    link.consumerId = 0x10000004u + static_cast<uint32_t>(m_ends.size()) * 0x10000u;
    link.paketKind = kind;
    link.lastActiveTime = 1;
    m_links[outputId][link.consumerId] = link;
    m_ends[outputId] = link;
}

std::vector<stSeenPackage> CTestConsumers::Take(uint32_t outputId)
{
    std::vector<stSeenPackage> seen;
    stWorkerLink &link = m_ends.at(outputId);
    CCsLock lock(*link.queueLock);
    while (!link.queue->empty()) {
        FramePackage package = link.queue->front();
        link.queue->pop_front();
        stSeenPackage entry;
        entry.length = package.nLength;
        entry.pts = package.pts;
        entry.dts = package.dts;
        entry.duration = package.duration;
        entry.flags = package.flags;
        entry.kind = package.kind;
        entry.mediaType = package.mediaType;
        entry.streamIndex = package.streamIndex;
        entry.readTime = package.readTime;
        entry.annexB = IsAnnexB(package.pData, package.nLength);
        seen.push_back(entry);
        FreeFramePackage(package);
    }
    return seen;
}

std::vector<uint32_t> CTestConsumers::Outputs() const
{
    std::vector<uint32_t> outputs;
    for (const auto &[id, link] : m_ends)
        outputs.push_back(id);
    return outputs;
}

void CHandOverLog::Collect(CMultiStrmMediaReadWorker &worker, int64_t now)
{
    EXPECT_TRUE(WaitUntil([&worker] { return worker.PendingStreamPackages() == 0; }, 10000, 1));
    for (const uint32_t output : m_consumers.Outputs()) {
        for (stSeenPackage &seen : m_consumers.Take(output)) {
            seen.handedAt = now;
            m_seen[output].push_back(seen);
        }
    }
}

std::vector<stSeenPackage> CTestConsumers::TakeUntil(uint32_t outputId,
                                                     const std::function<bool(const std::vector<stSeenPackage> &)> &done,
                                                     int timeoutMs)
{
    std::vector<stSeenPackage> &all = m_taken[outputId];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (const stSeenPackage &entry : Take(outputId))
            all.push_back(entry);
        if (done(all) || std::chrono::steady_clock::now() >= deadline)
            return all;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

stMediaSourceReadWorkerConfig MakeSourceConfig(uint32_t workerId, int32_t msType, const std::wstring &path, bool audio)
{
    stMediaSourceReadWorkerConfig config;
    config.Name = L"Source1";
    config.No = 1;
    config.WorkerId = static_cast<int32_t>(workerId);
    config.MSTYPE = msType;
    config.MSFullPath = path;
    config.UseNTP = 0;
    config.UseUTC = 0;
    stTYXStreamConfig video;
    video.avStrmId = -1;
    video.StreamId = static_cast<int32_t>(workerId) + 1;
    video.StrmAlias = L"V1";
    video.MediaType = 0;
    video.EstmtDly = 300;
    config.Streams[1] = video;
    if (audio) {
        stTYXStreamConfig sound;
        sound.avStrmId = -2;
        sound.StreamId = static_cast<int32_t>(workerId) + 2;
        sound.StrmAlias = L"A1";
        sound.MediaType = 1;
        sound.EstmtDly = 150;
        config.Streams[2] = sound;
    }
    config.BuildIOItems();
    return config;
}

void CScriptReader::AddStream(int16_t index, int32_t mediaType, AVRational timeBase, AVRational frameRate, int32_t codecId)
{
    stMediaStreamInfo info;
    info.streamIndex = index;
    info.mediaType = mediaType;
    info.timeBase = timeBase;
    info.frameRate = frameRate;
    info.codecId = codecId;
    if (mediaType == 0) {
        info.width = 320;
        info.height = 240;
    } else {
        info.sampleRate = 48000;
        info.frameSize = 1024;
    }
    m_streams[index] = info;
}

void CScriptReader::RenumberStreamsAtOpen(int open, const std::map<int16_t, int16_t> &newIndexes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_renumberAt = open;
    m_renumbering = newIndexes;
}

void CScriptReader::Push(const stPacket &packet)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.push_back(packet);
    m_changed.notify_all();
}

size_t CScriptReader::Remaining()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.size();
}

void CScriptReader::SetBlocking(bool reads, bool opens)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blockReads = reads;
    m_blockOpens = opens;
    m_changed.notify_all();
}

bool CScriptReader::WaitWhileBlocked(std::unique_lock<std::mutex> &lock, const std::function<bool()> &blocking)
{
    // The abort has no notification of its own: it is looked at as FFmpeg's callback would be.
    while (blocking()) {
        if (AbortRequested()) {
            m_blocked = false;
            return false;
        }
        m_blocked = true;
        m_changed.wait_for(lock, std::chrono::milliseconds(5));
    }
    m_blocked = false;
    return true;
}

int32_t CScriptReader::OpenMediaSource(const std::string &path, StreamRequestMap *video, StreamRequestMap *audio)
{
    std::lock_guard<std::recursive_mutex> io(m_ioMutex);
    CloseLocked();
    CMediaSourceReader::OpenMediaSource(path, video, audio);
    const int open = ++m_opens;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!WaitWhileBlocked(lock, [this] { return m_blockOpens; }))
            return AVERROR_EXIT;
        if (open == m_renumberAt) {
            std::map<int16_t, stMediaStreamInfo> renumbered;
            for (auto &[index, info] : m_streams) {
                const auto moved = m_renumbering.find(index);
                info.streamIndex = moved != m_renumbering.end() ? moved->second : index;
                renumbered[info.streamIndex] = info;
            }
            m_streams = std::move(renumbered);
        }
    }
    if (m_openResult < 0)
        return m_openResult;
    int32_t count = 0;
    auto select = [&](int16_t number, int16_t index) {
        m_params[number] = m_streams.at(index);
        m_selected[index] = nullptr;
        ++count;
    };
    auto take = [&](StreamRequestMap *requests, int32_t type, int16_t marker) {
        if (!requests)
            return;
        if (requests->empty()) {
            int16_t number = 1;
            for (const auto &[streamIndex, info] : m_streams) {
                if (info.mediaType != type)
                    continue;
                while (m_params.count(number) || (video && video->count(number)) || (audio && audio->count(number)))
                    ++number;
                (*requests)[number] = streamIndex;
                select(number, streamIndex);
            }
            return;
        }
        for (auto &[number, index] : *requests) {
            // An index that holds the other media type asks for the best stream of this one.
            const auto named = m_streams.find(index);
            const bool best = index == marker || (named != m_streams.end() && named->second.mediaType != type);
            int16_t chosen = TYX_STREAM_NOT_TAKEN;
            for (const auto &[streamIndex, info] : m_streams) {
                if (info.mediaType == type && (best || index == streamIndex) && !m_selected.count(streamIndex)) {
                    chosen = streamIndex;
                    break;
                }
            }
            index = chosen;
            if (chosen >= 0)
                select(number, chosen);
        }
    };
    take(video, 0, TYX_BEST_VIDEO_STREAM);
    take(audio, 1, TYX_BEST_AUDIO_STREAM);
    if (count == 0)
        return TYX_MSR_STREAM_NOT_FOUND;
    m_opened = true;
    return count;
}

int32_t CScriptReader::ReadPacket(FramePackage &package)
{
    if (!m_opened)
        return TYX_MSR_NOT_OPENED;
    stPacket next;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!WaitWhileBlocked(lock, [this] { return m_blockReads && m_script.empty(); }))
            return AVERROR_EXIT;
        if (m_script.empty())
            return 0;
        next = m_script.front();
        m_script.pop_front();
    }
    m_clock.Advance(next.readUs);
    if (next.result <= 0)
        return next.result;
    const auto stream = m_streams.find(next.stream);
    package.pData = m_data.data();
    package.nLength = static_cast<int32_t>(m_data.size());
    package.pts = next.pts;
    package.dts = next.dts;
    package.duration = next.duration;
    package.flags = next.key ? 1 : 0;
    package.streamIndex = next.stream;
    package.mediaType = stream != m_streams.end() ? stream->second.mediaType : -1;
    package.inDevice = 0;
    return package.nLength;
}

