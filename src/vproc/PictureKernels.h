#pragma once

// Small helpers that the picture kernels share; read by nvcc and g++ alike.

#include "core/I420Layout.h"
#include "platform/GpuKernelDefs.h"

#include <cstdint>
#include <cstring>

TYX_HD TYX_FORCEINLINE int64_t MinI64(int64_t a, int64_t b)
{
    return a < b ? a : b;
}

// Copies bytes of one picture line. On the GPU in 8-byte words when both ends are aligned and
// byte by byte otherwise (a misaligned word access would poison the device context); memcpy on the
// CPU.
TYX_HD TYX_FORCEINLINE void CopyLineBytes(uint8_t *dst, const uint8_t *src, int64_t bytes)
{
    if (bytes <= 0)
        return;
#if defined(__CUDA_ARCH__)
    int64_t done = 0;
    if (((reinterpret_cast<uintptr_t>(dst) | reinterpret_cast<uintptr_t>(src)) & 7u) == 0) {
        const int64_t words = bytes / 8;
        auto *out = reinterpret_cast<uint64_t *>(dst);
        const auto *in = reinterpret_cast<const uint64_t *>(src);
        for (int64_t i = 0; i < words; ++i)
            out[i] = in[i];
        done = words * 8;
    }
    for (int64_t i = done; i < bytes; ++i)
        dst[i] = src[i];
#else
    std::memcpy(dst, src, static_cast<size_t>(bytes));
#endif
}
