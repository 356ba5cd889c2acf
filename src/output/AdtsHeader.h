#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// AAC as an MPEG-TS source hands it: every frame behind a 7-byte ADTS header (9 with its CRC), and
// no AudioSpecificConfig beside the stream. MP4, FLV and RTP carry the frames raw and the config
// once, in the container's header; these pieces make the config and find the frames.

// The fixed part of one ADTS header and the frame it opens.
struct stAdtsHeader
{
    int32_t objectType = 0;      // MPEG-4 audio object type: the header's profile + 1
    int32_t samplingIndex = 0;   // into the MPEG-4 sampling frequency table
    int32_t channelConfig = 0;   // 0: the channels are described inside the frame
    int32_t headerSize = 0;      // 7, or 9 when a CRC follows
    int32_t frameLength = 0;     // the whole frame, header included
    int32_t rawBlocks = 1;       // raw data blocks in the frame
};

// Reads the header at data; false when no complete, valid header lies there.
bool ParseAdtsHeader(const uint8_t *data, size_t size, stAdtsHeader &header);

// The index of a sampling rate in the MPEG-4 table, or -1 for a rate it does not hold.
int32_t AacSamplingIndex(int32_t sampleRate);
// The rate of a table index, or 0.
int32_t AacSamplingRate(int32_t samplingIndex);

// The 2-byte AudioSpecificConfig of an object type, a sampling index and a channel configuration.
std::vector<uint8_t> MakeAacConfig(int32_t objectType, int32_t samplingIndex, int32_t channelConfig);
// The config an ADTS header stands for.
std::vector<uint8_t> AacConfigOfAdts(const stAdtsHeader &header);
// The config of a stream from what its demuxer found (FFmpeg profile, output rate and channels), as
// the stream's ADTS headers state it: HE-AAC is carried as its core (LC at half the rate, mono for
// v2), its extensions found by the decoder. Empty when the rate or the channel count has no code.
std::vector<uint8_t> AacConfigOfStream(int32_t profile, int32_t sampleRate, int32_t channels);
