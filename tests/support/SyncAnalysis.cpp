#include "support/SyncAnalysis.h"

#include "support/FlashBeepClip.h"

#include "core/FfmpegHandles.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

namespace {

constexpr double kFlashThreshold = 133.0;  // halfway between the dark and the white of the clip
constexpr double kMarkThreshold = 125.0;   // below: a number block is set
constexpr double kBandShare = 0.3;
constexpr double kSoundOn = 0.2;           // the tones are at 0.5
constexpr double kSoundOff = 0.1;
constexpr double kQuietMs = 5.0;           // a burst ends after this long below kSoundOff
constexpr double kBeepTolMs = 40.0;
constexpr double kGapTolMs = 50.0;
constexpr double kToneTolMs = 15.0;

// The luma levels of one decoded picture inside the region: where it flashes and its number blocks.
struct stPictureLevels
{
    double flash = 0.0;
    double blocks[kFlashNumberBits] = {};
};

double MeanLuma(const AVFrame &gray, int x0, int y0, int x1, int y1)
{
    x0 = std::clamp(x0, 0, gray.width);
    x1 = std::clamp(x1, x0, gray.width);
    y0 = std::clamp(y0, 0, gray.height);
    y1 = std::clamp(y1, y0, gray.height);
    if (x1 <= x0 || y1 <= y0)
        return 0.0;
    double sum = 0.0;
    for (int y = y0; y < y1; ++y) {
        const uint8_t *row = gray.data[0] + y * gray.linesize[0];
        for (int x = x0; x < x1; ++x)
            sum += row[x];
    }
    return sum / (static_cast<double>(x1 - x0) * (y1 - y0));
}

stPictureLevels LevelsOf(const AVFrame &gray, const stSyncRegion &region)
{
    const int x0 = static_cast<int>(region.left * gray.width);
    const int y0 = static_cast<int>(region.top * gray.height);
    const int x1 = static_cast<int>((region.left + region.width) * gray.width);
    const int y1 = static_cast<int>((region.top + region.height) * gray.height);
    const int band = y1 - static_cast<int>(kBandShare * (y1 - y0));
    stPictureLevels levels;
    // Away from the edges, which a scaler blends with the neighbours.
    const int marginX = (x1 - x0) / 16;
    const int marginY = (band - y0) / 8;
    levels.flash = MeanLuma(gray, x0 + marginX, y0 + marginY, x1 - marginX, band - marginY);
    const int blockWidth = (x1 - x0) / kFlashNumberBits;
    const int bandHeight = y1 - band;
    for (int bit = 0; bit < kFlashNumberBits; ++bit) {
        const int bx = x0 + bit * blockWidth;
        levels.blocks[bit] = MeanLuma(gray, bx + blockWidth / 4, band + bandHeight / 4, bx + blockWidth * 3 / 4,
                                      y1 - bandHeight / 4);
    }
    return levels;
}

int NumberOf(const stPictureLevels &levels)
{
    int number = 0;
    for (int bit = 0; bit < kFlashNumberBits; ++bit)
        number = (number << 1) | (levels.blocks[bit] < kMarkThreshold ? 1 : 0);
    return number;
}

double MsOf(int64_t value, AVRational timeBase)
{
    return static_cast<double>(value) * av_q2d(timeBase) * 1000.0;
}

// Finds the flashes in the pictures as they are decoded: a run of flashing pictures is one flash
// that starts with its first picture; the run's most frequent number is its number.
class CFlashFinder
{
public:
    explicit CFlashFinder(const stSyncRegion &region) : m_region(region) {}

    void Take(const AVFrame &gray, double ms, double durationMs, stSyncReport &report)
    {
        // A picture the output left out (a late mux drops its slot) may have been the flash's first.
        const bool afterGap = ms - report.pictureEndMs > durationMs / 2;
        if (report.pictures++ == 0)
            report.pictureStartMs = ms;
        report.pictureEndMs = std::max(report.pictureEndMs, ms + durationMs);
        const stPictureLevels levels = LevelsOf(gray, m_region);
        const bool flashing = levels.flash > kFlashThreshold;
        if (flashing && !m_inRun) {
            m_inRun = true;
            // A flash already under way when the recording begins, or one that follows a missing
            // picture, has no known start.
            m_runValid = report.pictures > 1 && !afterGap;
            m_runStart = ms;
            m_votes.clear();
        }
        if (flashing)
            ++m_votes[NumberOf(levels)];
        if (!flashing && m_inRun)
            EndRun(report);
    }

    void Finish(stSyncReport &report)
    {
        if (m_inRun)
            EndRun(report);
    }

private:
    void EndRun(stSyncReport &report)
    {
        m_inRun = false;
        if (!m_runValid || m_votes.empty())
            return;
        const auto best = std::max_element(m_votes.begin(), m_votes.end(),
                                           [](const auto &a, const auto &b) { return a.second < b.second; });
        report.flashes.push_back({best->first, m_runStart});
    }

    stSyncRegion m_region;
    bool m_inRun = false;
    bool m_runValid = false;
    double m_runStart = 0.0;
    std::map<int, int> m_votes;
};

// Finds the tone bursts in the sound (channel 0), then reads each beep and its number tone.
class CBeepFinder
{
public:
    void Take(const AVFrame &sound, double ms, stSyncReport &report)
    {
        const double step = 1000.0 / std::max(1, sound.sample_rate);
        if (!m_haveSound) {
            report.soundStartMs = ms;
            m_startMs = ms;
            m_haveSound = true;
        }
        for (int i = 0; i < sound.nb_samples; ++i)
            TakeSample(SampleOf(sound, i), ms + i * step);
        report.soundEndMs = std::max(report.soundEndMs, ms + sound.nb_samples * step);
    }

    void Finish(stSyncReport &report)
    {
        if (m_inBurst)
            m_bursts.push_back({m_burstStart, m_lastLoud, m_burstValid});
        for (size_t i = 0; i + 1 < m_bursts.size(); ++i) {
            const stBurst &beep = m_bursts[i];
            const stBurst &tone = m_bursts[i + 1];
            const double beepLength = beep.end - beep.start;
            const double gap = tone.start - beep.end;
            const double toneLength = tone.end - tone.start;
            if (!beep.valid || std::abs(beepLength - kBeepMs) > kBeepTolMs || std::abs(gap - kNumberToneGapMs) > kGapTolMs)
                continue;
            const double steps = (toneLength - kNumberToneMs) / kNumberToneStepMs;
            const long number = std::lround(steps);
            if (number < 0 || std::abs(steps - number) * kNumberToneStepMs > kToneTolMs)
                continue;
            report.beeps.push_back({static_cast<int>(number), beep.start});
            ++i;
        }
    }

private:
    struct stBurst
    {
        double start;
        double end;
        bool valid;
    };

    static double SampleOf(const AVFrame &sound, int i)
    {
        const auto format = static_cast<AVSampleFormat>(sound.format);
        const int channels = sound.ch_layout.nb_channels;
        const int slot = av_sample_fmt_is_planar(format) ? i : i * channels;
        const uint8_t *data = sound.data[0];
        switch (format) {
        case AV_SAMPLE_FMT_FLTP:
        case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float *>(data)[slot];
        case AV_SAMPLE_FMT_DBLP:
        case AV_SAMPLE_FMT_DBL: return reinterpret_cast<const double *>(data)[slot];
        case AV_SAMPLE_FMT_S16P:
        case AV_SAMPLE_FMT_S16: return reinterpret_cast<const int16_t *>(data)[slot] / 32768.0;
        case AV_SAMPLE_FMT_S32P:
        case AV_SAMPLE_FMT_S32: return reinterpret_cast<const int32_t *>(data)[slot] / 2147483648.0;
        default: return 0.0;
        }
    }

    void TakeSample(double value, double ms)
    {
        const double level = std::abs(value);
        if (!m_inBurst) {
            if (level > kSoundOn) {
                m_inBurst = true;
                // A burst already under way when the recording begins has no known start.
                m_burstValid = ms - m_startMs > kQuietMs;
                m_burstStart = ms;
                m_lastLoud = ms;
            }
            return;
        }
        if (level > kSoundOff)
            m_lastLoud = ms;
        else if (ms - m_lastLoud > kQuietMs) {
            m_bursts.push_back({m_burstStart, m_lastLoud, m_burstValid});
            m_inBurst = false;
        }
    }

    bool m_haveSound = false;
    double m_startMs = 0.0;
    bool m_inBurst = false;
    bool m_burstValid = true;
    double m_burstStart = 0.0;
    double m_lastLoud = 0.0;
    std::vector<stBurst> m_bursts;
};

bool IsPlanarYuv(AVPixelFormat format)
{
    return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUV422P ||
           format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUV444P || format == AV_PIX_FMT_NV12;
}

AvCodecPtr OpenDecoder(const AVStream &stream)
{
    const AVCodec *decoder = avcodec_find_decoder(stream.codecpar->codec_id);
    if (!decoder)
        return nullptr;
    AvCodecPtr codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream.codecpar) < 0)
        return nullptr;
    codec->pkt_timebase = stream.time_base;
#if defined(__SANITIZE_THREAD__)
    // The race detector cannot see the decoder's own threads synchronise: one thread there.
    codec->thread_count = 1;
#else
    // Long recordings: the pictures decode on every core.
    codec->thread_count = 0;
#endif
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0)
        return nullptr;
    return codec;
}

// Decodes both streams and hands the pictures (as grey) and the sound to the finders.
class CRecordingReader
{
public:
    explicit CRecordingReader(const stSyncRegion &region) : m_flashes(region) {}

    bool Run(AVFormatContext &format, stSyncReport &report)
    {
        m_videoIndex = av_find_best_stream(&format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        m_audioIndex = av_find_best_stream(&format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (m_videoIndex < 0 || m_audioIndex < 0) {
            report.error = "the recording lacks a video or an audio stream";
            return false;
        }
        m_video = &*format.streams[m_videoIndex];
        m_audio = &*format.streams[m_audioIndex];
        m_videoCodec = OpenDecoder(*m_video);
        m_audioCodec = OpenDecoder(*m_audio);
        if (!m_videoCodec || !m_audioCodec) {
            report.error = "no decoder for a stream of the recording";
            return false;
        }
        AvPacketPtr packet(av_packet_alloc());
        m_frame.reset(av_frame_alloc());
        while (av_read_frame(&format, packet.get()) >= 0) {
            if (packet->stream_index == m_videoIndex)
                Decode(*m_videoCodec, packet.get(), report, true);
            else if (packet->stream_index == m_audioIndex)
                Decode(*m_audioCodec, packet.get(), report, false);
            av_packet_unref(packet.get());
        }
        Decode(*m_videoCodec, nullptr, report, true);
        Decode(*m_audioCodec, nullptr, report, false);
        m_flashes.Finish(report);
        m_beeps.Finish(report);
        return true;
    }

private:
    void Decode(AVCodecContext &codec, const AVPacket *packet, stSyncReport &report, bool video)
    {
        if (avcodec_send_packet(&codec, packet) < 0)
            return;
        while (avcodec_receive_frame(&codec, m_frame.get()) == 0) {
            if (video)
                TakePicture(report);
            else
                TakeSound(report);
            av_frame_unref(m_frame.get());
        }
    }

    void TakePicture(stSyncReport &report)
    {
        const AVFrame &frame = *m_frame;
        const double frameMs = m_video->avg_frame_rate.num > 0 ? 1000.0 / av_q2d(m_video->avg_frame_rate) : 40.0;
        double ms = frame.best_effort_timestamp != AV_NOPTS_VALUE ? MsOf(frame.best_effort_timestamp, m_video->time_base)
                                                                   : m_nextPictureMs;
        const double duration = frameMs;
        m_nextPictureMs = ms + duration;
        // The planar YUV pictures of the coders carry the luma as their first plane already.
        if (IsPlanarYuv(static_cast<AVPixelFormat>(frame.format))) {
            m_flashes.Take(frame, ms, duration, report);
            return;
        }
        if (!m_gray || m_gray->width != frame.width || m_gray->height != frame.height) {
            m_gray.reset(av_frame_alloc());
            m_gray->format = AV_PIX_FMT_GRAY8;
            m_gray->width = frame.width;
            m_gray->height = frame.height;
            if (av_frame_get_buffer(m_gray.get(), 0) < 0)
                return;
            m_scaler.reset(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), frame.width,
                                          frame.height, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr));
        }
        if (!m_scaler)
            return;
        sws_scale(m_scaler.get(), frame.data, frame.linesize, 0, frame.height, m_gray->data, m_gray->linesize);
        m_flashes.Take(*m_gray, ms, duration, report);
    }

    void TakeSound(stSyncReport &report)
    {
        const AVFrame &frame = *m_frame;
        const double ms = frame.best_effort_timestamp != AV_NOPTS_VALUE ? MsOf(frame.best_effort_timestamp, m_audio->time_base)
                                                                         : m_nextSoundMs;
        m_nextSoundMs = ms + frame.nb_samples * 1000.0 / std::max(1, frame.sample_rate);
        m_beeps.Take(frame, ms, report);
    }

    CFlashFinder m_flashes;
    CBeepFinder m_beeps;
    int m_videoIndex = -1;
    int m_audioIndex = -1;
    const AVStream *m_video = nullptr;
    const AVStream *m_audio = nullptr;
    AvCodecPtr m_videoCodec;
    AvCodecPtr m_audioCodec;
    AvFramePtr m_frame;
    AvFramePtr m_gray;
    SwsPtr m_scaler;
    double m_nextPictureMs = 0.0;
    double m_nextSoundMs = 0.0;
};

void PairMarks(stSyncReport &report, double maxPairDistanceMs)
{
    for (const stSyncMark &flash : report.flashes) {
        std::optional<stSyncMark> best;
        for (const stSyncMark &beep : report.beeps) {
            if (beep.number != flash.number || std::abs(beep.ms - flash.ms) > maxPairDistanceMs)
                continue;
            if (!best || std::abs(beep.ms - flash.ms) < std::abs(best->ms - flash.ms))
                best = beep;
        }
        if (best)
            report.pairs.push_back({flash.number, flash.ms, best->ms, best->ms - flash.ms});
    }
}

} // namespace

std::vector<stSyncPair> stSyncReport::PairsBetween(double fromMs, double toMs) const
{
    std::vector<stSyncPair> within;
    for (const stSyncPair &pair : pairs)
        if (pair.pictureMs >= fromMs && pair.pictureMs < toMs)
            within.push_back(pair);
    return within;
}

double MedianOffsetMs(const std::vector<stSyncPair> &pairs)
{
    if (pairs.empty())
        return 0.0;
    std::vector<double> offsets;
    for (const stSyncPair &pair : pairs)
        offsets.push_back(pair.offsetMs);
    std::sort(offsets.begin(), offsets.end());
    const size_t middle = offsets.size() / 2;
    return offsets.size() % 2 ? offsets[middle] : (offsets[middle - 1] + offsets[middle]) / 2.0;
}

double LargestOffsetMs(const std::vector<stSyncPair> &pairs)
{
    double largest = 0.0;
    for (const stSyncPair &pair : pairs)
        if (std::abs(pair.offsetMs) > std::abs(largest))
            largest = pair.offsetMs;
    return largest;
}

std::string DescribeOffsets(const std::vector<stSyncPair> &pairs)
{
    char text[160];
    std::snprintf(text, sizeof(text), "%zu pairs, sound against picture: median %+.0f ms, largest %+.0f ms", pairs.size(),
                  MedianOffsetMs(pairs), LargestOffsetMs(pairs));
    return text;
}

std::string stSyncReport::Summary() const
{
    char text[200];
    std::snprintf(text, sizeof(text), "; %zu flashes, %zu beeps; picture %.2f s (%d pictures), sound %.2f s",
                  flashes.size(), beeps.size(), PictureSeconds(), pictures, SoundSeconds());
    return (opened ? DescribeOffsets(pairs) : "not read: " + error) + text;
}

stSyncReport AnalyseSync(const std::filesystem::path &file, const stSyncRegion &region, double maxPairDistanceMs)
{
    stSyncReport report;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) {
        report.error = "cannot open " + file.string();
        return report;
    }
    AvInputPtr format(raw);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) {
        report.error = "no stream information in " + file.string();
        return report;
    }
    CRecordingReader reader(region);
    report.opened = reader.Run(*format, report);
    PairMarks(report, maxPairDistanceMs);
    return report;
}
