#pragma once

// The NVDEC video decode worker (decoder type 1): one NvDecoder turns each coded packet into
// NV12 pictures in device memory, converted in place to I420 and copied into a package of their
// own, so the decoder's buffers can be reused while consumers still hold earlier pictures. Where
// the driver cannot be opened, the NVDEC calls go to the software stand-in.

#include "codec/NvDecApi.h"
#include "codec/VDecWorker.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class NvDecoder;

class NvHwVDecoder : public CTYXVDecWorker
{
public:
    NvHwVDecoder(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
                 const stNvDecApi &api = NvDecApi());
    ~NvHwVDecoder() override;

    int32_t Initialize(uint8_t flag, int32_t value) override;
    void unInitialize() override;

    int32_t InitializeDecoder(int32_t codecId) override;
    void UninitializeDecoder() override;
    int32_t DecodeExtraData(const uint8_t *data, int32_t size) override;
    int32_t DecodeFrame(FramePackage &package, std::vector<FramePackage> &frames) override;
    int32_t GetDecodedFrameInfo(stDecodedFrameInfo &info) override;
    int32_t CreateMdpFrame(uint32_t size) override;
    int32_t ListDecoderCaps() override;

    // The NVDEC codec of an FFmpeg codec id (12, none, for the unmapped ones).
    static int32_t MapCodecId(int32_t codecId);
    size_t FlagMapSize() const { return m_flagMap.size(); }

private:
    int32_t DecodePacket(const FramePackage &package);
    int32_t RecreateDecoder();
    void RememberFlags(int64_t pts, int32_t flags);
    bool PackageFrame(uint8_t *frame, int64_t timestamp, const stDecodedFrameInfo &info, FramePackage &out);
    void PrintCapsOf(int32_t device, int32_t &supported);

    const stNvDecApi &m_api;
    void *m_gpuContext = nullptr; // retained primary context handle
    std::unique_ptr<NvDecoder> m_decoder;
    int32_t m_gpuNumber = -1;
    uint32_t m_flagMapHigh = 300;
    uint32_t m_flagMapLow = 150;
    std::map<int64_t, int32_t> m_flagMap;
    int32_t m_codecId = 0;
    bool m_formatRefusalLogged = false;
};
