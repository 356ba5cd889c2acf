#include "input/MediaFileReader.h"

#include "core/debuglog.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdlib>
#include <map>
#include <set>

namespace {

constexpr int kSeekAnyFrame = AVSEEK_FLAG_ANY;                          // 4
constexpr int kSeekBackwardByFrame = AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_FRAME; // 9
const AVRational kMicroseconds{1, 1000000};
constexpr int kMaxSeekAttempts = 3;

// MPEG transport and program streams: they have no index, a seek by time searches the stamps of
// one stream in the bytes and lands on that stream's packet, past what the others stored before it
// (a picture sent ahead of its sound); they can start again at their first byte.
bool StartsOverAtFirstByte(const AVInputFormat *format)
{
    return format && (format->flags & AVFMT_TS_DISCONT) && !(format->flags & (AVFMT_NO_BYTE_SEEK | AVFMT_NOBINSEARCH));
}

// When a package is shown, in its stream's time base: its pts, else its dts.
int64_t ShownAt(const FramePackage &package)
{
    return package.pts != TYX_NOPTS_VALUE ? package.pts : package.dts;
}

} // namespace

int32_t CMediaFileReader::OpenMediaSource(const std::string &path, StreamRequestMap *video, StreamRequestMap *audio)
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    if (m_opened || m_format)
        CloseLocked();
    if (path.empty())
        return TYX_MSR_NO_SOURCE;
    CMediaSourceReader::OpenMediaSource(path, video, audio);

    int result = avformat_open_input(&m_format, path.c_str(), nullptr, nullptr);
    if (result < 0)
        return result;
    if ((result = avformat_find_stream_info(m_format, nullptr)) < 0) {
        CloseLocked();
        return result;
    }
    if (m_format->nb_streams == 0) {
        CloseLocked();
        return TYX_MSR_NO_STREAM;
    }
    int16_t videoCount = 0;
    int16_t audioCount = 0;
    result = SelectRequestedStreams(video, audio, videoCount, audioCount);
    if (result < 0)
        return result;
    m_maxRealtimeStart = 0;
    InitBitstreamFilters();
    m_opened = true;
    return result;
}

void CMediaFileReader::Rewind()
{
    av_seek_frame(m_format, -1, 0, kSeekAnyFrame);
    ResetFilters();
}

int32_t CMediaFileReader::SeekToPosition(int16_t streamIndex, int64_t position)
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    if (!m_format)
        return TYX_MSR_NOT_OPENED;
    int result;
    if (streamIndex >= 0 && position != TYX_NOPTS_VALUE) {
        result = av_seek_frame(m_format, streamIndex, position, kSeekBackwardByFrame);
    } else {
        result = av_seek_frame(m_format, -1, m_format->start_time != AV_NOPTS_VALUE ? m_format->start_time : 0,
                               AVSEEK_FLAG_BACKWARD);
    }
    ResetFilters();
    return result;
}

int32_t CMediaFileReader::SeekToStart(int16_t streamIndex, int64_t position)
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    if (!m_format)
        return TYX_MSR_NOT_OPENED;
    if (!StartsOverAtFirstByte(m_format->iformat))
        return SeekToPosition(streamIndex, position);
    const int result = av_seek_frame(m_format, -1, 0, AVSEEK_FLAG_BYTE);
    ResetFilters();
    return result;
}

void CMediaFileReader::FindFirstTimestamps(StreamSeekMap &seeks)
{
    std::set<int16_t> met;
    FramePackage package;
    while (met.size() < seeks.size()) {
        if (ReadPacket(package) <= 0)
            return;
        const auto seek = seeks.find(package.streamIndex);
        if (seek == seeks.end() || !met.insert(package.streamIndex).second)
            continue;
        seek->second.firstPts = package.pts;
        seek->second.firstDts = package.dts;
        if (package.dts == TYX_NOPTS_VALUE)
            seek->second.hasTimestamps = 0;
    }
}

bool CMediaFileReader::ReadFirstPacketOf(int16_t streamIndex, FramePackage &package)
{
    for (;;) {
        const int32_t result = ReadPacket(package);
        if (result < 0) {
            TYX_LOG(3, L"[SeekStreamsBySimpleWay]Packat reading failed with error=%d returned!", result);
            return false;
        }
        if (result == 0) {
            TYX_LOG(3, L"[SeekStreamsBySimpleWay]EOF met in packat reading !");
            return false;
        }
        if (package.streamIndex == streamIndex)
            return true;
    }
}

bool CMediaFileReader::SeekToKeyFrame(stStreamSeekInfo &seek, int64_t target, FramePackage &key)
{
    // Demuxers seek by dts (Matroska) or by pts (MP4), and with B-frames the two differ: a key
    // frame shown after the target sends the seek back once more, to the key frame before it.
    int64_t position = target;
    for (int attempt = 0; attempt < kMaxSeekAttempts; ++attempt) {
        const int result = av_seek_frame(m_format, seek.streamIndex, position, kSeekBackwardByFrame);
        ResetFilters();
        if (result < 0) {
            TYX_LOG(3, L"[SeekStreamsBySimpleWay]Frame seeking failed with error=%d returned!", result);
            return false;
        }
        if (!ReadFirstPacketOf(seek.streamIndex, key))
            return false;
        const int64_t shown = ShownAt(key);
        const int64_t decoded = key.dts != TYX_NOPTS_VALUE ? key.dts : shown;
        if (key.mediaType != TYX_MEDIA_VIDEO || !(key.flags & TYX_PKT_FLAG_KEY) || shown == TYX_NOPTS_VALUE ||
            shown <= target || decoded == TYX_NOPTS_VALUE || decoded - 1 >= position)
            return true;
        position = decoded - 1;
    }
    return true;
}

void CMediaFileReader::FindKeyAndStart(stStreamSeekInfo &seek, FramePackage key, int64_t target)
{
    // From the key frame the seek found, read on to the first key frame shown after the target:
    // the last key frame shown at or before it is where playback starts, and the packets from
    // there to that next key frame are indexed pts -> dts to choose the start among them.
    std::map<int64_t, int64_t> index;
    auto add = [&index](const FramePackage &p) {
        if (p.pts != TYX_NOPTS_VALUE)
            index[p.pts] = p.dts;
    };
    add(key);
    const bool keyHoldsTarget = [&] {
        const int64_t shown = ShownAt(key);
        return shown != TYX_NOPTS_VALUE && shown <= target && target < shown + key.duration;
    }();
    FramePackage package;
    while (!keyHoldsTarget && ReadPacket(package) > 0) {
        if (package.streamIndex != seek.streamIndex)
            continue;
        const int64_t shown = ShownAt(package);
        if ((package.flags & TYX_PKT_FLAG_KEY) && shown != TYX_NOPTS_VALUE && shown <= target) {
            key = package;
            index.clear();
            add(key);
            if (target < shown + key.duration)
                break;
            continue;
        }
        add(package);
        if (package.flags & TYX_PKT_FLAG_KEY)
            break;
    }
    seek.keyPts = key.pts;
    seek.keyDts = key.dts;
    if (key.pts == TYX_NOPTS_VALUE)
        seek.hasTimestamps = 0;
    const int64_t shown = ShownAt(key);
    // A target before the stream's first key frame starts at that key frame.
    if (shown == TYX_NOPTS_VALUE || target < shown + key.duration) {
        seek.chosenPts = key.pts;
        seek.chosenDts = key.dts;
        return;
    }
    int64_t previousPts = key.pts;
    int64_t previousDts = key.dts;
    for (const auto &[pts, dts] : index) {
        if (pts < key.pts)
            continue;
        if (previousPts != TYX_NOPTS_VALUE && previousPts <= target && target <= pts) {
            // The nearer of the two; the later one on a tie.
            const bool earlier = target - previousPts < pts - target;
            seek.chosenPts = earlier ? previousPts : pts;
            seek.chosenDts = earlier ? previousDts : dts;
            return;
        }
        previousPts = pts;
        previousDts = dts;
    }
    seek.chosenPts = previousPts;
    seek.chosenDts = previousDts;
}

bool CMediaFileReader::PositionStream(stStreamSeekInfo &seek)
{
    const AVStream *stream = m_selected.at(seek.streamIndex);
    seek.timeBase = stream->time_base;
    // The target is a presentation time: the picture shown that long after the stream's first.
    const int64_t first = seek.firstPts != TYX_NOPTS_VALUE ? seek.firstPts : seek.firstDts;
    int64_t target = av_rescale_q(seek.target, kMicroseconds, stream->time_base);
    if (first != TYX_NOPTS_VALUE)
        target += first;

    FramePackage key;
    if (!SeekToKeyFrame(seek, target, key))
        return false;
    if (key.mediaType == TYX_MEDIA_VIDEO && (key.flags & TYX_PKT_FLAG_KEY)) {
        FindKeyAndStart(seek, key, target);
    } else {
        seek.chosenPts = seek.keyPts = key.pts;
        seek.chosenDts = seek.keyDts = key.dts;
    }
    return seek.chosenDts != TYX_NOPTS_VALUE;
}

int32_t CMediaFileReader::SeekStreamsBySimpleWay(StreamSeekMap &seeks, int16_t &outIndex, int64_t &outPosition)
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    if (!m_format)
        return TYX_MSR_NOT_OPENED;
    outIndex = -1;
    outPosition = TYX_NOPTS_VALUE;

    Rewind();
    FindFirstTimestamps(seeks);
    Rewind();

    int32_t positioned = 0;
    int64_t smallestOffset = 0;
    for (auto &[index, seek] : seeks) {
        seek.streamIndex = index;
        const auto selected = m_selected.find(index);
        if (selected == m_selected.end() || !selected->second->codecpar)
            return TYX_MSR_STREAM_NOT_FOUND;
        if (!PositionStream(seek))
            continue;
        // A key frame without dts (leading B-frame streams) is placed by its pts.
        const int64_t keyTime = seek.keyDts != TYX_NOPTS_VALUE ? seek.keyDts : seek.keyPts;
        if (keyTime != TYX_NOPTS_VALUE) {
            const int64_t ticks = seek.firstDts != TYX_NOPTS_VALUE ? keyTime - seek.firstDts : keyTime;
            const int64_t offset = av_rescale_q(ticks, seek.timeBase, kMicroseconds);
            if (outPosition == TYX_NOPTS_VALUE || offset < smallestOffset) {
                outIndex = index;
                outPosition = keyTime;
                smallestOffset = offset;
            }
        }
        seek.positioned = 1;
        ++positioned;
    }
    if (positioned > 0 && outIndex >= 0 && outPosition != TYX_NOPTS_VALUE) {
        av_seek_frame(m_format, outIndex, outPosition, kSeekBackwardByFrame);
        ResetFilters();
    } else if (positioned == 0) {
        Rewind();
    }
    return positioned;
}
