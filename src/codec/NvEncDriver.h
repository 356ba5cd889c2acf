#pragma once

// The two entry points of the encode API, chosen once per process: the driver's library
// (libnvidia-encode, opened at run time, never linked) when the GPU layer runs on CUDA and the
// library loads, else the software stand-in over libx264 and libx265. TYX_NV_STANDIN=1 forces the
// stand-in (tests, and comparing the two on a GPU machine).

#include <ffnvcodec/nvEncodeAPI.h>

#include <cstdint>

struct stNvEncApiEntry
{
    NVENCSTATUS (*getMaxSupportedVersion)(uint32_t *version) = nullptr;
    NVENCSTATUS (*createInstance)(NV_ENCODE_API_FUNCTION_LIST *functions) = nullptr;
    bool standIn = true;
};

// Thread-safe; the choice is logged once.
const stNvEncApiEntry &NvEncApiEntry();
