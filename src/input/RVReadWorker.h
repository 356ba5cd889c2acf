#pragma once

#include "core/FfmpegHandles.h"
#include "core/FrameRateAdjuster.h"
#include "core/TYXConfigRecords.h"
#include "input/RawVideoReader.h"
#include "input/ReadStreamState.h"
#include "platform/CriticalSection.h"
#include "vproc/RVProcWorker.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Queue bounds: coded packets waiting for the decoder, pictures waiting for post-processing.
constexpr size_t TYX_RVR_DECODE_QUEUE_LIMIT = 900;
constexpr size_t TYX_RVR_POST_QUEUE_LIMIT = 30;
// Speeds are logged once per this many frames.
constexpr uint32_t TYX_RVR_SPEED_LOG_FRAMES = 1800;
// Post-processing thread results.
constexpr uint32_t TYX_RVR_POST_NO_CONTEXT = 2;
constexpr uint32_t TYX_RVR_POST_NO_FORMAT = 8;
constexpr uint32_t TYX_RVR_POST_BAD_FORMAT = 16;
// How long the end of a source waits for the pictures still in the helper threads.
constexpr uint32_t TYX_RVR_DRAIN_MS = 2000;
// The rate a device below 10 or above 120 fps is corrected to when the pipeline names none.
constexpr uint16_t TYX_RVR_DEFAULT_FRAME_RATE = 30;

// Bytes of one output picture of the pixel format; -1 for a format the worker cannot put out.
int32_t RawVideoOutputFrameSize(int32_t pixelFormat, int32_t width, int32_t height);

// The pipeline stage of a local video capture device. Three threads: the read thread (the main
// thread) takes the device's packets and stamps them on the program clock; coded ones go to the
// decode thread, raw ones straight to the post-processing thread, which converts every picture to
// the output format, puts it in device memory, draws the overlays, feeds the direct outputs and
// sends it on. The queues between them are bounded and drop the newest package when full, so the
// read thread never waits. Each queue owns its packages; a lock is held only to append or pop.
// Both helper threads wait until the device has opened, so a device that opens only at the read
// thread's start still gets decoded and sent.
class CRawVideoReadWorker : public CRVProcWorker
{
public:
    CRawVideoReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks);
    ~CRawVideoReadWorker() override;

    uint32_t WorkingFunc() override;
    int32_t Initialize(uint8_t flag, int32_t value) override;
    void unInitialize() override;
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    virtual std::map<int16_t, stReadStreamCounts> GetStreamStatisticsA();

    // Prepares the decoder context from the reader (a raw device gets the raw video decoder).
    bool RetrieveCodecInfo();
    uint32_t DecodeThread();
    uint32_t PostProcThread();
    int64_t RebaseTimestamp(FramePackage &package);
    void ReportSourceEvent(int32_t eventType);

    // The rate a device outside 10 to 120 fps is taken at (the pipeline's negotiated input rate);
    // 0 leaves TYX_RVR_DEFAULT_FRAME_RATE.
    void SetCorrectedFrameRate(uint16_t fps) { m_correctedFrameRate = fps; }
    void AllowTestSources(bool allow) { m_allowTestSources = allow; }
    // Frames between two speed log lines (TYX_RVR_SPEED_LOG_FRAMES); set before Initialize.
    void SetSpeedLogInterval(uint32_t frames) { m_speedLogFrames = frames > 0 ? frames : TYX_RVR_SPEED_LOG_FRAMES; }
    // Sets the output pixel format before Initialize (YUV420P by default).
    void SetOutputPixelFormat(int32_t pixelFormat) { m_outputPixelFormat = pixelFormat; }
    CRawVideoReader *Reader() const { return m_reader.get(); }
    uint32_t OutputStreamId() const { return m_outputStreamId; }
    // Pictures waiting for post-processing, and whether pushing is paused now.
    size_t PendingPictures() { return m_postQueue.Size(); }
    bool IsPushingStopped() const { return m_pushingStopped.load() != 0; }
    // What the helper threads ended with (-1 while they run or never ran).
    int32_t DecodeThreadResult() const { return m_decodeResult.load(); }
    int32_t PostProcThreadResult() const { return m_postResult.load(); }

private:
    struct stPackageQueue
    {
        std::deque<FramePackage> packages;
        CCriticalSection lock;
        // Appends a host copy when fewer than limit wait; false when full or the copy failed.
        bool PushCopy(const FramePackage &package, size_t limit);
        bool Pop(FramePackage &package);
        size_t Size();
        void Clear();
    };
    struct stPictureConverter;

    int32_t OpenAtThreadStart();
    // Publishes the stream record as the output parameters; false without a record.
    bool PublishOutputParameters(bool notify);
    void CheckFrameRate(stMediaStreamInfo &info);
    void QueueReadPackage(const FramePackage &package);
    void EndOfSource(int32_t result);
    // Waits (at most timeoutMs, and never past the exit) until the helper threads have handled what
    // they hold, so that the status of the source's end follows its last picture.
    void DrainHelperThreads(uint32_t timeoutMs);
    void CountRead(const FramePackage &package);
    bool ExitRequested(uint32_t timeoutMs = 0) { return m_exitEvent->Wait(timeoutMs) == TYX_WAIT_OBJECT_0; }
    // Waits until the device has opened and a decoder context exists; false at the exit.
    bool WaitForDevice();
    std::shared_ptr<AVCodecContext> DecoderContext();

    // Decode thread parts.
    void SendPacketToDecoder(AVCodecContext &decoder, FramePackage &package, AVPacket &packet, AVFrame &frame);
    void QueueDecodedFrame(const AVFrame &frame);
    // Post-processing thread parts.
    bool HasSomewhereToSend();
    // Converts and uploads a picture; the device package, or one without data on failure.
    FramePackage MakeOutputPicture(FramePackage &input, stPictureConverter &converter, bool &timed);
    void HandlePopped(FramePackage &input, bool paused, stPictureConverter &converter);
    void HandlePicture(FramePackage &input, stPictureConverter &converter);
    void StartDirectOutputs();
    void StopDirectOutputs();

    uint16_t m_correctedFrameRate = 0;
    std::atomic<int32_t> m_outputWidth{0};   // written by the read thread at a late open
    std::atomic<int32_t> m_outputHeight{0};
    int32_t m_outputPixelFormat = -1;
    std::atomic<int32_t> m_inputPixelFormat{-1};
    std::unique_ptr<CRawVideoReader> m_reader;
    std::wstring m_sourceName;
    std::wstring m_sourceNameForLog;
    stTYXStreamConfig m_stream;
    uint32_t m_outputStreamId = 0;
    stPackageQueue m_postQueue;
    stPackageQueue m_decodeQueue;
    int32_t m_postThreadId = 0;
    int32_t m_decodeThreadId = 0;
    bool m_contextRetained = false;
    std::atomic<uint8_t> m_running{0};
    stReadStreamCounts m_readCounts;
    std::atomic<uint8_t> m_readerOpened{0};
    std::atomic<uint8_t> m_needsDecoding{0};
    std::mutex m_decoderMutex;                 // the decoder context handle
    std::shared_ptr<AVCodecContext> m_decoder;
    std::atomic<bool> m_deviceReady{false};    // opened, output size known, decoder context made
    AVRational m_inputTimeBase{0, 1};
    stTimestampRebase m_rebase;
    bool m_allowTestSources = false;
    std::atomic<bool> m_decodeBusy{false};
    std::atomic<bool> m_postBusy{false};
    std::atomic<int32_t> m_decodeResult{-1};
    std::atomic<int32_t> m_postResult{-1};
    // Speed counters of the helper threads (each thread its own).
    uint32_t m_speedLogFrames = TYX_RVR_SPEED_LOG_FRAMES;
    int64_t m_decodeMs = 0;
    uint32_t m_decodedFrames = 0;
    int64_t m_postMs = 0;
    uint32_t m_postFrames = 0;
};
