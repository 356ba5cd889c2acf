#include "platform/GpuDevice.h"

#include "TestKernels.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

TEST(GpuDeviceTest, KernelFillsEveryIndexOnce)
{
    DevInitialize(0);
    constexpr uint32_t kCount = 100003;
    int32_t *device = nullptr;
    ASSERT_EQ(DevMalloc(reinterpret_cast<void **>(&device), kCount * sizeof(int32_t)), GPU_SUCCESS);
    ASSERT_EQ(DevMemset(device, 0xFF, kCount * sizeof(int32_t)), GPU_SUCCESS);
    ASSERT_EQ(FillSequenceInDvc(device, kCount, 256), GPU_SUCCESS);
    std::vector<int32_t> host(kCount);
    ASSERT_EQ(DevMemcpy(host.data(), device, kCount * sizeof(int32_t), EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    for (uint32_t i = 0; i < kCount; ++i)
        ASSERT_EQ(host[i], static_cast<int32_t>(i * 3 + 1)) << i;
    EXPECT_EQ(DevFree(device), GPU_SUCCESS);
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, 0);
}

TEST(GpuDeviceTest, BadLaunchShapesAndInjectedFaultsAreReported)
{
    int32_t *device = nullptr;
    ASSERT_EQ(DevMalloc(reinterpret_cast<void **>(&device), 64), GPU_SUCCESS);
    EXPECT_EQ(FillSequenceInDvc(device, 16, 2048), GPU_ERROR_INVALID_CONFIGURATION);
    EXPECT_EQ(DevGetLastError(), GPU_ERROR_INVALID_CONFIGURATION);
    EXPECT_EQ(DevGetLastError(), GPU_SUCCESS);
    DevInjectFault(EDevFault::Launch, 1);
    EXPECT_EQ(FillSequenceInDvc(device, 16, 16), GPU_ERROR_LAUNCH_FAILURE);
    EXPECT_EQ(FillSequenceInDvc(device, 16, 16), GPU_SUCCESS);
    EXPECT_EQ(DevFree(device), GPU_SUCCESS);
    EXPECT_EQ(DevFree(device), GPU_ERROR_INVALID_DEVICE_POINTER);
}

} // namespace
