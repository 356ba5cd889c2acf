#pragma once

// An NVENC session whose input buffers are pitched blocks of device memory in the given CUDA
// context (not owned). With the host backend of the GPU layer the blocks are its host memory and
// the session is the software stand-in.

#include "codec/NvEncoder.h"

#include <cstddef>

class NvEncoderCuda : public NvEncoder
{
public:
    NvEncoderCuda(void *cudaContext, uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT bufferFormat,
                  uint32_t extraOutputDelay = 3);
    ~NvEncoderCuda() override;

    size_t InputPitch() const { return m_cudaPitch; }

protected:
    void AllocateInputBuffers(int32_t count) override;
    void ReleaseInputBuffers() override;

private:
    void ReleaseCudaResources() noexcept;

    void *m_cuContext = nullptr;
    size_t m_cudaPitch = 0;
    std::vector<void *> m_inputBlocks;
};
