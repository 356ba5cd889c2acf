// Tells whether recordings play: probe_recording <file>... prints, per file, "ok <frames> <seconds>"
// when libavformat opens it, finds a video stream and reads its packets to the end, else "bad".
// The exit code is the number of bad files (at most 100).
#include "core/FfmpegHandles.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdio>

namespace {

bool Probe(const char *path, long &frames, double &seconds)
{
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path, nullptr, nullptr) < 0)
        return false;
    AvInputPtr format(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0)
        return false;
    const int video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0)
        return false;
    AvPacketPtr packet(av_packet_alloc());
    frames = 0;
    int result = 0;
    while ((result = av_read_frame(raw, packet.get())) >= 0) {
        frames += packet->stream_index == video ? 1 : 0;
        av_packet_unref(packet.get());
    }
    seconds = raw->duration > 0 ? static_cast<double>(raw->duration) / AV_TIME_BASE : 0.0;
    return result == AVERROR_EOF && frames > 0;
}

} // namespace

int main(int argc, char **argv)
{
    av_log_set_level(AV_LOG_QUIET);
    int bad = 0;
    for (int i = 1; i < argc; ++i) {
        long frames = 0;
        double seconds = 0.0;
        if (Probe(argv[i], frames, seconds)) {
            std::printf("ok %ld %.1f %s\n", frames, seconds, argv[i]);
        } else {
            std::printf("bad %s\n", argv[i]);
            ++bad;
        }
    }
    return std::min(bad, 100);
}
