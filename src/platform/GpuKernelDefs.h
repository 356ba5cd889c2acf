#pragma once

// What kernel bodies and the records they read share with ordinary C++: read by nvcc and g++ alike.

#include <cstdint>

#if defined(__CUDACC__)
#define TYX_HD __host__ __device__
#define TYX_FORCEINLINE __forceinline__
#else
#define TYX_HD
#define TYX_FORCEINLINE inline
#endif

struct stDim3
{
    uint32_t x = 1;
    uint32_t y = 1;
    uint32_t z = 1;
};

// What one thread of a launch knows about itself.
struct stKernelIndex
{
    stDim3 blockIdx;
    stDim3 blockDim;
    stDim3 threadIdx;
    stDim3 gridDim;
};

// Blocks needed to cover count items with blocks of size items each.
TYX_HD TYX_FORCEINLINE uint32_t DivUp(uint32_t count, uint32_t size)
{
    return (count + size - 1) / size;
}
