#include "config/GTYXConfigXml.h"

#include "config/ConfigItem.h"
#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

namespace {

const stConfigSection kVideoDecoders = {L"/Config/VideoDecoders", L"VDCDCount", CFG_SCHEMA_VIDEO_DECODER,
                                        TYX_ID_BASE_VIDEO_DECODER, 0x03FFFFFFu, L"Decoder"};

// Without a decoded rate of its own a decoder passes on its input stream's rate.
constexpr float DECODER_FRAME_RATE_FALLBACK = -2.0f;

// The decoder's own keys; false when the item is dropped (its source does not resolve).
bool ReadVideoDecoder(const CConfigItem &item, stVideoDecodeWorkerConfig &record)
{
    record.DecoderType = ReadKeyword(item, L"DecoderType", ParseDecodeEngine, 1, L"FFMPG",
                                     L"is no decoding engine (NVGPU, FFMPG, ITLGPU, AMDGPU)", L"FFMPG is used.");
    record.HwAcclrt = ReadKeyword(item, L"HwAcclrt", [](const wchar_t *text) { return ParseHwAcclrt(text, true); }, 0,
                                  L"NONE", L"is no hardware acceleration (NVCODEC, LIBMFX, AMDAMF, DIRECTX)",
                                  L"none is used.");
    if (!ResolveSourceKey(item, L"VideoSource", TYX_KIND_VIDEO_DECODER, INPUT_MEDIA_VIDEO, record.VideoSource,
                          record.VideoSourceName))
        return false;
    item.Bool(L"RVTP", record.RVTP);
    record.DirectOutputSettings.OutputDeviceNo = -1;
    ReadDirectOutputKeys(item, record.DirectOutputSettings);
    record.OutputFramerate = FrameRateByRule(item, DECODER_FRAME_RATE_FALLBACK);
    item.Bool(L"PushAtBegin", record.PushAtBegin);
    return true;
}

} // namespace

int32_t LoadVideoDecodersConfigXml(const std::wstring &path)
{
    return LoadWorkerSection(path, kVideoDecoders, __func__, CTYXGVMS::VideoDecoderConfigs(), true, ReadVideoDecoder);
}
