#pragma once

// The libavcodec video encode worker (encoder type 0): an encoder chosen by codec id or name, in
// software or on a hardware device of an allowed device type, a header context for the global
// sequence header, conversion of the input pictures to the encoder's size and pixel format.
//
// The encoder is given a running picture number as its time stamp (its time base is the frame
// interval) and the picture's own pts and duration come back with each packet through a map: rate
// control then sees the real frame interval instead of microseconds of the program clock.

#include "codec/VEncWorker.h"
#include "core/FfmpegHandles.h"

extern "C" {
#include <libavutil/buffer.h>
}

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

// FFmpeg profile value of a configured profile name (case-insensitive; -99 when unlisted).
int32_t FfmpegProfileOfName(const std::wstring &name);

class CFpgVEcdWorker : public CTYXEncWorker
{
public:
    CFpgVEcdWorker(uint32_t workerId, const InputLinkMap *inputLinks = nullptr,
                   const ConsumerLinkMap *consumerLinks = nullptr);
    ~CFpgVEcdWorker() override;

    // The hardware acceleration code of the service host (1 NVCODEC, 2 LIBMFX, 8 AMDAMF, 32 DIRECTX):
    // 0 when taken, -1 when refused (above 32, or a code without device types; it is stored anyway
    // unless above 32).
    int32_t SetHwAcceleration(int32_t code);
    int32_t HwType() const { return m_hwType; }
    const std::set<int32_t> &AllowedDeviceTypes() const { return m_allowedDeviceTypes; }

    bool IsEncoderReady() override;
    int32_t InitializeEncoder(const stVideoEncodeParams &params) override;
    void UninitializeEncoder() override;
    int32_t RetrieveSequenceParameters(std::unique_ptr<uint8_t[]> &header) override;
    int32_t EncodeFrame(const FramePackage &package, EncodedOutputs &outputs) override;
    void FlushEncoder(EncodedOutputs &outputs) override;

    // What the last InitializeEncoder chose (tests and the benchmark read them).
    const AVCodec *Encoder() const { return m_encoder; }
    const AVCodecContext *CodecContext() const { return m_codecContext.get(); }
    int32_t ChosenDeviceType() const { return m_deviceType; }
    bool ConversionNeeded() const { return m_conversionNeeded; }

private:
    struct stBufferRefFreer
    {
        void operator()(AVBufferRef *ref) const { av_buffer_unref(&ref); }
    };
    using AvBufferPtr = std::unique_ptr<AVBufferRef, stBufferRefFreer>;

    int32_t ResolveCodecId(const stVideoEncodeParams &params) const;
    int32_t CollectEncoders(int32_t codecId, std::map<std::string, const AVCodec *> &encoders);
    bool ChooseHardwareEncoder(int32_t codecId, const std::map<std::string, const AVCodec *> &encoders);
    void SetUpContext(AVCodecContext &context, const stVideoEncodeParams &params, int32_t profile) const;
    int32_t SetUpHardwareFrames(AVCodecContext &header, const stVideoEncodeParams &params);
    void KeepGlobalHeader(AVCodecContext &header);
    int32_t SetUpBuffers(const stVideoEncodeParams &params);
    int32_t OpenEncoder(const stVideoEncodeParams &params);
    int32_t CopyIntoInputPlanes(const FramePackage &package);
    int32_t SendPicture(const AVFrame *frame);
    int32_t ReceivePackets(EncodedOutputs &outputs, bool flushing);

    uint8_t *m_inputPlanes[4] = {nullptr, nullptr, nullptr, nullptr};
    int32_t m_inputLineSizes[4] = {0, 0, 0, 0};
    int32_t m_inputPictureSize = 0;
    int32_t m_inputWidth = 0;
    int32_t m_inputHeight = 0;
    int32_t m_inputFormat = -1;
    SwsPtr m_scaler;
    AvFramePtr m_conversionFrame;
    int32_t m_conversionBufferSize = 0;
    AvBytesPtr m_conversionBuffer;
    std::unique_ptr<uint8_t[]> m_globalHeader;
    int32_t m_globalHeaderSize = 0;
    const AVCodec *m_encoder = nullptr;
    AvCodecPtr m_codecContext;
    bool m_hardwareFrames = false;
    int32_t m_hwType = 0;
    std::set<int32_t> m_allowedDeviceTypes;
    int32_t m_deviceType = 0;
    int32_t m_hwPixelFormat = -1;
    AvBufferPtr m_deviceContext;
    std::set<int32_t> m_hwFormats;
    std::set<int32_t> m_swFormats;
    int32_t m_swFormat = -1;
    bool m_conversionNeeded = false;
    AvFramePtr m_encodeFrame;
    AvPacketPtr m_packet;
    int64_t m_pictureNumber = 0;
    std::map<int64_t, std::pair<int64_t, int64_t>> m_pictureTimes; // number -> (pts, duration) in µs
};
