#include "config/GTYXConfigXml.h"

#include "config/ConfigItem.h"
#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

#include <algorithm>

namespace {

const stConfigSection kVideoEncoders = {L"/Config/VideoEncoders", L"VECDCount", CFG_SCHEMA_VIDEO_ENCODER,
                                        TYX_ID_BASE_VIDEO_ENCODER, 0x07FFFFFFu, L"Encoder"};

constexpr float ENCODER_FRAME_RATE_FALLBACK = -2.0f;
constexpr size_t MAX_OPTION_TEXT = 15;

// A picture side: 0 (absent or not positive) keeps the input's, else held to low..high.
uint16_t PictureSide(const CConfigItem &item, const wchar_t *key, int32_t low, int32_t high)
{
    int32_t value = 0;
    if (!item.Int(key, value) || value <= 0)
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
void TakeOptionText(const CConfigItem &item, const wchar_t *key, std::wstring &target)
{
    target.clear();
    const stConfigValue *value = item.Find(key);
    if (!value)
        return;
    if (value->text.size() > MAX_OPTION_TEXT) {
        item.Ignore(key, L"is longer than " + std::to_wstring(MAX_OPTION_TEXT) + L" characters", L"ignored it!");
        return;
    }
    target = value->text;
}

bool ReadVideoEncoder(const CConfigItem &item, stVideoEncodeWorkerConfig &record)
{
    ReadCodecEngine(item, L"EncoderType", false, record.EncoderType, record.HwAcclrt);

    std::wstring codec;
    if (!item.RequiredText(L"VCodec", codec))
        return false;
    record.VCodec = CodecIdFromName(codec.c_str());
    if (record.VCodec == 0) {
        item.Refuse(L"VCodec", L"is no codec it knows (H264, HEVC and their other names)");
        return false;
    }
    record.VCodecName = codec;
    record.Profile = L"main";
    if (const stConfigValue *profile = item.Find(L"Profile")) {
        if (IsProfileValid(profile->text.c_str(), record.VCodec))
            record.Profile = profile->text;
        else
            item.Ignore(L"Profile", L"is no profile of " + codec, L"main is used.");
    }
    TakeOptionText(item, L"Preset", record.Preset);
    TakeOptionText(item, L"Usage", record.Usage);

    if (!ResolveSourceKey(item, L"VideoSource", TYX_KIND_VIDEO_ENCODER, INPUT_MEDIA_VIDEO, record.VideoSource,
                          record.VideoSourceName))
        return false;
    record.Width = PictureSide(item, L"Width", 320, 15360);
    record.Height = PictureSide(item, L"Height", 180, 8640);
    record.OutputFramerate = FrameRateByRule(item, ENCODER_FRAME_RATE_FALLBACK);

    int32_t number = 0;
    if (item.Int(L"BitRate", number))
        record.BitRate = static_cast<int32_t>(std::clamp(static_cast<uint32_t>(number), 256u, 32000u));
    else
        record.BitRate = BitRateForArea(record.Width, record.Height);
    record.GopLengh = 90;
    if (item.Int(L"GopLengh", number) && number >= 1 && number <= 900)
        record.GopLengh = static_cast<uint16_t>(number);
    record.LowLatency = 1;
    item.Bool(L"LowLatency", record.LowLatency);
    item.Bool(L"PushAtBegin", record.PushAtBegin);
    return true;
}

} // namespace

int32_t LoadVideoEncodersConfigXml(const std::wstring &path)
{
    return LoadWorkerSection(path, kVideoEncoders, __func__, CTYXGVMS::VideoEncoderConfigs(), true, ReadVideoEncoder);
}
