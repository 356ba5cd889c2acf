// Device memory input buffers of an NVENC session.

#include "codec/NvEncoderCuda.h"

#include "core/debuglog.h"
#include "platform/GpuDevice.h"

namespace {

constexpr const char *kSourceFile = "NvEncoderCuda";

} // namespace

NvEncoderCuda::NvEncoderCuda(void *cudaContext, uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT bufferFormat,
                             uint32_t extraOutputDelay)
    : NvEncoder(NV_ENC_DEVICE_TYPE_CUDA, cudaContext, width, height, bufferFormat, extraOutputDelay),
      m_cuContext(cudaContext)
{
    if (!m_hEncoder)
        NVENC_THROW_ERROR_AT("NvEncoderCuda::NvEncoderCuda", kSourceFile, "Encoder Initialization failed",
                             NV_ENC_ERR_INVALID_DEVICE);
    if (!m_cuContext)
        NVENC_THROW_ERROR_AT("NvEncoderCuda::NvEncoderCuda", kSourceFile, "Invalid Cuda Context",
                             NV_ENC_ERR_INVALID_DEVICE);
}

NvEncoderCuda::~NvEncoderCuda()
{
    ReleaseCudaResources();
}

void NvEncoderCuda::AllocateInputBuffers(int32_t count)
{
    const char *const where = "NvEncoderCuda::AllocateInputBuffers";
    if (!IsInitialized())
        NVENC_THROW_ERROR_AT(where, kSourceFile, "Encoder intialization failed", NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
    const NV_ENC_BUFFER_FORMAT format = GetBufferFormat();
    const uint32_t chromaHeight = GetChromaHeight(format, GetMaxEncodeHeight());
    const uint32_t chromaRows = (format == NV_ENC_BUFFER_FORMAT_YV12 || format == NV_ENC_BUFFER_FORMAT_IYUV)
                                    ? chromaHeight
                                    : chromaHeight * GetNumChromaPlanes(format);
    const size_t widthBytes = GetWidthInBytes(format, GetMaxEncodeWidth());
    // The GPU layer allocates in the primary context of its device, the context this session
    // was opened on.
    std::vector<void *> blocks;
    for (int32_t i = 0; i < count; ++i) {
        void *block = nullptr;
        size_t pitch = 0;
        const GpuError rc = DevMallocPitch(&block, &pitch, widthBytes, GetMaxEncodeHeight() + chromaRows);
        if (rc != GPU_SUCCESS) {
            for (void *made : blocks)
                DevFree(made);
            NVENC_THROW_ERROR_AT(where, kSourceFile, std::string("CUDA driver API error ") + DevErrorName(rc),
                                 NV_ENC_ERR_GENERIC);
        }
        blocks.push_back(block);
        m_cudaPitch = pitch;
    }
    m_inputBlocks.insert(m_inputBlocks.end(), blocks.begin(), blocks.end());
    RegisterInputResources(blocks, NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR, GetMaxEncodeWidth(),
                           GetMaxEncodeHeight(), static_cast<uint32_t>(m_cudaPitch), format);
}

void NvEncoderCuda::ReleaseInputBuffers()
{
    ReleaseCudaResources();
}

void NvEncoderCuda::ReleaseCudaResources() noexcept
{
    if (!m_hEncoder)
        return;
    try {
        std::vector<stNvEncPacket> dropped;
        EndEncode(dropped);
    } catch (const std::exception &) {
        // A session that cannot drain has nothing left to give.
    }
    UnregisterInputResources();
    for (void *block : m_inputBlocks)
        DevFree(block);
    m_inputBlocks.clear();
    m_cudaPitch = 0;
}
