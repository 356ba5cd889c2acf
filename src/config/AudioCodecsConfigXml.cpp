#include "config/GTYXConfigXml.h"

#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerConfigLoader.h"

#include <algorithm>

// Audio decoders and encoders are registered but no worker is made for them, so their sections
// have no duplicate check: a repeated item only loses its place in the registry by name.

namespace {

const stConfigSection kAudioDecoders = {L"/Config/AudioDecoders", L"ADCDCount", CFG_SCHEMA_AUDIO_DECODER,
                                        TYX_ID_BASE_AUDIO_DECODER};
const stConfigSection kAudioEncoders = {L"/Config/AudioEncoders", L"AECDCount", CFG_SCHEMA_AUDIO_ENCODER,
                                        TYX_ID_BASE_AUDIO_ENCODER};

constexpr size_t MAX_CODEC_TEXT = 15;

bool ReadAudioDecoder(const ConfigValueMap &item, stAudioDecodeWorkerConfig &record)
{
    if (!ResolveSourceKey(item, L"AudioSource", TYX_KIND_AUDIO_DECODER, record.AudioSource, record.AudioSourceName))
        return false;
    record.DirectOutput = 0;
    TakeBool(item, L"DirectOutput", record.DirectOutput);
    int16_t device = 0;
    if (record.DirectOutput && TakeInt16(item, L"OutputDeviceNo", device) && device > 0)
        FindAudioRenderingDevice(device, record.AudioOutputDevice);
    record.PushAtBegin = 0;
    TakeBool(item, L"PushAtBegin", record.PushAtBegin);
    return true;
}

bool ReadAudioEncoder(const ConfigValueMap &item, stAudioEncodeWorkerConfig &record)
{
    const stConfigValue *codec = FindItemValue(item, L"ACodec");
    if (!codec)
        return false;
    record.ACodec = CodecIdFromName(codec->text.c_str());
    if (record.ACodec == 0)
        return false;
    record.ACodecName = codec->text.substr(0, MAX_CODEC_TEXT);
    if (!ResolveSourceKey(item, L"AudioSource", TYX_KIND_AUDIO_ENCODER, record.AudioSource, record.AudioSourceName))
        return false;

    int32_t number = 0;
    record.Samplerate = 0;
    if (TakeInt(item, L"Samplerate", number)) {
        const uint32_t rate = static_cast<uint32_t>(number);
        record.Samplerate = static_cast<int32_t>(rate == 0 ? 0u : std::clamp(rate, 8000u, 1920000u));
    }
    if (TakeInt(item, L"BitRate", number)) {
        record.BitRate = std::clamp(number, 32, 1024);
    } else {
        record.BitRate = 128;
        record.Channels = 2;
    }
    if (TakeInt(item, L"Channels", number)) {
        const uint8_t channels = static_cast<uint8_t>(number);
        record.Channels = (channels == 0 || channels > 8) ? 2 : channels;
    }
    record.Bitdepth = 16;
    if (TakeInt(item, L"Bitdepth", number) && number >= 8 && number <= 64)
        record.Bitdepth = static_cast<int16_t>(number);
    record.PushAtBegin = 0;
    TakeBool(item, L"PushAtBegin", record.PushAtBegin);
    return true;
}

} // namespace

int32_t LoadAudioDecodersConfigXml(const std::wstring &path)
{
    return LoadWorkerSection(path, kAudioDecoders, __func__, CTYXGVMS::AudioDecoderConfigs(), nullptr, ReadAudioDecoder);
}

int32_t LoadAudioEncodersConfigXml(const std::wstring &path)
{
    return LoadWorkerSection(path, kAudioEncoders, __func__, CTYXGVMS::AudioEncoderConfigs(), nullptr, ReadAudioEncoder);
}
