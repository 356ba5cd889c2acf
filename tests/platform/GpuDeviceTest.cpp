#include "platform/GpuDevice.h"

#include "TestKernels.h"
#include "support/DeviceBuffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <latch>
#include <numeric>
#include <thread>
#include <vector>

namespace {

// Made before the device layer, so destroyed after it at the process's exit: what it still holds
// then goes back to a layer that must still be there.
struct stHeldUntilExit
{
    ~stHeldUntilExit()
    {
        // The GPU runtime may have shut down before this at the exit; the layer still takes the
        // picture back, on either backend.
        if (DevPoolRelease(block) != GPU_SUCCESS)
            std::_Exit(3);
        if (DevAllocationCounts().pooledBlocks != 1)
            std::_Exit(5);
    }
    void *block = nullptr;
};

[[noreturn]] void ReleaseAPictureAfterTheLayerAtExit()
{
    static stHeldUntilExit held;
    if (DevPoolAlloc(&held.block, 4096) != GPU_SUCCESS)
        std::_Exit(4);
    std::exit(0);
}

// Program-wide registries and other static objects may release pictures during the exit, in
// whatever order they were made.
TEST(GpuDeviceExitTest, APictureReleasedByAStaticObjectAtExitGoesBackToTheLayer)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ReleaseAPictureAfterTheLayerAtExit(), ::testing::ExitedWithCode(0), "");
}

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

// A pitched block of device memory for one test.
struct stPitched
{
    stPitched(size_t widthBytes, size_t rows) : width(widthBytes), height(rows)
    {
        error = DevMallocPitch(&data, &pitch, widthBytes, rows);
    }
    ~stPitched() { DevFree(data); }
    stPitched(const stPitched &) = delete;
    stPitched &operator=(const stPitched &) = delete;

    uint8_t *Bytes() const { return static_cast<uint8_t *>(data); }

    void *data = nullptr;
    size_t pitch = 0;
    size_t width = 0;
    size_t height = 0;
    GpuError error = GPU_SUCCESS;
};

TEST(GpuDeviceTest, PitchedCopiesWithOddSizesInEveryDirection)
{
    DevInitialize(0);
    for (const auto &[width, height] : {std::pair<size_t, size_t>{37, 13}, {1, 1}, {257, 3}, {1023, 31}}) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        const size_t hostPitch = width + 5;
        const std::vector<uint8_t> source = PatternBytes(hostPitch * height, static_cast<uint32_t>(width));
        stPitched first(width, height);
        stPitched second(width + 2, height); // a different pitch class
        ASSERT_EQ(first.error, GPU_SUCCESS);
        ASSERT_EQ(second.error, GPU_SUCCESS);
        EXPECT_GE(first.pitch, width);
        ASSERT_EQ(DevMemcpy2D(first.data, first.pitch, source.data(), hostPitch, width, height,
                              EGpuCopyKind::HostToDevice),
                  GPU_SUCCESS);
        ASSERT_EQ(DevMemcpy2D(second.data, second.pitch, first.data, first.pitch, width, height,
                              EGpuCopyKind::DeviceToDevice),
                  GPU_SUCCESS);
        const size_t backPitch = width + 3;
        std::vector<uint8_t> back(backPitch * height, 0xAB);
        ASSERT_EQ(DevMemcpy2D(back.data(), backPitch, second.data, second.pitch, width, height,
                              EGpuCopyKind::DeviceToHost),
                  GPU_SUCCESS);
        for (size_t row = 0; row < height; ++row) {
            ASSERT_EQ(std::memcmp(back.data() + row * backPitch, source.data() + row * hostPitch, width), 0) << row;
            for (size_t i = width; i < backPitch; ++i)
                ASSERT_EQ(back[row * backPitch + i], 0xAB) << "padding of row " << row;
        }
        // Host to host through the layer, too.
        std::vector<uint8_t> plain(width * height);
        ASSERT_EQ(DevMemcpy2D(plain.data(), width, source.data(), hostPitch, width, height, EGpuCopyKind::HostToHost),
                  GPU_SUCCESS);
        EXPECT_EQ(std::memcmp(plain.data() + (height - 1) * width, source.data() + (height - 1) * hostPitch, width), 0);
        // A pitch narrower than a row is refused.
        EXPECT_NE(DevMemcpy2D(first.data, width - 1 + (width == 1), source.data(), hostPitch, width + (width == 1),
                              height, EGpuCopyKind::HostToDevice),
                  GPU_SUCCESS);
    }
}

TEST(GpuDeviceTest, Memset2DTouchesOnlyItsRectangle)
{
    DevInitialize(0);
    stPitched block(45, 9);
    ASSERT_EQ(block.error, GPU_SUCCESS);
    ASSERT_EQ(DevMemset(block.data, 0x11, block.pitch * 9), GPU_SUCCESS);
    // 7 x 5 bytes from column 3 of row 2.
    ASSERT_EQ(DevMemset2D(block.Bytes() + 2 * block.pitch + 3, block.pitch, 0x7F, 7, 5), GPU_SUCCESS);
    std::vector<uint8_t> back(block.pitch * 9);
    ASSERT_EQ(DevMemcpy(back.data(), block.data, back.size(), EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    for (size_t row = 0; row < 9; ++row) {
        for (size_t x = 0; x < 45; ++x) {
            const bool inside = row >= 2 && row < 7 && x >= 3 && x < 10;
            ASSERT_EQ(back[row * block.pitch + x], inside ? 0x7F : 0x11) << row << "," << x;
        }
    }
}

TEST(GpuDeviceTest, GridsOfEveryShapeRunEachThreadOnce)
{
    DevInitialize(0);
    const std::pair<stDim3, stDim3> shapes[] = {
        {{1, 1, 1}, {1, 1, 1}},     {{7, 3, 2}, {5, 4, 3}}, {{40, 23, 1}, {32, 32, 1}},
        {{3, 1, 1}, {1024, 1, 1}},  {{1, 5, 7}, {2, 2, 64}}, {{129, 1, 1}, {33, 1, 1}},
    };
    for (const auto &[grid, block] : shapes) {
        SCOPED_TRACE(testing::Message() << "grid " << grid.x << "x" << grid.y << "x" << grid.z << " block " << block.x
                                        << "x" << block.y << "x" << block.z);
        const size_t threads = size_t{grid.x} * grid.y * grid.z * block.x * block.y * block.z;
        uint32_t *device = nullptr;
        ASSERT_EQ(DevMalloc(reinterpret_cast<void **>(&device), threads * sizeof(uint32_t)), GPU_SUCCESS);
        ASSERT_EQ(DevMemset(device, 0, threads * sizeof(uint32_t)), GPU_SUCCESS);
        ASSERT_EQ(MarkThreadsInDvc(device, grid, block, nullptr, false), GPU_SUCCESS);
        std::vector<uint32_t> marks(threads);
        ASSERT_EQ(DevMemcpy(marks.data(), device, threads * sizeof(uint32_t), EGpuCopyKind::DeviceToHost),
                  GPU_SUCCESS);
        for (size_t i = 0; i < threads; ++i)
            ASSERT_EQ(marks[i], i + 1) << i;
        EXPECT_EQ(DevFree(device), GPU_SUCCESS);
    }
    // Shapes a GPU refuses are refused here too.
    uint32_t cell = 0;
    EXPECT_EQ(MarkThreadsInDvc(&cell, {0, 1, 1}, {1, 1, 1}, nullptr, true), GPU_ERROR_INVALID_CONFIGURATION);
    EXPECT_EQ(MarkThreadsInDvc(&cell, {1, 1, 1}, {32, 32, 2}, nullptr, true), GPU_ERROR_INVALID_CONFIGURATION);
    EXPECT_EQ(MarkThreadsInDvc(&cell, {1, 1, 1}, {1, 1, 65}, nullptr, true), GPU_ERROR_INVALID_CONFIGURATION);
    EXPECT_EQ(MarkThreadsInDvc(&cell, {1, 65536, 1}, {1, 1, 1}, nullptr, true), GPU_ERROR_INVALID_CONFIGURATION);
}

TEST(GpuDeviceTest, ConcurrentLaunchesFromManyThreads)
{
    DevInitialize(0);
    constexpr int kThreads = 12;
    constexpr int kRounds = 20;
    constexpr uint32_t kCount = 20011;
    std::latch start(kThreads);
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            int32_t *device = nullptr;
            if (DevMalloc(reinterpret_cast<void **>(&device), kCount * sizeof(int32_t)) != GPU_SUCCESS) {
                failures[t] = -1;
                start.count_down();
                return;
            }
            std::vector<int32_t> host(kCount);
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                DevMemset(device, 0, kCount * sizeof(int32_t));
                if (FillSequenceInDvc(device, kCount, 64 + 64 * (t % 4)) != GPU_SUCCESS)
                    ++failures[t];
                DevMemcpy(host.data(), device, kCount * sizeof(int32_t), EGpuCopyKind::DeviceToHost);
                for (uint32_t i = 0; i < kCount; ++i) {
                    if (host[i] != static_cast<int32_t>(i * 3 + 1)) {
                        ++failures[t];
                        break;
                    }
                }
            }
            DevFree(device);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}

TEST(GpuDeviceTest, StreamsAndEvents)
{
    DevInitialize(0);
    GpuStream stream = nullptr;
    ASSERT_EQ(DevStreamCreate(&stream), GPU_SUCCESS);
    ASSERT_NE(stream, nullptr);
    GpuEvent begin = nullptr;
    GpuEvent end = nullptr;
    ASSERT_EQ(DevEventCreate(&begin), GPU_SUCCESS);
    ASSERT_EQ(DevEventCreate(&end), GPU_SUCCESS);

    constexpr size_t kBytes = 1 << 20;
    const std::vector<uint8_t> source = PatternBytes(kBytes, 5);
    void *device = nullptr;
    ASSERT_EQ(DevMalloc(&device, kBytes), GPU_SUCCESS);
    ASSERT_EQ(DevEventRecord(begin, stream), GPU_SUCCESS);
    ASSERT_EQ(DevMemcpy(device, source.data(), kBytes, EGpuCopyKind::HostToDevice, stream), GPU_SUCCESS);
    ASSERT_EQ(DevMemset(static_cast<uint8_t *>(device) + 10, 0, 6, stream), GPU_SUCCESS);
    ASSERT_EQ(DevEventRecord(end, stream), GPU_SUCCESS);
    ASSERT_EQ(DevEventSynchronize(end), GPU_SUCCESS);
    ASSERT_EQ(DevStreamSynchronize(stream), GPU_SUCCESS);
    float milliseconds = -1.0f;
    ASSERT_EQ(DevEventElapsedTime(&milliseconds, begin, end), GPU_SUCCESS);
    EXPECT_GE(milliseconds, 0.0f);

    std::vector<uint8_t> back(kBytes);
    ASSERT_EQ(DevMemcpy(back.data(), device, kBytes, EGpuCopyKind::DeviceToHost, stream), GPU_SUCCESS);
    ASSERT_EQ(DevStreamSynchronize(stream), GPU_SUCCESS);
    std::vector<uint8_t> expected = source;
    std::fill_n(expected.begin() + 10, 6, 0);
    EXPECT_EQ(back, expected);

    // A kernel on the stream.
    uint32_t *marks = nullptr;
    ASSERT_EQ(DevMalloc(reinterpret_cast<void **>(&marks), 64 * sizeof(uint32_t)), GPU_SUCCESS);
    ASSERT_EQ(DevMemset(marks, 0, 64 * sizeof(uint32_t)), GPU_SUCCESS);
    ASSERT_EQ(MarkThreadsInDvc(marks, {2, 1, 1}, {32, 1, 1}, stream, false), GPU_SUCCESS);
    std::vector<uint32_t> marked(64);
    ASSERT_EQ(DevMemcpy(marked.data(), marks, 64 * sizeof(uint32_t), EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    EXPECT_EQ(marked[63], 64u);

    EXPECT_EQ(DevFree(marks), GPU_SUCCESS);
    EXPECT_EQ(DevFree(device), GPU_SUCCESS);
    EXPECT_EQ(DevEventDestroy(begin), GPU_SUCCESS);
    EXPECT_EQ(DevEventDestroy(end), GPU_SUCCESS);
    EXPECT_EQ(DevStreamDestroy(stream), GPU_SUCCESS);
    EXPECT_EQ(DevSynchronize(), GPU_SUCCESS);
}

TEST(GpuDeviceTest, ContextsPairUpPerThread)
{
    DevInitialize(0);
    const int32_t device = DevCurrentDevice();
    EXPECT_EQ(DevRetainPrimaryContext(device), GPU_SUCCESS);
    EXPECT_NE(DevPopContext(), GPU_SUCCESS); // nothing pushed on this thread
    ASSERT_EQ(DevPushContext(device), GPU_SUCCESS);
    ASSERT_EQ(DevPushContext(device), GPU_SUCCESS);
    std::thread other([] { EXPECT_NE(DevPopContext(), GPU_SUCCESS); }); // pushes belong to their thread
    other.join();
    EXPECT_EQ(DevPopContext(), GPU_SUCCESS);
    EXPECT_EQ(DevPopContext(), GPU_SUCCESS);
    EXPECT_NE(DevPopContext(), GPU_SUCCESS);
    EXPECT_EQ(DevReleasePrimaryContext(device), GPU_SUCCESS);

    // An injected failure pushes nothing.
    DevInjectFault(EDevFault::Context, 1);
    EXPECT_NE(DevPushContext(device), GPU_SUCCESS);
    EXPECT_NE(DevPopContext(), GPU_SUCCESS);
}

TEST(GpuDeviceTest, AllocationCountsAndRefusedFrees)
{
    DevInitialize(0);
    const stDevAllocationCounts before = DevAllocationCounts();
    void *device = nullptr;
    void *pitched = nullptr;
    void *host = nullptr;
    size_t pitch = 0;
    ASSERT_EQ(DevMalloc(&device, 1000), GPU_SUCCESS);
    ASSERT_EQ(DevMallocPitch(&pitched, &pitch, 33, 3), GPU_SUCCESS);
    ASSERT_EQ(DevMallocHost(&host, 77), GPU_SUCCESS);
    stDevAllocationCounts during = DevAllocationCounts();
    EXPECT_EQ(during.deviceBlocks, before.deviceBlocks + 2);
    EXPECT_EQ(during.deviceBytes, before.deviceBytes + 1000 + static_cast<int64_t>(pitch * 3));
    EXPECT_EQ(during.hostBlocks, before.hostBlocks + 1);

    // Wrong kinds and unknown pointers are refused and leave the books alone.
    EXPECT_NE(DevFree(host), GPU_SUCCESS);
    EXPECT_NE(DevFreeHost(device), GPU_SUCCESS);
    int local = 0;
    EXPECT_EQ(DevFree(&local), GPU_ERROR_INVALID_DEVICE_POINTER);
    EXPECT_EQ(DevFree(nullptr), GPU_SUCCESS);
    EXPECT_EQ(DevFreeHost(nullptr), GPU_SUCCESS);
    during = DevAllocationCounts();
    EXPECT_EQ(during.deviceBlocks, before.deviceBlocks + 2);

    EXPECT_EQ(DevFree(device), GPU_SUCCESS);
    EXPECT_EQ(DevFree(pitched), GPU_SUCCESS);
    EXPECT_EQ(DevFreeHost(host), GPU_SUCCESS);
    const stDevAllocationCounts after = DevAllocationCounts();
    EXPECT_EQ(after.deviceBlocks, before.deviceBlocks);
    EXPECT_EQ(after.deviceBytes, before.deviceBytes);
    EXPECT_EQ(after.hostBlocks, before.hostBlocks);

    // Zero bytes: success and nothing to free.
    ASSERT_EQ(DevMalloc(&device, 0), GPU_SUCCESS);
    EXPECT_EQ(device, nullptr);
}

TEST(GpuDeviceTest, InjectedFaultsCountAndWait)
{
    DevInitialize(0);
    void *blocks[4] = {};
    DevInjectFault(EDevFault::Malloc, 2, 1);
    EXPECT_EQ(DevMalloc(&blocks[0], 16), GPU_SUCCESS);
    EXPECT_EQ(DevMalloc(&blocks[1], 16), GPU_ERROR_MEMORY_ALLOCATION);
    EXPECT_EQ(blocks[1], nullptr);
    EXPECT_EQ(DevMallocHost(&blocks[2], 16), GPU_ERROR_MEMORY_ALLOCATION);
    EXPECT_EQ(DevMalloc(&blocks[3], 16), GPU_SUCCESS);
    uint8_t byte = 0;
    DevInjectFault(EDevFault::Memcpy, 1);
    EXPECT_NE(DevMemcpy(blocks[0], &byte, 1, EGpuCopyKind::HostToDevice), GPU_SUCCESS);
    EXPECT_EQ(DevMemcpy(blocks[0], &byte, 1, EGpuCopyKind::HostToDevice), GPU_SUCCESS);
    DevInjectFault(EDevFault::Memset, 1);
    EXPECT_NE(DevMemset2D(blocks[0], 4, 0, 4, 4), GPU_SUCCESS);
    DevInjectFault(EDevFault::Memset, 5);
    DevInjectFault(EDevFault::Memset, 0); // cleared
    EXPECT_EQ(DevMemset(blocks[0], 0, 16), GPU_SUCCESS);
    EXPECT_EQ(DevFree(blocks[0]), GPU_SUCCESS);
    EXPECT_EQ(DevFree(blocks[3]), GPU_SUCCESS);
}

TEST(GpuDeviceTest, ErrorNamesMemoryInfoAndPerThreadLastError)
{
    DevInitialize(0);
    EXPECT_STREQ(DevErrorName(GPU_SUCCESS), "cudaSuccess");
    stDevDeviceProperties properties;
    if (DevBackend() == EGpuBackend::Host) {
        EXPECT_EQ(DevDeviceCount(), 0);
        EXPECT_EQ(DevGetDeviceProperties(0, &properties), GPU_ERROR_NO_DEVICE);
    } else {
        EXPECT_EQ(DevGetDeviceProperties(0, &properties), GPU_SUCCESS);
        EXPECT_EQ(DevGetDeviceProperties(-1, &properties), GPU_ERROR_INVALID_DEVICE);
    }
    EXPECT_STREQ(DevErrorName(GPU_ERROR_MEMORY_ALLOCATION), "cudaErrorMemoryAllocation");
    EXPECT_STREQ(DevErrorName(GPU_ERROR_INVALID_VALUE), "cudaErrorInvalidValue");
    size_t freeBytes = 0;
    size_t totalBytes = 0;
    ASSERT_EQ(DevMemGetInfo(&freeBytes, &totalBytes), GPU_SUCCESS);
    EXPECT_GT(totalBytes, 0u);
    EXPECT_LE(freeBytes, totalBytes);

    int32_t cell = 0;
    EXPECT_EQ(FillSequenceInDvc(&cell, 1, 4096), GPU_ERROR_INVALID_CONFIGURATION);
    std::thread other([] { EXPECT_EQ(DevGetLastError(), GPU_SUCCESS); });
    other.join();
    EXPECT_EQ(DevGetLastError(), GPU_ERROR_INVALID_CONFIGURATION);
    EXPECT_EQ(DevGetLastError(), GPU_SUCCESS);
}

} // namespace
