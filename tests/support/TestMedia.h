#pragma once

#include "support/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct AVFrame;

// What a generated media file holds. Video frames carry a moving pattern, audio a sine, so the
// encoders produce real coded data; every picture is encoded, none is dropped.
struct stTestMediaSpec
{
    std::string container = "mp4";      // muxer short name: "mp4", "mpegts", "matroska", "flv", "mov"
    double seconds = 3.0;
    bool video = true;
    std::string videoCodec = "libx264"; // or "mpeg4", "libx265", "mjpeg"
    int width = 320;
    int height = 240;
    int fps = 25;
    int fpsBase = 1;                    // the picture rate is fps / fpsBase: 30000 / 1001 for 29.97
    int pictures = 0;                   // pictures to make; 0: as many as the seconds hold
    int gop = 0;                        // pictures from one key frame to the next; 0: one a second
    int bFrames = 0;
    bool audio = true;
    std::string audioCodec = "aac";     // or "pcm_s16le", ...
    int sampleRate = 48000;
    int channels = 2;
    // Content of the test's own in place of the pattern and the sine: fills the picture of that
    // index (YUV 4:2:0), gives the value (-1..1) of the sample of that index on every channel.
    std::function<void(AVFrame &picture, int64_t index)> paintPicture{};
    std::function<double(int64_t sample)> soundSample{};
    // Options of the muxer (how it stores the streams), e.g. {"chunk_duration", "1000000"}.
    std::vector<std::pair<std::string, std::string>> muxerOptions{};
};

// What went into the file, as the muxer was given it.
struct stTestMediaInfo
{
    int videoPackets = 0;
    int audioPackets = 0;
    int keyFrames = 0;                  // video key frames
    int audioFrameSize = 0;             // samples per audio packet
};

// Writes the file; 0, or a negative FFmpeg code (AVERROR_ENCODER_NOT_FOUND when a codec is missing).
int WriteTestMedia(const std::filesystem::path &path, const stTestMediaSpec &spec, stTestMediaInfo *info = nullptr);

// The packets of a file as libavformat demuxes them, without filtering: one entry per packet.
struct stTestPacket
{
    int streamIndex = -1;
    int mediaType = -1;                 // 0 video, 1 audio
    int64_t pts = INT64_MIN;
    int64_t dts = INT64_MIN;
    int64_t ptsUs = INT64_MIN;          // the same in µs
    int64_t dtsUs = INT64_MIN;
    int64_t durationUs = 0;
    bool key = false;
    bool discard = false;               // decoded, not shown (the priming of a sound track)
    int size = 0;
};
std::vector<stTestPacket> ReadTestMediaPackets(const std::filesystem::path &path);

// Copies a file's packets into another file without decoding them, as a muxer stores them with its
// options (e.g. {"chunk_duration", "1000000"}), the container by name or, for none, by the file's
// extension; only the packets keep accepts when it is given. 0 or a negative FFmpeg code.
int CopyTestMediaPackets(const std::filesystem::path &from, const std::filesystem::path &to, const char *container,
                         const std::vector<std::pair<std::string, std::string>> &muxerOptions,
                         const std::function<bool(const stTestPacket &)> &keep = {});

// Media files made once for a test suite (they cost encoder time), in a folder of their own that
// goes with the set.
class CTestMediaSet
{
public:
    // Writes the file into the set's folder; its path. A file that cannot be made fails the test.
    std::filesystem::path Add(const std::string &name, const stTestMediaSpec &spec, stTestMediaInfo *info = nullptr);
    const CTempDir &Dir() const { return m_dir; }

private:
    CTempDir m_dir;
};
