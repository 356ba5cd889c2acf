#pragma once

#include "input/CaptureReader.h"

#include <cstdint>
#include <string>

// One audio capture device (ALSA PCM, PulseAudio source, or a generated tone). Before the open the
// sample rate, size and channel count are the request (0: the device's default); after it they
// are what the device delivers.
class CRawAudioReader : public CCaptureReader
{
public:
    int32_t OpenMediaSource(const std::string &deviceName);
    using CCaptureReader::OpenMediaSource;
    int32_t ReadPacket(FramePackage &package) override;

    void SetRequest(int32_t sampleRate, int16_t sampleSize, uint8_t channels);
    int32_t SampleRate() const { return m_sampleRate; }
    int32_t SampleFormat() const { return m_sampleFormat; }
    int16_t SampleSize() const { return m_sampleSize; }
    uint8_t Channels() const { return m_channels; }

protected:
    int32_t OpenDevice(const std::string &name) override { return OpenMediaSource(name); }

private:
    void SetOptions();
    int32_t TakeStream(int32_t index, const std::wstring &name);

    int32_t m_sampleRate = 0;
    int32_t m_sampleFormat = -1;
    int16_t m_sampleSize = 0;
    uint8_t m_channels = 0;
};
