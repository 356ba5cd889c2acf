#include "input/RawAudioReader.h"

#include "core/TYXUtils.h"
#include "core/TYXWorker.h"
#include "core/debuglog.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

#include <string>

namespace {

constexpr const wchar_t *kOpenTag = L"[Audio-Capture]";
constexpr const wchar_t *kReadTag = L"[RawAudio-Reader]";

bool ConsoleOn()
{
    return CTYXWorker::IsProcessScreenOutputOn();
}

} // namespace

void CRawAudioReader::SetRequest(int32_t sampleRate, int16_t sampleSize, uint8_t channels)
{
    m_sampleRate = sampleRate;
    m_sampleSize = sampleSize;
    m_channels = channels;
}

void CRawAudioReader::SetOptions()
{
    // The sound devices take no sample size (ALSA gives 16-bit) and refuse 0 for the others, which
    // means "the device's default" here: such options are left out.
    if (m_sampleRate > 0)
        av_dict_set(&m_options, "sample_rate", std::to_string(m_sampleRate).c_str(), 0);
    if (m_channels > 0)
        av_dict_set(&m_options, "channels", std::to_string(m_channels).c_str(), 0);
}

int32_t CRawAudioReader::OpenMediaSource(const std::string &deviceName)
{
    if (deviceName.empty())
        return TYX_MSR_NO_SOURCE;
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    CloseLocked();
    CMediaSourceReader::OpenMediaSource(deviceName, nullptr, nullptr);
    const std::wstring name = StringToWString(deviceName);
    SetOptions();

    if (ConsoleOn())
        ConsolePrintf("Openning %s for audio capture...", deviceName.c_str());
    const int32_t result = OpenInput(deviceName, false, kOpenTag, false, 0);
    if (result < 0)
        return result;
    // Sound devices never poll for an abort: the probe takes no deadline.
    const int32_t index = FindCapturedStream(deviceName, AVMEDIA_TYPE_AUDIO, kOpenTag, 0);
    if (index < 0)
        return index;
    const int32_t taken = TakeStream(index, name);
    if (taken < 0)
        return taken;
    m_opened = true;
    return m_capturedIndex;
}

int32_t CRawAudioReader::TakeStream(int32_t index, const std::wstring &name)
{
    AVStream *stream = m_format->streams[index];
    const AVCodecParameters *par = stream->codecpar;
    if (!par)
        return RefuseStreamWithoutParameters(AVMEDIA_TYPE_AUDIO, kOpenTag);
    m_capturedIndex = static_cast<int16_t>(index);
    m_capturedStream = stream;
    m_record.FillFromStream(stream);
    m_hasRecord = true;
    m_sampleRate = m_record.sampleRate;
    m_sampleFormat = m_record.sampleFormat;
    // PCM devices tell their sample size as the coded one only.
    int32_t bits = m_record.bitsPerRawSample > 0 ? m_record.bitsPerRawSample : m_record.bitsPerCodedSample;
    if (bits <= 0 && m_sampleFormat >= 0)
        bits = av_get_bytes_per_sample(static_cast<AVSampleFormat>(m_sampleFormat)) * 8;
    m_sampleSize = static_cast<int16_t>(bits);
    m_channels = static_cast<uint8_t>(m_record.channelLayout.nb_channels);
    TakeRealtimeStart();
    const AVRational timeBase = m_record.timeBase;
    if (ConsoleOn())
        ConsolePrintf("\t\t\t[Audio-Capture] Stream real information retrieved from (%s) are:\n\t\t\t\tChannels:[%d], Format:[%d],codec:[%d],Samplerate:[%d]Hz,TimeBase:[%d/%d].\r\n",
                      WStringToString(name).c_str(), m_channels, m_sampleFormat, static_cast<int32_t>(par->codec_id),
                      m_sampleRate, timeBase.num, timeBase.den);
    TYX_LOG(5, L"[Audio-Capture]: Stream real information retrieved from (%s) are:\n\t\t\t\t\t\tChannels:[%d], Format:[%d],codec:[%d],Samplerate:[%d]Hz,TimeBase:[%d/%d].\r\n",
            name.c_str(), m_channels, m_sampleFormat, static_cast<int32_t>(par->codec_id), m_sampleRate, timeBase.num,
            timeBase.den);
    return 0;
}

int32_t CRawAudioReader::ReadPacket(FramePackage &package)
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    // No deadline: sound devices deliver every period and never poll for an abort.
    const int32_t result = ReadCapturedPackage(package, kReadTag, 7, 0);
    if (result <= 0)
        return result;
    package.mediaType = TYX_MEDIA_AUDIO;
    package.kind = TYX_PKT_KIND_RAW_AUDIO;
    package.format = m_sampleFormat;
    return result;
}
