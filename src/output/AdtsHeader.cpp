#include "output/AdtsHeader.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

// FFmpeg 7 names the profiles AV_PROFILE_* and marks the older names deprecated.
#ifdef AV_PROFILE_AAC_LOW
constexpr int kProfileMain = AV_PROFILE_AAC_MAIN;
constexpr int kProfileLtp = AV_PROFILE_AAC_LTP;
constexpr int kProfileHe = AV_PROFILE_AAC_HE;
constexpr int kProfileHeV2 = AV_PROFILE_AAC_HE_V2;
#else
constexpr int kProfileMain = FF_PROFILE_AAC_MAIN;
constexpr int kProfileLtp = FF_PROFILE_AAC_LTP;
constexpr int kProfileHe = FF_PROFILE_AAC_HE;
constexpr int kProfileHeV2 = FF_PROFILE_AAC_HE_V2;
#endif

constexpr int32_t kObjectTypeLc = 2;
constexpr int32_t kAdtsHeaderSize = 7;
constexpr int32_t kAdtsCrcSize = 2;

constexpr int32_t kSamplingRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                      22050, 16000, 12000, 11025, 8000,  7350};
constexpr int32_t kSamplingRateCount = static_cast<int32_t>(sizeof(kSamplingRates) / sizeof(kSamplingRates[0]));

} // namespace

bool ParseAdtsHeader(const uint8_t *data, size_t size, stAdtsHeader &header)
{
    if (!data || size < static_cast<size_t>(kAdtsHeaderSize))
        return false;
    // 12 sync bits; the layer bits are always 0.
    if (data[0] != 0xFF || (data[1] & 0xF6) != 0xF0)
        return false;
    const bool crcAbsent = (data[1] & 0x01) != 0;
    const int32_t profile = (data[2] >> 6) & 0x03;
    const int32_t samplingIndex = (data[2] >> 2) & 0x0F;
    const int32_t channelConfig = ((data[2] & 0x01) << 2) | ((data[3] >> 6) & 0x03);
    const int32_t frameLength = ((data[3] & 0x03) << 11) | (data[4] << 3) | ((data[5] >> 5) & 0x07);
    const int32_t rawBlocks = (data[6] & 0x03) + 1;
    // A CRC-protected frame of several blocks lists their positions before its CRC.
    const int32_t headerSize = kAdtsHeaderSize + (crcAbsent ? 0 : kAdtsCrcSize * rawBlocks);
    if (samplingIndex >= kSamplingRateCount || frameLength <= headerSize)
        return false;
    header.objectType = profile + 1;
    header.samplingIndex = samplingIndex;
    header.channelConfig = channelConfig;
    header.headerSize = headerSize;
    header.frameLength = frameLength;
    header.rawBlocks = rawBlocks;
    return true;
}

int32_t AacSamplingIndex(int32_t sampleRate)
{
    for (int32_t i = 0; i < kSamplingRateCount; ++i) {
        if (kSamplingRates[i] == sampleRate)
            return i;
    }
    return -1;
}

int32_t AacSamplingRate(int32_t samplingIndex)
{
    return samplingIndex >= 0 && samplingIndex < kSamplingRateCount ? kSamplingRates[samplingIndex] : 0;
}

std::vector<uint8_t> MakeAacConfig(int32_t objectType, int32_t samplingIndex, int32_t channelConfig)
{
    // 5 bits object type, 4 bits sampling index, 4 bits channels, then three zero flags.
    return {static_cast<uint8_t>((objectType << 3) | (samplingIndex >> 1)),
            static_cast<uint8_t>(((samplingIndex & 0x01) << 7) | (channelConfig << 3))};
}

std::vector<uint8_t> AacConfigOfAdts(const stAdtsHeader &header)
{
    return MakeAacConfig(header.objectType, header.samplingIndex, header.channelConfig);
}

std::vector<uint8_t> AacConfigOfStream(int32_t profile, int32_t sampleRate, int32_t channels)
{
    int32_t objectType = kObjectTypeLc;
    int32_t coreRate = sampleRate;
    int32_t coreChannels = channels;
    // ADTS can state Main, LC, SSR and LTP only; a stream without a known profile is taken as LC,
    // as nearly every encoder writes it.
    if (profile >= kProfileMain && profile <= kProfileLtp) {
        objectType = profile + 1;
    } else if (profile == kProfileHe || profile == kProfileHeV2) {
        coreRate = sampleRate / 2;
        if (profile == kProfileHeV2)
            coreChannels = 1;
    }
    const int32_t samplingIndex = AacSamplingIndex(coreRate);
    // 1 to 6 channels are their own configuration; 8 (7.1) is configuration 7.
    const int32_t channelConfig = coreChannels >= 1 && coreChannels <= 6 ? coreChannels : coreChannels == 8 ? 7 : 0;
    if (samplingIndex < 0 || channelConfig == 0)
        return {};
    return MakeAacConfig(objectType, samplingIndex, channelConfig);
}
