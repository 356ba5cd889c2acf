#pragma once

// The NVENC encode worker (encoder type 1): the encoder settings become an option text for
// NvEncoderInitParam, a "Record" or "Live" preset named by the usage text is laid over it, and
// each I420 picture is copied into the next input buffer of one NvEncoderCuda session. Without
// the driver the session is the software stand-in (NvEncStandIn.h), so the same worker runs.
//
// Exceptions of the session and the option parser are caught here: Initialize fails with a code
// and the thread goes on, instead of the exception ending the caller's thread.

#include "codec/NvEncoderCuda.h"
#include "codec/NvEncoderInitParam.h"
#include "codec/VEncWorker.h"
#include "platform/GpuDevice.h"

#include <memory>
#include <string>
#include <vector>

constexpr int32_t TYX_NVENC_ERR_NO_CONTEXT = -8;
constexpr int32_t TYX_NVENC_ERR_NO_SESSION = -1;
constexpr int32_t TYX_NVENC_ERR_NO_OPTIONS = -2;
constexpr int32_t TYX_NVENC_ERR_FORMAT = -4;
constexpr int32_t TYX_NVENC_ERR_SETUP = -16;
constexpr int32_t TYX_NVENC_ERR_OPTION_TEXT = -32;

class CNvHwVEcdWorker : public CTYXEncWorker
{
public:
    CNvHwVEcdWorker(uint32_t workerId, const InputLinkMap *inputLinks = nullptr,
                    const ConsumerLinkMap *consumerLinks = nullptr);
    ~CNvHwVEcdWorker() override;

    bool IsEncoderReady() override;
    int32_t InitializeEncoder(const stVideoEncodeParams &params) override;
    void UninitializeEncoder() override;
    int32_t RetrieveSequenceParameters(std::unique_ptr<uint8_t[]> &header) override;
    int32_t EncodeFrame(const FramePackage &package, EncodedOutputs &outputs) override;
    void FlushEncoder(EncodedOutputs &outputs) override;

    // " -codec %s -profile %s -fps %d -gop %d -bitrate %dK" of the settings and the resolved frame
    // rate (the configured one, else the input's); empty when the codec name gives no text.
    static std::string BuildOptionString(const stVideoEncodeSettings &settings, float frameRate);
    // Buffer format of an FFmpeg pixel format (undefined for one the encoder cannot take).
    static NV_ENC_BUFFER_FORMAT BufferFormatOfPixelFormat(int32_t pixelFormat);

    // For tests: what the last InitializeEncoder made.
    const NvEncoderInitParam *OptionParser() const { return m_optionParser.get(); }
    NvEncoderCuda *Encoder() const { return m_encoder.get(); }
    const EncodePresetMap &Presets() const { return m_presets; }
    int64_t FramesSubmitted() const { return m_framesSubmitted; }

private:
    void FillPresets(const stVideoEncodeParams &params);
    void ApplyPreset(const stEncodePreset &preset, NV_ENC_INITIALIZE_PARAMS &init) const;
    void SetUpEncoder(const stVideoEncodeParams &params, NV_ENC_BUFFER_FORMAT format);
    int32_t CopyIntoInputBuffer(const FramePackage &package);
    void AppendPackets(EncodedOutputs &outputs);

    std::unique_ptr<NvEncoderInitParam> m_optionParser;
    int64_t m_framesSubmitted = 0;
    GpuContext m_gpuContext = nullptr;
    std::unique_ptr<NvEncoderCuda> m_encoder;
    std::vector<stNvEncPacket> m_packets;
};
