#pragma once

#include "core/FfmpegHandles.h"
#include "core/FrameRateAdjuster.h"
#include "core/TYXConfigRecords.h"
#include "core/TYXWorker.h"
#include "input/RawAudioReader.h"
#include "input/ReadStreamState.h"

extern "C" {
#include <libswresample/swresample.h>
}

#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct stSwrFreer
{
    void operator()(SwrContext *context) const { swr_free(&context); }
};
using SwrPtr = std::unique_ptr<SwrContext, stSwrFreer>;

// Results of OnDeviceOpenned.
constexpr int32_t TYX_RAR_NO_DECODER = -8;
constexpr int32_t TYX_RAR_DECODER_OPEN = -16;
constexpr int32_t TYX_RAR_RESAMPLER = -64;

// Bits of one sample of an FFmpeg sample format (packed or planar); 0 for an unknown one.
int16_t SampleFormatBits(int32_t sampleFormat);

// The pipeline stage of a local audio capture device: reads the device's packets on its main
// thread, decodes them, resamples them to interleaved 32-bit float at the configured rate and
// channel count, stamps them on the program clock and sends them as raw audio packages.
class CRawAudioReadWorker : public CTYXWorker
{
public:
    CRawAudioReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks);
    ~CRawAudioReadWorker() override;

    uint32_t WorkingFunc() override;
    int32_t Initialize(uint8_t flag, int32_t value) override;
    void unInitialize() override;
    // Creates the reader, opens the device once and registers the one output stream.
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    // Key 0: the worker's reading counters.
    virtual std::map<int16_t, stReadStreamCounts> GetStreamStatisticsA();

    // Prepares the output parameters, the decoder and the resampler after the device opened: 0,
    // -1 without codec parameters, -1016 without a stream record, or TYX_RAR_*.
    int32_t OnDeviceOpenned();
    // Rewrites the package's stamps into program-clock time; the new pts.
    int64_t RebaseTimestamp(FramePackage &package);
    void ReportSourceEvent(int32_t eventType);

    // Test sources ("lavfi:", "file:") may be opened; set before CopyInConfiguration.
    void AllowTestSources(bool allow) { m_allowTestSources = allow; }
    CRawAudioReader *Reader() const { return m_reader.get(); }
    uint32_t OutputStreamId() const { return m_outputStreamId; }

private:
    // Reopens a closed device at thread start: 0 or the open's negative code.
    int32_t OpenAtThreadStart();
    // Decodes one package and sends what comes out: 0, or a negative code that ends the thread.
    int32_t DecodeAndSend(const FramePackage &package);
    // Resamples one decoded frame into a package and sends it: 0, or FFmpeg's code.
    int32_t ResampleAndSend(const AVFrame &frame);
    // The source stopped delivering (or cannot be converted): status, state and event.
    void EndOfSource(int32_t result);
    void CountRead(const FramePackage &package);
    bool ExitRequested() { return m_exitEvent->Wait(0) == TYX_WAIT_OBJECT_0; }

    int32_t m_capturedIndex = -1;
    std::unique_ptr<CRawAudioReader> m_reader;
    std::wstring m_sourceName;
    std::wstring m_sourceNameForLog;
    stTYXStreamConfig m_stream;
    uint32_t m_outputStreamId = 0;
    stReadStreamCounts m_readCounts;
    uint8_t m_readerOpened = 0;
    AvCodecPtr m_decoder;
    AvFramePtr m_decodedFrame;
    SwrPtr m_resampler;
    int32_t m_outSampleRate = 0;
    int32_t m_outSampleFormat = 3;   // interleaved 32-bit float
    int16_t m_outBitsPerSample = 32;
    uint8_t m_outChannels = 0;
    AVRational m_inputTimeBase{0, 1};
    stTimestampRebase m_rebase;
    bool m_allowTestSources = false;
};
