// What the codec and mid-processing workers need of the device layer: a context handle for their
// sessions, their own ordered stream, pictures from the pool, and memory kinds that are checked.

#include "platform/GpuDevice.h"

#include "TestKernels.h"
#include "support/DeviceBuffer.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

class GpuDeviceWorkerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        DevInitialize(0);
        DevPoolTrim();
        m_start = DevAllocationCounts();
    }
    void TearDown() override
    {
        DevInjectFault(EDevFault::Malloc, 0);
        DevInjectFault(EDevFault::Context, 0);
        DevSetThreadStream(nullptr);
        DevPoolTrim();
        const stDevAllocationCounts end = DevAllocationCounts();
        EXPECT_EQ(end.deviceBlocks, m_start.deviceBlocks);
        EXPECT_EQ(end.contextHandles, m_start.contextHandles);
    }

    stDevAllocationCounts m_start;
};

TEST_F(GpuDeviceWorkerTest, ContextHandlesAreCountedAndReleasedOnce)
{
    GpuContext first = nullptr;
    GpuContext second = nullptr;
    ASSERT_EQ(DevRetainContextHandle(DevCurrentDevice(), &first), GPU_SUCCESS);
    ASSERT_EQ(DevRetainContextHandle(99, &second), GPU_SUCCESS); // out of range: the layer's device
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(first, second); // one primary context per device
    EXPECT_EQ(DevAllocationCounts().contextHandles, m_start.contextHandles + 2);

    EXPECT_EQ(DevReleaseContextHandle(first), GPU_SUCCESS);
    EXPECT_EQ(DevReleaseContextHandle(second), GPU_SUCCESS);
    EXPECT_NE(DevReleaseContextHandle(second), GPU_SUCCESS); // released once only
    int local = 0;
    EXPECT_NE(DevReleaseContextHandle(&local), GPU_SUCCESS);
    EXPECT_EQ(DevRetainContextHandle(0, nullptr), GPU_ERROR_INVALID_VALUE);

    DevInjectFault(EDevFault::Context, 1);
    GpuContext refused = &local;
    EXPECT_NE(DevRetainContextHandle(0, &refused), GPU_SUCCESS);
    EXPECT_EQ(refused, nullptr);
}

// Without a stream of its own a worker's copies would go on the default stream, which a stream of
// its own does not wait for: the thread's stream carries them with its kernels instead.
TEST_F(GpuDeviceWorkerTest, AThreadsStreamCarriesItsCopiesFillsAndLaunches)
{
    GpuStream own = nullptr;
    GpuStream other = nullptr;
    ASSERT_EQ(DevStreamCreate(&own), GPU_SUCCESS);
    ASSERT_EQ(DevStreamCreate(&other), GPU_SUCCESS);
    constexpr uint32_t kCount = 4096;
    CDeviceBuffer buffer(kCount * sizeof(int32_t));
    std::vector<uint8_t> host(kCount * sizeof(int32_t), 7);

    DevSetThreadStream(own);
    EXPECT_EQ(DevThreadStream(), own);
    ASSERT_EQ(DevMemset(buffer.Data(), 0, buffer.Size()), GPU_SUCCESS);
    EXPECT_EQ(DevLastIssuedStream(), own);
    ASSERT_EQ(FillSequenceInDvc(reinterpret_cast<int32_t *>(buffer.Data()), kCount, 256), GPU_SUCCESS);
    EXPECT_EQ(DevLastIssuedStream(), own);
    // A copy given no stream is complete on return, also on the thread's stream.
    ASSERT_EQ(DevMemcpy(host.data(), buffer.Data(), host.size(), EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    EXPECT_EQ(DevLastIssuedStream(), own);
    const auto *values = reinterpret_cast<const int32_t *>(host.data());
    EXPECT_EQ(values[kCount - 1], static_cast<int32_t>((kCount - 1) * 3 + 1));
    ASSERT_EQ(DevMemcpy2D(buffer.Data(), 64, host.data(), 64, 64, 4, EGpuCopyKind::HostToDevice), GPU_SUCCESS);
    EXPECT_EQ(DevLastIssuedStream(), own);
    EXPECT_EQ(DevStreamSynchronize(nullptr), GPU_SUCCESS);

    // A stream named by the call wins; other threads keep the default stream.
    ASSERT_EQ(DevMemset(buffer.Data(), 1, 16, other), GPU_SUCCESS);
    EXPECT_EQ(DevLastIssuedStream(), other);
    std::thread elsewhere([&] {
        EXPECT_EQ(DevThreadStream(), nullptr);
        EXPECT_EQ(DevMemset(buffer.Data(), 2, 16), GPU_SUCCESS);
        EXPECT_EQ(DevLastIssuedStream(), nullptr);
    });
    elsewhere.join();
    EXPECT_EQ(DevStreamSynchronize(other), GPU_SUCCESS);

    // A destroyed stream carries nothing more.
    EXPECT_EQ(DevStreamDestroy(own), GPU_SUCCESS);
    EXPECT_EQ(DevThreadStream(), nullptr);
    ASSERT_EQ(DevMemset(buffer.Data(), 0, 16), GPU_SUCCESS);
    EXPECT_EQ(DevLastIssuedStream(), nullptr);
    EXPECT_EQ(DevStreamDestroy(other), GPU_SUCCESS);
}

TEST_F(GpuDeviceWorkerTest, ThePoolKeepsPicturesBySize)
{
    constexpr size_t kPicture = 1920 * 1080 * 3 / 2;
    void *first = nullptr;
    ASSERT_EQ(DevPoolAlloc(&first, kPicture), GPU_SUCCESS);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, m_start.deviceBlocks + 1);
    ASSERT_EQ(DevPoolRelease(first), GPU_SUCCESS);
    stDevAllocationCounts counts = DevAllocationCounts();
    EXPECT_EQ(counts.deviceBlocks, m_start.deviceBlocks); // idle blocks are not in use
    EXPECT_EQ(counts.pooledBlocks, m_start.pooledBlocks + 1);
    EXPECT_EQ(counts.pooledBytes, m_start.pooledBytes + static_cast<int64_t>(kPicture));

    // The idle block is the pool's: neither freed nor written by anyone else.
    EXPECT_EQ(DevFree(first), GPU_ERROR_INVALID_DEVICE_POINTER);
    EXPECT_EQ(DevPoolRelease(first), GPU_ERROR_INVALID_DEVICE_POINTER);
    if (DevBackend() == EGpuBackend::Host) {
        EXPECT_EQ(DevMemset(first, 0, 16), GPU_ERROR_INVALID_VALUE);
    }

    void *again = nullptr;
    ASSERT_EQ(DevPoolAlloc(&again, kPicture), GPU_SUCCESS);
    EXPECT_EQ(again, first); // the same size comes back from the pool
    void *smaller = nullptr;
    ASSERT_EQ(DevPoolAlloc(&smaller, kPicture / 4), GPU_SUCCESS);
    EXPECT_NE(smaller, first);
    EXPECT_EQ(DevMemset(again, 0, kPicture), GPU_SUCCESS); // in use again: writable
    EXPECT_EQ(DevPoolRelease(again), GPU_SUCCESS);
    EXPECT_EQ(DevPoolRelease(smaller), GPU_SUCCESS);

    // A block from DevMalloc may go to the pool too, and an allocation fault still fails a request.
    void *direct = nullptr;
    ASSERT_EQ(DevMalloc(&direct, kPicture), GPU_SUCCESS);
    EXPECT_EQ(DevPoolRelease(direct), GPU_SUCCESS);
    DevInjectFault(EDevFault::Malloc, 1);
    void *refused = &direct;
    EXPECT_EQ(DevPoolAlloc(&refused, kPicture), GPU_ERROR_MEMORY_ALLOCATION);
    EXPECT_EQ(refused, nullptr);
    int local = 0;
    EXPECT_EQ(DevPoolRelease(&local), GPU_ERROR_INVALID_DEVICE_POINTER);
    EXPECT_EQ(DevPoolRelease(nullptr), GPU_SUCCESS);

    DevPoolTrim();
    counts = DevAllocationCounts();
    EXPECT_EQ(counts.pooledBlocks, 0);
    EXPECT_EQ(counts.deviceBlocks, m_start.deviceBlocks);
}

TEST_F(GpuDeviceWorkerTest, ThePoolKeepsABoundedNumberOfIdleBlocks)
{
    std::vector<void *> blocks(40);
    for (void *&block : blocks)
        ASSERT_EQ(DevPoolAlloc(&block, 4096), GPU_SUCCESS);
    EXPECT_EQ(std::set<void *>(blocks.begin(), blocks.end()).size(), blocks.size());
    for (void *block : blocks)
        ASSERT_EQ(DevPoolRelease(block), GPU_SUCCESS);
    const stDevAllocationCounts counts = DevAllocationCounts();
    EXPECT_EQ(counts.pooledBlocks, 32); // the rest were freed
    EXPECT_EQ(counts.deviceBlocks, m_start.deviceBlocks);
}

TEST_F(GpuDeviceWorkerTest, ManyThreadsShareThePool)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                void *block = nullptr;
                ASSERT_EQ(DevPoolAlloc(&block, 1024 * static_cast<size_t>(1 + (i + t) % 3)), GPU_SUCCESS);
                ASSERT_EQ(DevMemset(block, t, 1024), GPU_SUCCESS);
                ASSERT_EQ(DevPoolRelease(block), GPU_SUCCESS);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, m_start.deviceBlocks);
}

// A wrong on-device flag hands host memory to the device side of a call, or device memory to the
// host side; a GPU refuses that, and so does the host backend.
TEST_F(GpuDeviceWorkerTest, MemoryKindsOfEveryCallAreChecked)
{
    if (DevBackend() != EGpuBackend::Host)
        GTEST_SKIP() << "the CUDA runtime checks its own pointers";
    CDeviceBuffer device(256);
    CDeviceBuffer second(256);
    std::vector<uint8_t> host(256, 1);
    ASSERT_NE(device.Data(), nullptr);

    EXPECT_EQ(DevMemcpy(device.Data(), host.data(), 256, EGpuCopyKind::HostToDevice), GPU_SUCCESS);
    EXPECT_EQ(DevMemcpy(host.data(), device.Data(), 256, EGpuCopyKind::HostToDevice), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(DevMemcpy(host.data(), device.Data(), 256, EGpuCopyKind::DeviceToDevice), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(DevMemcpy(device.Data(), host.data(), 256, EGpuCopyKind::DeviceToHost), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(DevMemcpy(host.data(), host.data() + 128, 64, EGpuCopyKind::HostToHost), GPU_SUCCESS);
    EXPECT_EQ(DevMemcpy(device.Data(), host.data(), 16, EGpuCopyKind::HostToHost), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(DevMemcpy(second.Data(), device.Data(), 256, EGpuCopyKind::DeviceToDevice), GPU_SUCCESS);
    EXPECT_EQ(DevMemcpy(host.data(), device.Data(), 256, EGpuCopyKind::Default), GPU_SUCCESS); // told by pointers

    // The whole extent must lie in one block.
    EXPECT_EQ(DevMemcpy(device.Data() + 200, host.data(), 57, EGpuCopyKind::HostToDevice), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(DevMemcpy(device.Data() + 200, host.data(), 56, EGpuCopyKind::HostToDevice), GPU_SUCCESS);
    EXPECT_EQ(DevMemcpy2D(device.Data(), 64, host.data(), 64, 64, 5, EGpuCopyKind::HostToDevice),
              GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(DevMemcpy2D(device.Data(), 64, host.data(), 64, 64, 4, EGpuCopyKind::HostToDevice), GPU_SUCCESS);
    EXPECT_EQ(DevMemset(host.data(), 0, 16), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(DevMemset2D(device.Data(), 128, 0, 64, 3), GPU_ERROR_INVALID_VALUE);
    EXPECT_EQ(DevMemset2D(device.Data(), 128, 0, 128, 2), GPU_SUCCESS);

    // Freed memory is no device memory any more.
    void *freed = nullptr;
    ASSERT_EQ(DevMalloc(&freed, 64), GPU_SUCCESS);
    ASSERT_EQ(DevFree(freed), GPU_SUCCESS);
    EXPECT_EQ(DevMemset(freed, 0, 64), GPU_ERROR_INVALID_VALUE);
}

} // namespace
