#pragma once

// The base of the frame presenters: the picture size and the copy of a device picture into the
// presenter's texture through CUDA-GL interop. The interop calls are built with the CUDA backend;
// without it, or when the GL adapter is not the CUDA device, presenters go through host memory.
// Every call here runs on the presenter's drawing thread with its GL context current.

#include <cstdint>
#include <string>

class FramePresenter
{
public:
    virtual ~FramePresenter();
    FramePresenter(const FramePresenter &) = delete;
    FramePresenter &operator=(const FramePresenter &) = delete;

protected:
    FramePresenter(int32_t width, int32_t height, int32_t cudaDevice);

    // Registers the GL texture with CUDA for write-discard copies: false (logged) when the CUDA
    // backend is not in use, the device does not drive this GL context, or a CUDA call fails.
    bool RegisterTexture(unsigned int texture);
    void UnregisterTexture();
    bool HasInterop() const { return m_resource != nullptr; }
    // Copies width x 4 bytes by height lines (source pitch: 0 means width x 4) from device memory
    // into the registered texture; failures are logged and reported.
    bool CopyDeviceFrame(const uint8_t *picture, int32_t pitch);

    const int32_t m_width;
    const int32_t m_height;
    const int32_t m_cudaDevice;
    std::wstring m_text;

private:
    void *m_resource = nullptr; // the CUDA graphics resource of the texture
};
