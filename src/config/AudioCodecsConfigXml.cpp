#include "config/GTYXConfigXml.h"

#include "config/ConfigItem.h"
#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerConfigLoader.h"

#include <algorithm>

// Audio decoders and encoders are registered but no worker is made for them, so their sections
// have no duplicate check: a repeated item only loses its place in the registry by name.

namespace {

const stConfigSection kAudioDecoders = {L"/Config/AudioDecoders", L"ADCDCount", CFG_SCHEMA_AUDIO_DECODER,
                                        TYX_ID_BASE_AUDIO_DECODER, 0x0BFFFFFFu, L"AudioDecoder"};
const stConfigSection kAudioEncoders = {L"/Config/AudioEncoders", L"AECDCount", CFG_SCHEMA_AUDIO_ENCODER,
                                        TYX_ID_BASE_AUDIO_ENCODER, 0x0FFFFFFFu, L"AudioEncoder"};

constexpr size_t MAX_CODEC_TEXT = 15;

bool ReadAudioDecoder(const CConfigItem &item, stAudioDecodeWorkerConfig &record)
{
    if (!ResolveSourceKey(item, L"AudioSource", TYX_KIND_AUDIO_DECODER, INPUT_MEDIA_AUDIO, record.AudioSource,
                          record.AudioSourceName))
        return false;
    record.DirectOutput = 0;
    item.Bool(L"DirectOutput", record.DirectOutput);
    int16_t device = 0;
    if (record.DirectOutput && item.Int16(L"OutputDeviceNo", device) && device > 0)
        FindAudioRenderingDevice(device, record.AudioOutputDevice);
    record.PushAtBegin = 0;
    item.Bool(L"PushAtBegin", record.PushAtBegin);
    return true;
}

bool ReadAudioEncoder(const CConfigItem &item, stAudioEncodeWorkerConfig &record)
{
    std::wstring codec;
    if (!item.RequiredText(L"ACodec", codec))
        return false;
    record.ACodec = CodecIdFromName(codec.c_str());
    if (record.ACodec == 0) {
        item.Refuse(L"ACodec", L"is no codec it knows (AAC)");
        return false;
    }
    record.ACodecName = codec.substr(0, MAX_CODEC_TEXT);
    if (!ResolveSourceKey(item, L"AudioSource", TYX_KIND_AUDIO_ENCODER, INPUT_MEDIA_AUDIO, record.AudioSource,
                          record.AudioSourceName))
        return false;

    int32_t number = 0;
    record.Samplerate = 0;
    if (item.Int(L"Samplerate", number)) {
        const uint32_t rate = static_cast<uint32_t>(number);
        record.Samplerate = static_cast<int32_t>(rate == 0 ? 0u : std::clamp(rate, 8000u, 1920000u));
    }
    if (item.Int(L"BitRate", number)) {
        record.BitRate = std::clamp(number, 32, 1024);
    } else {
        record.BitRate = 128;
        record.Channels = 2;
    }
    if (item.Int(L"Channels", number)) {
        const uint8_t channels = static_cast<uint8_t>(number);
        record.Channels = (channels == 0 || channels > 8) ? 2 : channels;
    }
    record.Bitdepth = 16;
    if (item.Int(L"Bitdepth", number) && number >= 8 && number <= 64)
        record.Bitdepth = static_cast<int16_t>(number);
    record.PushAtBegin = 0;
    item.Bool(L"PushAtBegin", record.PushAtBegin);
    return true;
}

} // namespace

int32_t LoadAudioDecodersConfigXml(const std::wstring &path)
{
    return LoadWorkerSection(path, kAudioDecoders, __func__, CTYXGVMS::AudioDecoderConfigs(), false, ReadAudioDecoder);
}

int32_t LoadAudioEncodersConfigXml(const std::wstring &path)
{
    return LoadWorkerSection(path, kAudioEncoders, __func__, CTYXGVMS::AudioEncoderConfigs(), false, ReadAudioEncoder);
}
