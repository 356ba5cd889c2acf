#pragma once

// The base of every video decode worker: one input of coded video, one output of I420 pictures in
// device memory. The thread waits for the first key frame, may fill a packet cache first, hands the
// packets to the back-end, dresses every picture with the worker's overlays, converts the frame rate
// and feeds the consumers, the frame pipe and the direct display. While the input is silent or
// reports a source status it sends default pictures that carry the status text, paced on the
// program clock.
//
// Threads: CopyInConfiguration, Initialize and unInitialize run on the pipeline manager's thread
// while the worker thread does not run; everything else runs on the worker thread.
// Back-ends release their codec in their own destructor: the base's cannot reach them any more.

#include "core/TYXWorkerStatistics.h"
#include "vproc/RVProcWorker.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// What a back-end knows of the pictures it decodes; unknown fields stay 0.
struct stDecodedFrameInfo
{
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t pitch = 0;
    uint16_t pixelFormat = 0;
    int32_t frameSize = 0;
    uint8_t bitDepth = 0;
    uint8_t bytesPerSample = 0;
    uint8_t semiPlanar = 0;
};

class CTYXVDecWorker : public CRVProcWorker
{
public:
    // Waits of the decoding loop, in ms.
    static constexpr uint32_t kInputTimeoutMs = 3000;
    static constexpr uint32_t kIdleWaitMs = 20;
    static constexpr uint32_t kCacheWaitMs = 50;
    static constexpr uint32_t kRetryWaitMs = 100;

    CTYXVDecWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks);
    ~CTYXVDecWorker() override;

    uint32_t WorkingFunc() override;
    int32_t Initialize(uint8_t flag, int32_t value) override;
    void unInitialize() override;
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    // The output follows the input's size and keeps its own frame rate and pixel format.
    int32_t SetInputParameters(const stStreamParams &params, uint32_t streamId) override;

    // ---- back-end operations ----
    virtual int32_t InitializeDecoder(int32_t codecId) = 0;
    virtual void UninitializeDecoder() = 0;
    virtual int32_t DecodeExtraData(const uint8_t *data, int32_t size) = 0;
    // Decodes one coded package (none: drains) and appends every picture that came out.
    virtual int32_t DecodeFrame(FramePackage &package, std::vector<FramePackage> &frames) = 0;
    virtual int32_t GetDecodedFrameInfo(stDecodedFrameInfo &info) = 0;
    virtual int32_t CreateMdpFrame(uint32_t size) = 0;
    virtual StreamStatisticsMap GetDecoderStatistics1() { return {}; }
    virtual StreamStatisticsMap GetDecoderStatistics2() { return {}; }
    virtual int32_t ListDecoderCaps() = 0;

    // ---- default frames and frame outputs (worker thread) ----
    // Makes the package a blank picture of its size with the status text of the code drawn on it:
    // 0, -1 when no picture can be made.
    int32_t CreateDefaultFrameForOutput(FramePackage &package, int32_t statusCode);
    int32_t DrawOsdgOnFrame(FramePackage &package);
    using CRVProcWorker::PushFrameToDirectOutputs;
    int32_t PushFrameToDirectOutputs(FramePackage &package);

    bool IsDecoderReady() const { return m_decoderReady.load(); }
    uint16_t CacheLength() const { return m_cacheLength; }
    float OutputFrameRate() const { return m_outputFrameRate; }
    int64_t FrameInterval() const { return m_frameInterval; }
    // Cache marks as the loop computes them for a cache length and an input rate.
    struct stCacheMarks
    {
        int32_t target = 0;
        int32_t low = 0;
        int32_t high = 0;
    };
    static stCacheMarks ComputeCacheMarks(uint16_t cacheLengthMs, float inputFps);

protected:
    // The back-end's working buffer: kept when it already has the size (a buffer is never lost), else
    // made anew in device or host memory. 0, or the device layer's error.
    int32_t AllocateWorkingBuffer(uint32_t size, bool inDevice);
    void ReleaseWorkingBuffer();
    uint32_t WorkingBufferSize() const { return m_workingSize; }
    void *WorkingBuffer() const { return m_workingBuffer; }
    // Whether the log lines of a decoder lost to a failure and opened again are written this round:
    // a stream that keeps failing logs them once in so many rounds. Worker thread only.
    bool IsDecoderLossLogDue() const;

    std::atomic<bool> m_decoderReady{false};
    int16_t m_cacheDisabled = 0;
    uint16_t m_cacheLength = 0;
    std::vector<FramePackage> m_decodedFrames;
    int32_t m_currentInputStreamId = 0;
    uint8_t m_drawFlag = 0;
    uint8_t m_defaultOnDevice = 1;
    uint16_t m_timestampDelay = 300;
    float m_defaultFrameRate = 30.0f;
    uint16_t m_defaultWidth = 1280;
    uint16_t m_defaultHeight = 720;
    uint16_t m_defaultPitch = 1280;
    int64_t m_frameInterval = 33333;
    int64_t m_lastPushedPts = 0;
    int64_t m_lastPushTime = 0;
    std::shared_ptr<COsdWriter> m_statusWriter;
    float m_outputFrameRate = 0.0f;
    uint8_t m_useGpu = 1;
    uint8_t m_pipeEnabled = 0;
    uint8_t m_displayEnabled = 0;
    uint32_t m_firstOutputTick = 0;

private:
    uint32_t m_decoderLosses = 0; // decoders closed by a failure since the last picture (worker thread)
    // State of the decoding loop; the worker thread's own.
    struct stLoopState
    {
        uint32_t waitMs = 0;
        uint32_t lastReceiveTick = 0;
        bool timedOut = false;
        bool keySeen = false;
        bool paused = false;
        bool initialFill = true;
        bool caching = false;
        bool cachingLogged = false;
        stCacheMarks marks;
        bool marksSet = false;
        int32_t lastQueued = -1;
        uint32_t lastQueueChangeTick = 0;
        uint32_t pushed = 0;
        uint32_t defaultFrames = 0;
        uint32_t firstDefaultTick = 0;
        bool firstDefaultAfterTimeout = false;
        bool mdpMade = false;
        bool serversStarted = false;
        uint32_t wrongKind = 0;     // packages that were no coded video
        uint32_t initFailures = 0;  // decoder opens that failed in a row
        FramePackageQueue converted;
    };
    enum class ELoopStep { Wait, Exit, Go };

    ELoopStep WaitForSignals(stLoopState &state);
    void HandleNothingReceived(stLoopState &state);
    void HandleReceived(stLoopState &state, FramePackage &package);
    void HandleCodedPackage(stLoopState &state, FramePackage &package);
    bool PassKeyFrameGate(stLoopState &state, FramePackage &package);
    void CloseKeyFrameGate(stLoopState &state, bool logIt);
    bool EnsureDecoderReady(stLoopState &state);
    bool HoldForCache(stLoopState &state);
    void LogCaching(stLoopState &state, int32_t queued, bool start);
    void DecodeAndSend(stLoopState &state, FramePackage &package);
    void FollowDecodedSize(stLoopState &state);
    void SendDecodedFrame(stLoopState &state, FramePackage &frame);
    void SendOne(stLoopState &state, FramePackage &frame);
    void HandleStatusPackage(stLoopState &state, FramePackage &package);
    void HandleInputTimeout(stLoopState &state);
    bool SendDefaultFrame(FramePackage &frame);
    void LogDefaultFramePace(stLoopState &state);
    bool HasConsumers();
    void FreeLoopState(stLoopState &state);
    void OpenDecoder(int32_t codecId, const stStreamParams &input, bool logFailure = true);
    int32_t SafeDecodeExtraData(const stStreamParams &input);
    void DropInput(FramePackage &package, stLoopState &state);
    void LogExtraData(const stStreamParams &input);
    void SetUpFrameRate(float rate);
    void SetUpStatusWriter();
    int64_t FrameDuration(float inputFps) const;
    stOutputTimeRecord TimeRecord() const;

    void *m_workingBuffer = nullptr;
    uint32_t m_workingSize = 0;
    bool m_workingInDevice = false;
};
