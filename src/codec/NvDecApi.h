#pragma once

// The NVDEC calls and the few CUDA driver calls that NvDecoder makes, as one table. The driver is
// opened at run time (never linked); where it cannot be opened, or the device layer runs on the
// host, the table holds the software stand-in: the same parser and decoder calls over libavcodec,
// with surfaces in host memory and the copies done by the device layer.

#include <ffnvcodec/dynlink_cuda.h>
#include <ffnvcodec/dynlink_nvcuvid.h>

struct stNvDecApi
{
    tcuCtxPushCurrent_v2 *cuCtxPushCurrent = nullptr;
    tcuCtxPopCurrent_v2 *cuCtxPopCurrent = nullptr;
    tcuStreamCreate *cuStreamCreate = nullptr;
    tcuStreamDestroy_v2 *cuStreamDestroy = nullptr;
    tcuStreamSynchronize *cuStreamSynchronize = nullptr;
    tcuMemcpy2DAsync_v2 *cuMemcpy2DAsync = nullptr;
    tcuMemAlloc_v2 *cuMemAlloc = nullptr;
    tcuMemFree_v2 *cuMemFree = nullptr;
    tcuGetErrorName *cuGetErrorName = nullptr;

    tcuvidCtxLockCreate *cuvidCtxLockCreate = nullptr;
    tcuvidCtxLockDestroy *cuvidCtxLockDestroy = nullptr;
    tcuvidCreateVideoParser *cuvidCreateVideoParser = nullptr;
    tcuvidParseVideoData *cuvidParseVideoData = nullptr;
    tcuvidDestroyVideoParser *cuvidDestroyVideoParser = nullptr;
    tcuvidGetDecoderCaps *cuvidGetDecoderCaps = nullptr;
    tcuvidCreateDecoder *cuvidCreateDecoder = nullptr;
    tcuvidReconfigureDecoder *cuvidReconfigureDecoder = nullptr;
    tcuvidDestroyDecoder *cuvidDestroyDecoder = nullptr;
    tcuvidDecodePicture *cuvidDecodePicture = nullptr;
    tcuvidGetDecodeStatus *cuvidGetDecodeStatus = nullptr;
    tcuvidMapVideoFrame64 *cuvidMapVideoFrame = nullptr;
    tcuvidUnmapVideoFrame64 *cuvidUnmapVideoFrame = nullptr;

    bool standIn = true;
};

// The process's table: the driver's when libcuda and libnvcuvid open and the device layer runs on
// CUDA, else the stand-in (logged once). Any thread.
const stNvDecApi &NvDecApi();
// The stand-in's table, whatever the machine has (tests compare the two paths with it).
const stNvDecApi &NvDecStandInApi();
