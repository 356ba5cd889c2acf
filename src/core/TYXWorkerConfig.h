#pragma once

// One configuration record per configured worker. The loaders fill a record, call BuildIOItems once
// the element is read, and hand it to its registry; the worker copies what it needs from it in
// CopyInConfiguration. Records copy deeply, except a writer's RecordSettings, which copies share.

#include "core/TYXConfigRecords.h"
#include "core/TYXWorkerItemInfo.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// Source and writer types (MSTYPE, MWType).
constexpr int32_t TYX_MS_FILE = 1;
constexpr int32_t TYX_MS_RTSP = 2;
constexpr int32_t TYX_MS_RTMP = 3;
constexpr int32_t TYX_MS_VCAP = 9;
constexpr int32_t TYX_MS_ACAP = 10;

// Mid-processor types (MPType).
constexpr int32_t TYX_MP_MUX = 1;
constexpr int32_t TYX_MP_MATRIX = 3;
constexpr int32_t TYX_MP_SPLIT = 5;
constexpr int32_t TYX_MP_UNIFY = 7;

// Stream numbers share the low 8 bits of a worker id, so that clearing them gives the producer.
constexpr int32_t TYX_MAX_STREAM_NO = 255;

// Worker and stream names compare without letter case.
bool TYXEqualNoCase(const std::wstring &a, const std::wstring &b);

struct stTYXWorkerConfig
{
    stTYXWorkerConfig() = default;
    virtual ~stTYXWorkerConfig() = default;
    stTYXWorkerConfig(const stTYXWorkerConfig &) = default;
    stTYXWorkerConfig &operator=(const stTYXWorkerConfig &) = default;
    stTYXWorkerConfig(stTYXWorkerConfig &&) noexcept = default;
    stTYXWorkerConfig &operator=(stTYXWorkerConfig &&) noexcept = default;

    virtual std::vector<stTYXWorkerItemInfo> GetInputItems() const { return InputItems; }
    virtual std::vector<stTYXWorkerItemInfo> GetOutputItems() const { return OutputItems; }
    // The id of the output stream with that number (above 0) or, for number 0 or below, with that
    // name (ignoring case); 0 when none matches, -2 for a number of 0 or below with an empty name.
    virtual int32_t FindOutputItemId(int32_t number, const std::wstring &name) const;
    // Derives InputItems and OutputItems (and kind-specific flags) from the loaded fields.
    virtual void BuildIOItems() = 0;
    // A copy of the whole record, of its own class, for an owner that must not see later changes.
    virtual std::shared_ptr<stTYXWorkerConfig> Clone() const = 0;

    std::wstring GetName() const { return Name; }
    void SetName(const std::wstring &name) { Name = name; }

    uint8_t MultiInput = 0;
    uint8_t MultiOutput = 0;
    std::wstring Name;           // nodeName
    int16_t No = -1;             // element number
    int32_t WorkerId = -1;
    int16_t LoadSeq = 0;
    uint8_t PushAtBegin = 0;
    std::wstring DisplayName;
    std::vector<stTYXWorkerItemInfo> InputItems;
    std::vector<stTYXWorkerItemInfo> OutputItems;
    uint8_t InputStreamTypes = 0;  // TYXStreamTypeMask
    uint8_t OutputStreamTypes = 0;

protected:
    // Stream id of this worker's output number n.
    int32_t OwnStreamId(int32_t number) const;
};

struct stMediaSourceReadWorkerConfig : stTYXWorkerConfig
{
    stMediaSourceReadWorkerConfig();
    void BuildIOItems() override;
    std::shared_ptr<stTYXWorkerConfig> Clone() const override
    {
        return std::make_shared<stMediaSourceReadWorkerConfig>(*this);
    }
    // The record of the stream whose number is streamId less WorkerId; a default record when there
    // is none.
    stTYXStreamConfig GetStreamConfig(int32_t streamId) const;

    uint8_t UseNTP = 1;
    uint8_t UseUTC = 1;
    int32_t MSTYPE = 0;          // TYX_MS_*
    int32_t MRType = 0;          // stream reading driver
    std::wstring MSFullPath;     // file path, stream URL or capture device name
    std::wstring SourceText2;
    float StartDelay = 0.0f;
    float ShowTime = 0.0f;
    float PlayFrom = 0.0f;
    float PlayTo = 0.0f;
    uint8_t Repeat = 0;
    std::map<int16_t, stTYXStreamConfig> Streams; // by stream number
    uint8_t UseTCP = 1;
    uint8_t Authorization = 0;
    uint8_t PushAtBegin = 0;     // the reader's own; the base field stays 0
    std::wstring AuthUN;
    std::wstring AuthPwd;
};

struct stVideoDecodeWorkerConfig : stTYXWorkerConfig
{
    stVideoDecodeWorkerConfig();
    void BuildIOItems() override;
    std::shared_ptr<stTYXWorkerConfig> Clone() const override
    {
        return std::make_shared<stVideoDecodeWorkerConfig>(*this);
    }

    int32_t VideoSource = -1;    // stream id of the coded video taken
    std::wstring VideoSourceName;
    uint8_t RVTP = 0;
    float OutputFramerate = 0.0f; // -1 the negotiated input rate, -2 the input stream's rate
    stDirectOutputConfig DirectOutputSettings;
    int32_t DecoderType = 1;     // 1 NVGPU, 0 FFMPG, 2 ITLGPU, 4 AMDGPU
    int32_t HwAcclrt = 0;        // 1 NVCODEC, 2 LIBMFX, 8 AMDAMF, 32 DIRECTX
    int32_t DecodeParam = -1;
    int32_t OutputPixelFormat = AV_PIX_FMT_YUV420P; // of the decoded pictures
    uint8_t SourceCaching = 0;   // 1: cache as long as the source stream's ProactiveCache
};

struct stAudioDecodeWorkerConfig : stTYXWorkerConfig
{
    stAudioDecodeWorkerConfig();
    void BuildIOItems() override;
    std::shared_ptr<stTYXWorkerConfig> Clone() const override
    {
        return std::make_shared<stAudioDecodeWorkerConfig>(*this);
    }

    int32_t AudioSource = -1;
    std::wstring AudioSourceName;
    uint8_t DirectOutput = 0;
    std::wstring AudioOutputDevice;
    int32_t OutputDeviceNo = -1;
};

struct stVideoEncodeWorkerConfig : stTYXWorkerConfig
{
    stVideoEncodeWorkerConfig();
    void BuildIOItems() override;
    std::shared_ptr<stTYXWorkerConfig> Clone() const override
    {
        return std::make_shared<stVideoEncodeWorkerConfig>(*this);
    }

    int32_t VideoSource = -1;    // stream id of the raw video taken
    std::wstring VideoSourceName;
    int32_t EncoderType = 1;
    int32_t HwAcclrt = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    float OutputFramerate = 0.0f; // -1 the negotiated input rate
    uint16_t GopLengh = 0;
    int32_t BitRate = 0;         // kbit/s
    uint8_t LowLatency = 0;
    int32_t VCodec = 0;          // FFmpeg codec id
    std::wstring VCodecName;     // the configured codec text
    std::wstring Profile;        // at most 15 characters each
    std::wstring Preset;
    std::wstring Usage;
};

struct stAudioEncodeWorkerConfig : stTYXWorkerConfig
{
    stAudioEncodeWorkerConfig();
    void BuildIOItems() override;
    std::shared_ptr<stTYXWorkerConfig> Clone() const override
    {
        return std::make_shared<stAudioEncodeWorkerConfig>(*this);
    }

    int32_t AudioSource = -1;
    std::wstring AudioSourceName;
    int32_t ACodec = 0;          // FFmpeg codec id
    std::wstring ACodecName;     // the configured codec text, at most 15 characters
    int32_t Samplerate = 0;
    uint8_t Channels = 0;
    int32_t BitRate = 0;
    int16_t Bitdepth = 0;
};

// Mux settings of a mid-processor.
struct stVMuxConfig
{
    int32_t MuxLayout = 22;
    std::map<int16_t, int32_t> MuxInputs;          // input number -> producer stream id
    std::map<int32_t, std::wstring> MuxInputNames; // producer stream id -> reference text
    std::set<int32_t> SifInputs;                   // stream ids of the required inputs
    std::map<int32_t, int16_t> InputRegions;       // producer stream id -> layout region
    std::vector<stChildWindowConfig> ChildWindows;
    uint8_t IPGNum = 1;
    uint8_t CylinderHeight = 9;
    uint16_t OutputWidth = 0;
    uint16_t OutputHeight = 0;
};

// The one input of a splitter or unifier, with the splitter's outputs.
struct stSingleInputConfig
{
    int32_t VideoSource = -1;
    std::wstring SourceName;                        // the reference text
    std::map<int16_t, stSplitOutputConfig> Outputs; // by output number
};

struct stVideoMidProcWorkerConfig : stTYXWorkerConfig
{
    stVideoMidProcWorkerConfig();
    void BuildIOItems() override;
    std::shared_ptr<stTYXWorkerConfig> Clone() const override
    {
        return std::make_shared<stVideoMidProcWorkerConfig>(*this);
    }

    int32_t MPType = 0;          // TYX_MP_*
    uint8_t RVTP = 0;
    stDirectOutputConfig DirectOutputSettings;
    float OutputFramerate = 0.0f;
    stVMuxConfig MuxSettings;
    std::map<int16_t, int32_t> MatrixInputs;
    std::map<int32_t, std::wstring> MatrixInputNames;
    std::map<int16_t, int16_t> MatrixOutputs;      // output number -> default input number
    uint16_t OutputWidth = 0;    // split and unify
    uint16_t OutputHeight = 0;
    stSingleInputConfig SingleInput;
    int32_t UnifySource = -1;    // the unifier's own copy of its source
    std::wstring UnifySourceName;
};

struct stMediaWriteWorkerConfig : stTYXWorkerConfig
{
    stMediaWriteWorkerConfig();
    void BuildIOItems() override;
    std::shared_ptr<stTYXWorkerConfig> Clone() const override
    {
        return std::make_shared<stMediaWriteWorkerConfig>(*this);
    }

    std::map<int32_t, std::wstring> VideoStreams; // producer stream id -> name
    std::map<int32_t, std::wstring> AudioStreams;
    uint8_t RequireAllInputs = 1;
    uint8_t RtspOverTcp = 0;
    int32_t MWType = 0;          // TYX_MS_FILE, TYX_MS_RTSP or TYX_MS_RTMP
    std::wstring outputURL;
    std::shared_ptr<stRecordFileConfig> RecordSettings; // shared by copies; file writers only
};
