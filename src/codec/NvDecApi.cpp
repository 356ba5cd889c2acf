// The table of NVDEC calls: the driver's through the dynamic-loading headers, else the stand-in.

#include "codec/NvDecApi.h"

#include "core/debuglog.h"
#include "platform/GpuDevice.h"

// The loader's own messages go to the debug log; it prints to stderr otherwise.
#define FFNV_LOG_FUNC(logctx, msg, ...) TYX_LOG(5, L"NVDEC loader: %hs", (msg))
#define FFNV_DEBUG_LOG_FUNC(logctx, msg, ...)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <ffnvcodec/dynlink_loader.h>
#pragma GCC diagnostic pop

#include <memory>

namespace {

// Owns the loaded libraries for the rest of the process: the table points into them.
struct stDriverLibraries
{
    CudaFunctions *cuda = nullptr;
    CuvidFunctions *cuvid = nullptr;
    ~stDriverLibraries()
    {
        cuvid_free_functions(&cuvid);
        cuda_free_functions(&cuda);
    }
};

bool LoadDriver(stDriverLibraries &libraries, stNvDecApi &api)
{
    if (DevBackend() != EGpuBackend::Cuda)
        return false;
    if (cuda_load_functions(&libraries.cuda, nullptr) < 0 || cuvid_load_functions(&libraries.cuvid, nullptr) < 0)
        return false;
    const CudaFunctions &cuda = *libraries.cuda;
    const CuvidFunctions &cuvid = *libraries.cuvid;
    api.cuCtxPushCurrent = cuda.cuCtxPushCurrent;
    api.cuCtxPopCurrent = cuda.cuCtxPopCurrent;
    api.cuStreamCreate = cuda.cuStreamCreate;
    api.cuStreamDestroy = cuda.cuStreamDestroy;
    api.cuStreamSynchronize = cuda.cuStreamSynchronize;
    api.cuMemcpy2DAsync = cuda.cuMemcpy2DAsync;
    api.cuMemAlloc = cuda.cuMemAlloc;
    api.cuMemFree = cuda.cuMemFree;
    api.cuGetErrorName = cuda.cuGetErrorName;
    api.cuvidCtxLockCreate = cuvid.cuvidCtxLockCreate;
    api.cuvidCtxLockDestroy = cuvid.cuvidCtxLockDestroy;
    api.cuvidCreateVideoParser = cuvid.cuvidCreateVideoParser;
    api.cuvidParseVideoData = cuvid.cuvidParseVideoData;
    api.cuvidDestroyVideoParser = cuvid.cuvidDestroyVideoParser;
    api.cuvidGetDecoderCaps = cuvid.cuvidGetDecoderCaps;
    api.cuvidCreateDecoder = cuvid.cuvidCreateDecoder;
    api.cuvidReconfigureDecoder = cuvid.cuvidReconfigureDecoder;
    api.cuvidDestroyDecoder = cuvid.cuvidDestroyDecoder;
    api.cuvidDecodePicture = cuvid.cuvidDecodePicture;
    api.cuvidGetDecodeStatus = cuvid.cuvidGetDecodeStatus;
    api.cuvidMapVideoFrame = cuvid.cuvidMapVideoFrame;
    api.cuvidUnmapVideoFrame = cuvid.cuvidUnmapVideoFrame;
    api.standIn = false;
    return api.cuvidGetDecoderCaps && api.cuvidReconfigureDecoder && api.cuvidCreateVideoParser;
}

stNvDecApi ChooseApi()
{
    static stDriverLibraries libraries;
    stNvDecApi api;
    if (LoadDriver(libraries, api)) {
        TYX_LOG(5, L"NVDEC driver opened: decoding on the GPU.");
        return api;
    }
    TYX_LOG(5, L"NVDEC driver not available: decoder type 1 decodes through the software stand-in.");
    return NvDecStandInApi();
}

} // namespace

const stNvDecApi &NvDecApi()
{
    static const stNvDecApi api = ChooseApi();
    return api;
}
