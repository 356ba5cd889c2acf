#include "config/GTYXConfigXml.h"

#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

#include <algorithm>

namespace {

const stConfigSection kVideoEncoders = {L"/Config/VideoEncoders", L"VECDCount", CFG_SCHEMA_VIDEO_ENCODER,
                                        TYX_ID_BASE_VIDEO_ENCODER};

constexpr float ENCODER_FRAME_RATE_FALLBACK = -2.0f;
constexpr size_t MAX_OPTION_TEXT = 15;

// A picture side: 0 (absent or not positive) keeps the input's, else held to low..high.
uint16_t PictureSide(const ConfigValueMap &item, const wchar_t *key, int32_t low, int32_t high)
{
    int32_t value = 0;
    if (!TakeInt(item, key, value) || value <= 0)
        return 0;
    return static_cast<uint16_t>(std::clamp(value, low, high));
}

// kbit/s by picture area when none is configured.
int32_t BitRateForArea(uint32_t width, uint32_t height)
{
    const uint32_t area = width * height;
    if (area <= 921600u)
        return 1000;
    if (area <= 3110400u)
        return 1500;
    return 4000;
}

// "Preset" and "Usage" are encoder keywords; a cut one would name another or none, so a text too
// long for the record is not taken at all and the encoder's default applies.
void TakeOptionText(const ConfigValueMap &item, const wchar_t *key, const stVideoEncodeWorkerConfig &record,
                    std::wstring &target)
{
    target.clear();
    const stConfigValue *value = FindItemValue(item, key);
    if (!value)
        return;
    if (value->text.size() > MAX_OPTION_TEXT) {
        TYX_LOG(3, L"Configuration:%s(%s) of Encoder No(%d) is longer than %d characters, ignored it!", key,
                value->text.c_str(), static_cast<int32_t>(record.No), static_cast<int32_t>(MAX_OPTION_TEXT));
        return;
    }
    target = value->text;
}

bool ReadVideoEncoder(const ConfigValueMap &item, stVideoEncodeWorkerConfig &record)
{
    const stConfigValue *engine = FindItemValue(item, L"EncoderType");
    record.EncoderType = engine ? ParseDecodeEngine(engine->text.c_str()) : 1;
    const stConfigValue *hardware = FindItemValue(item, L"HwAcclrt");
    record.HwAcclrt = hardware ? ParseHwAcclrt(hardware->text.c_str(), false) : 0;

    const stConfigValue *codec = FindItemValue(item, L"VCodec");
    if (!codec)
        return false;
    record.VCodec = CodecIdFromName(codec->text.c_str());
    if (record.VCodec == 0)
        return false;
    record.VCodecName = codec->text;
    record.Profile = L"main";
    const stConfigValue *profile = FindItemValue(item, L"Profile");
    if (profile && IsProfileValid(profile->text.c_str(), record.VCodec))
        record.Profile = profile->text;
    TakeOptionText(item, L"Preset", record, record.Preset);
    TakeOptionText(item, L"Usage", record, record.Usage);

    if (!ResolveSourceKey(item, L"VideoSource", TYX_KIND_VIDEO_ENCODER, record.VideoSource, record.VideoSourceName))
        return false;
    record.Width = PictureSide(item, L"Width", 320, 15360);
    record.Height = PictureSide(item, L"Height", 180, 8640);
    record.OutputFramerate = FrameRateByRule(item, ENCODER_FRAME_RATE_FALLBACK);

    int32_t number = 0;
    if (TakeInt(item, L"BitRate", number))
        record.BitRate = static_cast<int32_t>(std::clamp(static_cast<uint32_t>(number), 256u, 32000u));
    else
        record.BitRate = BitRateForArea(record.Width, record.Height);
    record.GopLengh = 90;
    if (TakeInt(item, L"GopLengh", number) && number >= 1 && number <= 900)
        record.GopLengh = static_cast<uint16_t>(number);
    record.LowLatency = 1;
    TakeBool(item, L"LowLatency", record.LowLatency);
    TakeBool(item, L"PushAtBegin", record.PushAtBegin);
    return true;
}

} // namespace

int32_t LoadVideoEncodersConfigXml(const std::wstring &path)
{
    return LoadWorkerSection(path, kVideoEncoders, __func__, CTYXGVMS::VideoEncoderConfigs(), L"Encoder",
                             ReadVideoEncoder);
}
