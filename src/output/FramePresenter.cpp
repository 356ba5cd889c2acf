#include "output/FramePresenter.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"
#include "platform/Thread.h"

#if defined(TYX_HAVE_CUDA) && TYX_HAVE_CUDA
#include <GL/gl.h>
#include <cuda_gl_interop.h>
#include <cuda_runtime_api.h>
#endif

FramePresenter::FramePresenter(int32_t width, int32_t height, int32_t cudaDevice)
    : m_width(width), m_height(height), m_cudaDevice(cudaDevice)
{
}

FramePresenter::~FramePresenter() = default;

#if defined(TYX_HAVE_CUDA) && TYX_HAVE_CUDA

namespace {

// Logs a failed CUDA call as the presenter's calls are logged, and reports it.
bool Checked(cudaError_t error, const wchar_t *call)
{
    if (error == cudaSuccess)
        return true;
    TYX_LOG(3, L"[Thread:%d] Cuda Error(%S) in calling %s!", GetCurrentThreadIdInt(), cudaGetErrorName(error), call);
    HandleGPUCriticalError(static_cast<int32_t>(error), call);
    return false;
}

// True when the CUDA device drives the GL context current on this thread.
bool DeviceDrivesContext(int32_t device)
{
    unsigned int count = 0;
    int devices[8] = {};
    if (cudaGLGetDevices(&count, devices, 8, cudaGLDeviceListAll) != cudaSuccess) {
        (void)cudaGetLastError();
        return false;
    }
    for (unsigned int i = 0; i < count && i < 8; ++i) {
        if (devices[i] == device)
            return true;
    }
    return false;
}

} // namespace

bool FramePresenter::RegisterTexture(unsigned int texture)
{
    if (DevBackend() != EGpuBackend::Cuda || !DeviceDrivesContext(m_cudaDevice))
        return false;
    if (DevPushContext(m_cudaDevice) != GPU_SUCCESS)
        return false;
    cudaGraphicsResource_t resource = nullptr;
    const int32_t tid = GetCurrentThreadIdInt();
    bool ok = Checked(cudaGraphicsGLRegisterImage(&resource, texture, GL_TEXTURE_2D,
                                                  cudaGraphicsRegisterFlagsWriteDiscard),
                      L"cuGraphicsGLRegisterImage");
    if (ok) {
        TYX_LOG(6, L"GL drawing thread[TID=%d] cuGraphicsGLRegisterImage passed! ", tid);
        ok = Checked(cudaGraphicsResourceSetMapFlags(resource, cudaGraphicsMapFlagsWriteDiscard),
                     L"cuGraphicsResourceSetMapFlags");
        if (ok)
            TYX_LOG(6, L"GL drawing thread[TID=%d] cuGraphicsResourceSetMapFlags passed! ", tid);
        else
            (void)cudaGraphicsUnregisterResource(resource);
    }
    DevPopContext();
    m_resource = ok ? resource : nullptr;
    return ok;
}

void FramePresenter::UnregisterTexture()
{
    if (!m_resource)
        return;
    if (DevPushContext(m_cudaDevice) == GPU_SUCCESS) {
        (void)Checked(cudaGraphicsUnregisterResource(static_cast<cudaGraphicsResource_t>(m_resource)),
                      L"cuGraphicsUnregisterResource");
        DevPopContext();
    }
    m_resource = nullptr;
}

bool FramePresenter::CopyDeviceFrame(const uint8_t *picture, int32_t pitch)
{
    if (!m_resource || !picture)
        return false;
    if (DevPushContext(m_cudaDevice) != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] Cuda Error(%S) in calling cuCtxPushCurrent!", GetCurrentThreadIdInt(),
                "cudaErrorInvalidDevice");
        return false;
    }
    auto resource = static_cast<cudaGraphicsResource_t>(m_resource);
    bool ok = Checked(cudaGraphicsMapResources(1, &resource, nullptr), L"cuGraphicsMapResources");
    if (ok) {
        cudaArray_t array = nullptr;
        ok = Checked(cudaGraphicsSubResourceGetMappedArray(&array, resource, 0, 0),
                     L"cuGraphicsSubResourceGetMappedArray");
        const size_t rowBytes = static_cast<size_t>(m_width) * 4;
        if (ok)
            ok = Checked(cudaMemcpy2DToArray(array, 0, 0, picture, pitch > 0 ? static_cast<size_t>(pitch) : rowBytes,
                                             rowBytes, static_cast<size_t>(m_height), cudaMemcpyDeviceToDevice),
                         L"cuMemcpy2D");
        ok = Checked(cudaGraphicsUnmapResources(1, &resource, nullptr), L"cuGraphicsUnmapResources") && ok;
    }
    DevPopContext();
    return ok;
}

#else

bool FramePresenter::RegisterTexture(unsigned int)
{
    return false;
}

void FramePresenter::UnregisterTexture()
{
}

bool FramePresenter::CopyDeviceFrame(const uint8_t *, int32_t)
{
    return false;
}

#endif
