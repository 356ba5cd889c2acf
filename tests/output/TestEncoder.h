#pragma once

#include "core/FramePackage.h"
#include "core/StreamParams.h"

#include <cstdint>
#include <vector>

// The encoder stand-in of the writer tests: real H.264 (libx264) and AAC packets made once with
// libavcodec, handed out as coded packages stamped in µs from any base, as an encode worker sends
// them. Sequence headers travel in the stream parameters' extradata.
struct stTestEncodeSpec
{
    double seconds = 4.0;
    int width = 320;
    int height = 240;
    int fps = 25;
    int gop = 25;
    int bFrames = 0;   // pictures shown before the one they are coded after (reordering)
    int64_t videoBitRate = 400000;
    bool audio = true;
    int sampleRate = 48000;
};

struct stCodedPacket
{
    std::vector<uint8_t> data;
    int64_t pts = 0;      // µs from the start
    int64_t dts = 0;
    int64_t duration = 0;
    bool key = false;
    bool video = true;
};

class CTestEncoder
{
public:
    // Encodes the whole clip; false when an encoder is missing.
    bool Encode(const stTestEncodeSpec &spec);

    const std::vector<stCodedPacket> &Video() const { return m_video; }
    const std::vector<stCodedPacket> &Audio() const { return m_audio; }
    // Stream parameters with the given stream id, as the encode worker would publish them.
    stStreamParams VideoParams(uint16_t streamId) const;
    stStreamParams AudioParams(uint16_t streamId) const;
    // A package owning a copy of the packet, its times moved by baseUs (and by the clip length
    // times loop, so that a clip can be fed again and again).
    static FramePackage MakePackage(const stCodedPacket &packet, int64_t baseUs);
    int64_t ClipUs() const { return m_clipUs; }

private:
    std::vector<stCodedPacket> m_video;
    std::vector<stCodedPacket> m_audio;
    std::vector<uint8_t> m_videoExtradata;
    std::vector<uint8_t> m_audioExtradata;
    stTestEncodeSpec m_spec;
    int m_audioFrameSize = 1024;
    int64_t m_clipUs = 0;
};
