#include "config/GTYXConfigXml.h"

#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

namespace {

const stConfigSection kVideoDecoders = {L"/Config/VideoDecoders", L"VDCDCount", CFG_SCHEMA_VIDEO_DECODER,
                                        TYX_ID_BASE_VIDEO_DECODER};

// Without a decoded rate of its own a decoder passes on its input stream's rate.
constexpr float DECODER_FRAME_RATE_FALLBACK = -2.0f;

// The decoder's own keys; false when the item is dropped (its source does not resolve).
bool ReadVideoDecoder(const ConfigValueMap &item, stVideoDecodeWorkerConfig &record)
{
    const stConfigValue *engine = FindItemValue(item, L"DecoderType");
    record.DecoderType = engine ? ParseDecodeEngine(engine->text.c_str()) : 1;
    const stConfigValue *hardware = FindItemValue(item, L"HwAcclrt");
    record.HwAcclrt = hardware ? ParseHwAcclrt(hardware->text.c_str(), true) : 0;
    if (!ResolveSourceKey(item, L"VideoSource", TYX_KIND_VIDEO_DECODER, record.VideoSource, record.VideoSourceName))
        return false;
    TakeBool(item, L"RVTP", record.RVTP);
    record.DirectOutputSettings.OutputDeviceNo = -1;
    ReadDirectOutputKeys(item, record.DirectOutputSettings);
    record.OutputFramerate = FrameRateByRule(item, DECODER_FRAME_RATE_FALLBACK);
    TakeBool(item, L"PushAtBegin", record.PushAtBegin);
    return true;
}

} // namespace

int32_t LoadVideoDecodersConfigXml(const std::wstring &path)
{
    return LoadWorkerSection(path, kVideoDecoders, __func__, CTYXGVMS::VideoDecoderConfigs(), L"Decoder",
                             ReadVideoDecoder);
}
