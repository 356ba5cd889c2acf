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
    ReadCodecEngine(item, L"DecoderType", true, record.DecoderType, record.HwAcclrt);
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
