#pragma once

#include "core/FramePackage.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/rational.h>
}

#include <cstdint>
#include <vector>

struct AVCodecParameters;
struct AVStream;

// One selected stream of a media source as the open found it. The record owns its extradata and its
// codec parameter block (deep copies), so copies outlive the reader's input and each other.
struct stMediaStreamInfo
{
    stMediaStreamInfo() = default;
    ~stMediaStreamInfo();
    stMediaStreamInfo(const stMediaStreamInfo &other);
    stMediaStreamInfo &operator=(const stMediaStreamInfo &other);
    stMediaStreamInfo(stMediaStreamInfo &&other) noexcept;
    stMediaStreamInfo &operator=(stMediaStreamInfo &&other) noexcept;

    // Fills every field from the stream and its codec parameters; 0 or a negative FFmpeg code.
    int32_t FillFromStream(const AVStream *stream);
    // Replaces the codec parameters and the extradata with a copy of these (the bitstream filter's
    // output description); 0 or a negative FFmpeg code.
    int32_t ReplaceCodecParameters(const AVCodecParameters *parameters);
    // The extradata bytes, or none.
    const uint8_t *Extradata() const { return extradataSize > 0 ? extradata.data() : nullptr; }

    int16_t streamIndex = -1;            // in the container
    int32_t codecId = 0;
    int64_t bitRate = 0;
    AVRational timeBase{0, 1};
    int32_t mediaType = -1;              // 0 video, 1 audio
    int32_t profile = 0;
    int32_t level = 0;
    int64_t startTime = TYX_NOPTS_VALUE; // in timeBase, all 64 bits
    int32_t frameSize = 0;               // audio: samples per frame; video: bytes of one planar picture
    int32_t bitsPerCodedSample = 0;
    int32_t bitsPerRawSample = 0;
    std::vector<uint8_t> extradata;      // extradataSize bytes and zeroed padding behind them
    int32_t extradataSize = 0;
    int32_t pixelFormat = -1;
    AVRational frameRate{0, 1};
    AVRational sampleAspectRatio{0, 1};
    int32_t chromaLocation = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitDepth = 0;
    int32_t sampleFormat = -1;
    int32_t sampleRate = 0;
    AVChannelLayout channelLayout{};
    AVCodecParameters *codecParameters = nullptr; // owned
    int32_t packetCount = 0;

private:
    void CopyFrom(const stMediaStreamInfo &other);
    // Every field that neither owns memory nor holds the extradata; copy and move share it.
    void CopyValues(const stMediaStreamInfo &other);
    void Release();
};

// Bytes of one planar picture and the bit depth of a sample for a pixel format (FFmpeg's value);
// chroma rows and the width of a row are rounded up for odd sizes.
int32_t PlanarFrameSize(int32_t pixelFormat, int32_t width, int32_t height, int32_t *bitDepth);
