#pragma once

// The base of every video encode worker: it resolves the encode parameters from the configuration
// and the input stream, opens the back-end and takes its sequence header into the output stream's
// extradata, and runs the thread that draws the overlays on each raw picture, converts the frame
// rate by duplication, encodes, stamps the coded packets with a calculated dts and sends them on.
//
// Lifecycle: constructed -> CopyInConfiguration -> Initialize (encoder open) -> thread until the
// exit event or an empty package -> unInitialize. At the exit event the thread sends what the
// encoder still holds before it ends; at an empty package it does not. The back-ends close their
// encoder in their own destructor; the base never calls a back-end operation from its destructor.
//
// Threads: CopyInConfiguration, Initialize and unInitialize run on the pipeline manager's thread
// while the worker's thread is not running; WorkingFunc and the back-end's encode operations run on
// the worker's own thread.

#include "host/WorkerInstanceInfo.h"
#include "vproc/RVProcWorker.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

// What the back-end is opened with.
struct stVideoEncodeParams
{
    uint16_t width = 0;
    uint16_t height = 0;
    int32_t bitDepth = 0;
    uint16_t gopSize = 0;
    int32_t bitRate = 0;          // bit/s
    int32_t codecId = 0;          // FFmpeg codec id, 1..65535 valid
    int32_t pixelFormat = -1;     // of the input pictures
    float frameRate = 0.0f;
    std::wstring codecName;
    std::wstring secondName;      // the configured preset text, passed through
    std::wstring profileName;
    std::wstring inputName;
    std::wstring reservedText;
    std::wstring options;         // the configured usage text ("Record", "Live", ...)
    // The input pictures as they arrive (the encode size may differ).
    uint16_t inputWidth = 0;
    uint16_t inputHeight = 0;
};

// Picture types of the coded outputs (the encoder API's numbering).
constexpr uint16_t TYX_PIC_TYPE_P = 0;
constexpr uint16_t TYX_PIC_TYPE_B = 1;
constexpr uint16_t TYX_PIC_TYPE_I = 2;
constexpr uint16_t TYX_PIC_TYPE_IDR = 3;
constexpr uint16_t TYX_PIC_TYPE_UNKNOWN = 65535;
const wchar_t *PictureTypeName(uint32_t pictureType);

// Coded bytes in package memory, so that a package can take them over without another copy.
struct stEncodedBytesFreer
{
    void operator()(uint8_t *bytes) const { ReleaseFramePackageData(bytes, false); }
};
using EncodedBytes = std::unique_ptr<uint8_t, stEncodedBytesFreer>;
// A copy of size bytes (none for a size of 0 or below, or when no buffer can be had).
EncodedBytes CopyEncodedBytes(const uint8_t *data, int32_t size);

// One coded packet of the back-end. The record owns its data until it is handed to a package.
struct stEncodedOutput
{
    uint32_t frameIndex = 0;
    uint16_t pictureType = TYX_PIC_TYPE_UNKNOWN;
    uint8_t ltrFrame = 0;
    uint32_t ltrFrameIndex = 0;
    int64_t pts = 0;              // µs
    int64_t duration = 0;         // µs
    int32_t size = 0;
    EncodedBytes data;
};
using EncodedOutputs = std::vector<stEncodedOutput>;

// Named settings the NVENC back-end fills; kept by the base so that both back-ends share the slot.
struct stEncodePreset
{
    int32_t tuningInfo = 0;
    int32_t rateControl = 0;
    int32_t vbvBufferSize = 0;
    int16_t frameIntervalP = 0;
    bool lookahead = false;
    bool bFramesAsRef = false;
    int16_t gopLength = 0;
    bool spatialAq = false;
    int32_t multiPass = 0;
    bool longTermRefs = false;
    bool intraRefresh = false;
};
using EncodePresetMap = std::map<std::wstring, stEncodePreset>;

class CTYXEncWorker : public CRVProcWorker
{
public:
    // Pictures queued at the input from which one is dropped unencoded, to stay near real time.
    static constexpr int32_t kBacklogDropCount = 15;
    static constexpr int32_t kLoggedFrames = 270;

    CTYXEncWorker(uint32_t workerId, const InputLinkMap *inputLinks = nullptr,
                  const ConsumerLinkMap *consumerLinks = nullptr);
    ~CTYXEncWorker() override;

    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    int32_t SetInputParameters(const stStreamParams &params, uint32_t streamId) override;
    // Opens the encoder; 0, -1 for a configuration it cannot use, or the back-end's negative code.
    int32_t Initialize(uint8_t useGpu, int32_t gpuNumber) override;
    void unInitialize() override;
    uint32_t WorkingFunc() override;

    // ---- back-end operations ----
    virtual bool IsEncoderReady() = 0;
    virtual int32_t InitializeEncoder(const stVideoEncodeParams &params) = 0;
    virtual void UninitializeEncoder() = 0;
    // Stores a new copy of the sequence header and returns its size (0 when there is none).
    virtual int32_t RetrieveSequenceParameters(std::unique_ptr<uint8_t[]> &header) = 0;
    // Encodes one raw picture and appends every coded packet that came out: their number, or negative.
    virtual int32_t EncodeFrame(const FramePackage &package, EncodedOutputs &outputs) = 0;
    virtual void FlushEncoder(EncodedOutputs &outputs) = 0;
    virtual int32_t ReservedEncoderOp() { return 0; }
    // Both back-ends accept every name (and clear the text).
    virtual bool CheckCodecName(std::wstring &name);
    virtual bool ReservedEncoderCheck(const stVideoEncodeParams &params, stVideoEncodeParams &out);
    virtual std::unique_ptr<StreamStatisticsMap> GetEncoderStatistics() { return std::make_unique<StreamStatisticsMap>(); }
    virtual std::unique_ptr<StreamStatisticsMap> GetEncoderStatistics2() { return std::make_unique<StreamStatisticsMap>(); }

    const stVideoEncodeParams &EncodeParams() const { return m_encodeParams; }
    const stVideoEncodeSettings &EncodeSettings() const { return m_encodeSettings; }
    int64_t EncodedCount() const { return m_encodedCount; }

protected:
    // The stamps of the pictures handed to the encoder, in the order they were handed (their display
    // order), and how many coded outputs came back: what the decode stamps are taken from.
    struct stCommittedPictures
    {
        std::deque<int64_t> stamps;
        int64_t coded = 0;
        int64_t lastDts = TYX_NOPTS_VALUE;
    };
    // Decode time stamp of the next coded output, never after its pts and always above the last one.
    int64_t CalculateDts(stCommittedPictures &committed, int64_t pts, int64_t frameDuration) const;
    // True while the thread's flush has run past its time: a back-end that gives its delayed
    // packets out one by one stops collecting them then.
    bool FlushOverdue() const;
    // The GPU that Initialize was given, else the current one.
    int32_t GpuDevice() const;

    std::unique_ptr<uint8_t[]> m_sequenceHeader;
    int32_t m_sequenceHeaderSize = 0;
    int32_t m_requiredInputSize = 0;   // bytes; set by the back-ends from the input picture size
    // The size of the pictures the back-end takes, set by InitializeEncoder: a picture of another
    // size is scaled to it before the overlays and the encoder see it (0 x 0: none is scaled).
    uint16_t m_pictureWidth = 0;
    uint16_t m_pictureHeight = 0;
    int32_t m_reorderDepth = 0;        // pictures a coded output may precede its display by
    int64_t m_encodedCount = 0;
    int32_t m_gpuNumber = -1;
    stVideoEncodeParams m_encodeParams;
    stVideoEncodeSettings m_encodeSettings;
    EncodePresetMap m_presets;

private:
    struct stLoopState;
    // The thread's flushes; the back-end's FlushEncoder within the flush budget.
    void FlushWithinBudget(EncodedOutputs &outputs);
    // At a stop: what the encoder still holds goes to the consumers, which stop after the encoders.
    void SendHeldPictures(stLoopState &state);
    int32_t FillEncodeParams();
    void TakeSequenceHeader();
    // One pass: takes at most one picture and encodes it; false when the thread is to end.
    bool RunPass(stLoopState &state);
    bool HasConsumer();
    // A picture the back-end can read, scaled to its size when it has another: false when it is to
    // be dropped (logged).
    bool FitToEncoder(FramePackage &package, stLoopState &state);
    void DrawOverlays(FramePackage &frame, stLoopState &state);
    bool EncodeConverted(const FramePackage &input, stLoopState &state);
    // Commits and encodes one picture: the back-end's result.
    int32_t CommitAndEncode(FramePackage &frame, stLoopState &state);
    void KeepLastPicture(FramePackage &frame, stLoopState &state);
    void SendOutputs(stLoopState &state);
    void SendOutput(stEncodedOutput &output, int64_t dts, stLoopState &state);

    uint32_t m_flushStartTick = 0;
    bool m_flushing = false;
};
