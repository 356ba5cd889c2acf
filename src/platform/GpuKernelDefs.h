#pragma once

// What kernel bodies and the records they read share with ordinary C++: read by nvcc and g++ alike.

#include <cstdint>

#if defined(__CUDACC__)
#define TYX_HD __host__ __device__
#define TYX_FORCEINLINE __forceinline__
#else
#define TYX_HD
// Always inlined, so that a body's code is compiled into each vector-width variant of the host loop
// that runs it.
#define TYX_FORCEINLINE inline __attribute__((always_inline))
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

// The x range [begin, end) that one row of a row-wise body works on.
struct stRowSpan
{
    uint32_t begin = 0;
    uint32_t end = 0;
};

// A row-wise body maps thread (x, y, z) = blockIdx * blockDim + threadIdx to one item and says
// which items of a row do work:
//     TYX_HD stRowSpan RowSpan(uint32_t y, uint32_t z) const;
//     TYX_HD void Item(uint32_t x, uint32_t y, uint32_t z) const;  // TYX_FORCEINLINE
//     TYX_HD void operator()(const stKernelIndex &index) const { RunRowItem(*this, index); }
// The GPU runs Item per thread through operator(); the host backend runs each row's span as one
// loop over Item that the compiler can vectorise. Both run the same Item for the same (x, y, z).
template <typename Body>
TYX_HD TYX_FORCEINLINE void RunRowItem(const Body &body, const stKernelIndex &index)
{
    const uint32_t x = index.blockIdx.x * index.blockDim.x + index.threadIdx.x;
    const uint32_t y = index.blockIdx.y * index.blockDim.y + index.threadIdx.y;
    const uint32_t z = index.blockIdx.z * index.blockDim.z + index.threadIdx.z;
    const stRowSpan span = body.RowSpan(y, z);
    if (x >= span.begin && x < span.end)
        body.Item(x, y, z);
}
