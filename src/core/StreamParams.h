#pragma once

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <cstdint>
#include <string>

struct AVCodecParameters;

struct stTimeBase
{
    int32_t num = 0;
    int32_t den = 1;
};

// The parameters of one media stream, as a reader describes it and as workers pass them downstream
// with SetInputParameters / SetOutputParameters. The record owns its extradata and its copy of the
// codec parameters, so it stays valid after the reader that filled it has closed its source.
struct stStreamParams
{
    stStreamParams();
    ~stStreamParams();
    stStreamParams(const stStreamParams &other);
    stStreamParams &operator=(const stStreamParams &other);
    stStreamParams(stStreamParams &&other) noexcept;
    stStreamParams &operator=(stStreamParams &&other) noexcept;

    // Gives the record its own copy of the extradata (none for size 0 or below).
    void SetExtradata(const uint8_t *data, int32_t size);
    // Gives the record its own copy of the codec parameters (none for nullptr).
    void SetCodecParameters(const AVCodecParameters *parameters);
    // Empties the four texts.
    void Clear();

    int32_t sourceType = 0;      // MSTYPE of the source
    int32_t mediaType = -1;      // -1 unknown, 0 video, 1 audio
    stTimeBase timeBase;         // of the stream's time stamps
    int32_t frameSize = 0;       // audio: samples per frame; video: bytes of one picture
    int32_t bitRate = 0;
    int32_t profile = 0;
    int32_t level = 0;
    int32_t startTime = 0;       // in timeBase
    int64_t gopSize = 0;
    int64_t reserved64 = 0;
    uint8_t *extradata = nullptr; // owned, padded for FFmpeg
    int32_t extradataSize = 0;
    int32_t codecId = 0;         // FFmpeg codec id
    int32_t pixelFormat = -1;    // FFmpeg pixel format
    uint16_t width = 0;
    uint16_t height = 0;
    int32_t bitDepth = 0;
    float frameRate = 0.0f;
    uint16_t streamId = 0;       // copied from the reader's stream record
    uint16_t pitch = 0;          // luma pitch of decoded pictures
    uint16_t pitchUV = 0;        // chroma pitch of decoded pictures
    int32_t sampleFormat = -1;   // FFmpeg sample format
    int32_t sampleRate = 0;
    AVChannelLayout channelLayout{};
    uint8_t followFrameRate = 1;    // an output record takes the input's value for these
    uint8_t followFrameSize = 1;
    uint8_t followPixelFormat = 1;
    AVCodecParameters *codecParameters = nullptr; // owned copy
    std::wstring codecName;      // from the codec name table
    std::wstring name;
    std::wstring profileName;
    std::wstring note;

private:
    // Every field that neither owns memory nor is a text; copy and move share it.
    void CopyValues(const stStreamParams &other);
};
