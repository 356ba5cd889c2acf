#pragma once

// The software video decode worker (decoder type 0): libavcodec decodes, libswscale converts to
// the output size and pixel format when they differ, and each picture is copied into device
// memory (host memory on the host backend). The conversion follows the size of every decoded
// picture, so a source that changes its size mid-stream is converted, never over-read.

#include "codec/VDecWorker.h"
#include "core/FfmpegHandles.h"

#include <cstdint>
#include <vector>

class CFpgVDcdWorker : public CTYXVDecWorker
{
public:
    // Decoder errors.
    static constexpr int32_t kErrCodecId = -16;
    static constexpr int32_t kErrNoDecoder = -32;
    static constexpr int32_t kErrCodecParams = -64;
    static constexpr int32_t kErrOpen = -128;
    static constexpr int32_t kErrBuffers = -256;
    static constexpr int32_t kErrSend = -108;

    CFpgVDcdWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks);
    ~CFpgVDcdWorker() override;

    int32_t Initialize(uint8_t flag, int32_t value) override;
    void unInitialize() override;
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;

    int32_t InitializeDecoder(int32_t codecId) override;
    void UninitializeDecoder() override;
    int32_t DecodeExtraData(const uint8_t *data, int32_t size) override;
    int32_t DecodeFrame(FramePackage &package, std::vector<FramePackage> &frames) override;
    int32_t GetDecodedFrameInfo(stDecodedFrameInfo &info) override;
    int32_t CreateMdpFrame(uint32_t size) override;
    int32_t ListDecoderCaps() override { return 0; }

    // True while a scaler converts the pictures (tests).
    bool IsConverting() const { return m_conversionNeeded; }

private:
    // The output geometry of one decoded picture.
    struct stTarget
    {
        int32_t width = 0;
        int32_t height = 0;
        AVPixelFormat format = AV_PIX_FMT_NONE;
    };
    stTarget TargetFor(const AVFrame &frame) const;
    // Builds the scaler and the picture planes for pictures of that geometry (again when it changed).
    int32_t PrepareConversion(const AVFrame &frame, const stTarget &target);
    int32_t SendPacket(const FramePackage &package);
    void ReceiveFrames(std::vector<FramePackage> &frames, int32_t &received);
    bool PackageFrame(const AVFrame &frame, FramePackage &out);
    bool CopyPictureOut(const AVFrame &frame, FramePackage &out);
    int32_t FrameFlags(const AVFrame &frame) const;

    AvCodecPtr m_context;
    const AVCodec *m_decoder = nullptr;
    AvFramePtr m_receivedFrame;
    SwsPtr m_scaler;
    AvBytesPtr m_picture;           // output planes, packed, of m_pictureSize bytes
    uint8_t *m_planes[4] = {};
    int32_t m_lineSizes[4] = {};
    int32_t m_pictureSize = 0;
    bool m_conversionNeeded = false;
    bool m_drained = false;
    // What the scaler and the planes were built for.
    int32_t m_sourceWidth = 0;
    int32_t m_sourceHeight = 0;
    int32_t m_sourceFormat = AV_PIX_FMT_NONE;
    stTarget m_target;
};
