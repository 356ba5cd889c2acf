#pragma once

// One NVENC encode session: the API loaded at run time (the driver, or the software stand-in when
// there is none), the session opened on a device, a ring of input buffers, bitstream buffers and
// completion events, one picture sent per EncodeFrame with the packets that are ready handed back,
// the drain at the end and the sequence header. Subclasses own the input buffers' memory.
//
// Lifecycle: constructed (session open) -> CreateEncoder (initialised, buffers allocated) ->
// EncodeFrame ... -> EndEncode -> DestroyEncoder or destruction. Failures throw NVENCException.
// One thread uses a session.

#include "codec/NVENCException.h"

#include <ffnvcodec/nvEncodeAPI.h>

#include <cstdint>
#include <vector>

struct stNvEncInputFrame
{
    void *inputPtr = nullptr;
    uint32_t chromaOffsets[2] = {0, 0};
    uint32_t numChromaPlanes = 0;
    uint32_t pitch = 0;
    uint32_t chromaPitch = 0;
    NV_ENC_BUFFER_FORMAT bufferFormat = NV_ENC_BUFFER_FORMAT_UNDEFINED;
    NV_ENC_INPUT_RESOURCE_TYPE resourceType = NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR;
};

struct stNvEncPacket
{
    uint32_t frameIndex = 0;
    uint32_t pictureType = NV_ENC_PIC_TYPE_UNKNOWN;
    bool ltrFrame = false;
    uint32_t ltrFrameIndex = 0;
    uint64_t outputTimeStamp = 0;
    uint64_t outputDuration = 0;
    uint32_t size = 0;
    std::vector<uint8_t> data;
};

class NvEncoder
{
public:
    NvEncoder(NV_ENC_DEVICE_TYPE deviceType, void *device, uint32_t width, uint32_t height,
              NV_ENC_BUFFER_FORMAT bufferFormat, uint32_t extraOutputDelay = 3);
    virtual ~NvEncoder();
    NvEncoder(const NvEncoder &) = delete;
    NvEncoder &operator=(const NvEncoder &) = delete;

    virtual void CreateEncoder(const NV_ENC_INITIALIZE_PARAMS *params);
    virtual void DestroyEncoder();
    // Sends the next input frame (filled by the caller) and appends the packets that are ready.
    virtual void EncodeFrame(std::vector<stNvEncPacket> &packets, NV_ENC_PIC_PARAMS *picParams = nullptr);
    virtual void EndEncode(std::vector<stNvEncPacket> &packets);

    void CreateDefaultEncoderParams(NV_ENC_INITIALIZE_PARAMS *params, GUID codecGuid, GUID presetGuid,
                                    NV_ENC_TUNING_INFO tuningInfo);
    const stNvEncInputFrame *GetNextInputFrame();
    void GetSequenceParams(std::vector<uint8_t> &sequence);
    void GetInitializeParams(NV_ENC_INITIALIZE_PARAMS *params);
    int GetCapabilityValue(GUID codecGuid, NV_ENC_CAPS capability);

    bool HasSession() const { return m_hEncoder != nullptr; }
    bool IsInitialized() const { return m_encoderInitialized; }
    int32_t EncoderBufferCount() const { return m_encoderBuffers; }
    int32_t OutputDelay() const { return m_outputDelay; }
    uint32_t GetEncodeWidth() const { return m_width; }
    uint32_t GetEncodeHeight() const { return m_height; }
    NV_ENC_BUFFER_FORMAT GetBufferFormat() const { return m_bufferFormat; }

    // Plane layout of the input buffer formats; another format throws "Invalid Buffer format".
    static uint32_t GetWidthInBytes(NV_ENC_BUFFER_FORMAT format, uint32_t width);
    static uint32_t GetNumChromaPlanes(NV_ENC_BUFFER_FORMAT format);
    static uint32_t GetChromaPitch(NV_ENC_BUFFER_FORMAT format, uint32_t lumaPitch);
    static uint32_t GetChromaHeight(NV_ENC_BUFFER_FORMAT format, uint32_t lumaHeight);
    static uint32_t GetChromaWidthInBytes(NV_ENC_BUFFER_FORMAT format, uint32_t lumaWidth);
    static std::vector<uint32_t> GetChromaSubPlaneOffsets(NV_ENC_BUFFER_FORMAT format, uint32_t pitch, uint32_t height);

protected:
    virtual void AllocateInputBuffers(int32_t count) = 0;
    virtual void ReleaseInputBuffers() = 0;
    // Registers device blocks of the maximum encode size as the input buffers.
    void RegisterInputResources(const std::vector<void *> &inputs, NV_ENC_INPUT_RESOURCE_TYPE type, uint32_t width,
                                uint32_t height, uint32_t pitch, NV_ENC_BUFFER_FORMAT format);
    void UnregisterInputResources();
    uint32_t GetMaxEncodeWidth() const { return m_maxEncodeWidth; }
    uint32_t GetMaxEncodeHeight() const { return m_maxEncodeHeight; }
    // Releases everything of the session; never throws (failures are logged).
    void TearDown() noexcept;

    NV_ENCODE_API_FUNCTION_LIST m_nvenc{};
    void *m_hEncoder = nullptr;

private:
    void LoadNvEncApi();
    void CheckInitializeParams(const NV_ENC_INITIALIZE_PARAMS *params) const;
    void CreateCompletionAndBitstreamBuffers();
    void GetEncodedPackets(std::vector<stNvEncPacket> &packets, bool outputDelay);
    void CopyPacket(const NV_ENC_LOCK_BITSTREAM &lock, stNvEncPacket &packet);
    NVENCSTATUS SendPicture(NV_ENC_PIC_PARAMS &picParams);

    const bool m_motionEstimationOnly = false;
    const bool m_outputInVideoMemory = false;
    const bool m_noBitstreamBuffers = false;
    NV_ENC_INITIALIZE_PARAMS m_initializeParams{};
    NV_ENC_CONFIG m_encodeConfig{};
    std::vector<stNvEncInputFrame> m_inputFrames;
    std::vector<stNvEncInputFrame> m_referenceFrames;
    std::vector<NV_ENC_REGISTERED_PTR> m_registeredResources;
    std::vector<NV_ENC_INPUT_PTR> m_mappedInputBuffers;
    std::vector<void *> m_completionEvents;
    std::vector<NV_ENC_OUTPUT_PTR> m_bitstreamOutputBuffers;
    std::vector<NV_ENC_OUTPUT_PTR> m_mvDataOutputBuffers;
    int32_t m_toSend = 0;
    int32_t m_got = 0;
    int32_t m_encoderBuffers = 0;
    int32_t m_outputDelay = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    NV_ENC_BUFFER_FORMAT m_bufferFormat = NV_ENC_BUFFER_FORMAT_UNDEFINED;
    void *m_device = nullptr;
    NV_ENC_DEVICE_TYPE m_deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    bool m_encoderInitialized = false;
    uint32_t m_extraOutputDelay = 3;
    uint32_t m_maxEncodeWidth = 0;
    uint32_t m_maxEncodeHeight = 0;
    // AV1 packets are handed to muxers that want them bare: no IVF container around them.
    bool m_wrapIvf = false;
    bool m_writeIvfFileHeader = true;
};
