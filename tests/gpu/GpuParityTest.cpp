// The CUDA backend against the host backend, bit for bit. Skipped without a CUDA device (the host
// backend is tested everywhere else); TYX_REQUIRE_CUDA=1 turns the skip into a failure.

#include "support/DeviceBuffer.h"
#include "support/LeakCheck.h"
#include "ParityKernels.h"
#include "core/FramePackage.h"
#include "core/NvBufferFormat.h"
#include "core/Resize.h"
#include "core/TYXUtils.h"
#include "platform/GpuBackend.h"
#include "core/VideoFrameInfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <latch>
#include <thread>
#include <vector>

namespace {

class GpuParityTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        if (DevBackend() != EGpuBackend::Cuda) {
            if (std::getenv("TYX_REQUIRE_CUDA"))
                FAIL() << "TYX_REQUIRE_CUDA is set but the CUDA runtime finds no device";
            GTEST_SKIP() << "no CUDA device";
        }
        m_host = MakeHostGpuBackend();
    }

    std::unique_ptr<IGpuBackend> m_host;
};

TEST_F(GpuParityTest, DevicePropertiesAreRead)
{
    stDevDeviceProperties properties;
    ASSERT_EQ(DevGetDeviceProperties(DevCurrentDevice(), &properties), GPU_SUCCESS);
    EXPECT_NE(properties.name[0], '\0');
    EXPECT_GE(properties.major, 7); // the build's oldest target
    EXPECT_GT(properties.multiProcessors, 0);
    EXPECT_GT(properties.totalGlobalMemory, 0u);
    EXPECT_GE(properties.maxThreadsPerBlock, 1024);
    EXPECT_EQ(DevGetDeviceProperties(DevDeviceCount(), &properties), GPU_ERROR_INVALID_DEVICE);
}

TEST_F(GpuParityTest, EveryLaunchShapeSeesTheSameIndices)
{
    const std::pair<stDim3, stDim3> shapes[] = {
        {{1, 1, 1}, {1, 1, 1}},    {{7, 3, 2}, {5, 4, 3}},  {{40, 23, 1}, {32, 32, 1}},
        {{3, 1, 1}, {1024, 1, 1}}, {{1, 5, 7}, {2, 2, 64}}, {{70000, 1, 1}, {33, 1, 1}},
    };
    for (const auto &[grid, block] : shapes) {
        const size_t threads = size_t{grid.x} * grid.y * grid.z * block.x * block.y * block.z;
        CDeviceBuffer device(threads * sizeof(uint32_t));
        std::vector<uint32_t> host(threads, 0);
        ASSERT_EQ(HashThreadsInDvc(reinterpret_cast<uint32_t *>(device.Data()), grid, block, false), GPU_SUCCESS);
        ASSERT_EQ(HashThreadsInDvc(host.data(), grid, block, true), GPU_SUCCESS);
        const std::vector<uint8_t> bytes = device.Download();
        ASSERT_EQ(bytes.size(), threads * sizeof(uint32_t));
        EXPECT_EQ(std::memcmp(bytes.data(), host.data(), bytes.size()), 0)
            << "grid " << grid.x << "x" << grid.y << "x" << grid.z;
    }
}

TEST_F(GpuParityTest, PitchedCopiesAndFillsMatchTheHostBackend)
{
    for (const auto &[width, height] : {std::pair<size_t, size_t>{37, 13}, {1, 1}, {1921, 7}, {4097, 3}}) {
        SCOPED_TRACE(testing::Message() << width << "x" << height);
        const size_t srcPitch = width + 11;
        const std::vector<uint8_t> source = PatternBytes(srcPitch * height, static_cast<uint32_t>(width));

        // The same steps on both backends: upload at a pitch, fill a rectangle, copy across, read back.
        auto run = [&](bool cuda) {
            auto malloc2d = [&](void **p, size_t *pitch, size_t w) {
                return cuda ? DevMallocPitch(p, pitch, w, height) : m_host->MallocPitch(p, pitch, w, height);
            };
            auto copy2d = [&](void *dst, size_t dp, const void *src, size_t sp, size_t w, EGpuCopyKind kind) {
                return cuda ? DevMemcpy2D(dst, dp, src, sp, w, height, kind)
                            : m_host->Memcpy2D(dst, dp, src, sp, w, height, kind, nullptr);
            };
            void *first = nullptr;
            void *second = nullptr;
            size_t firstPitch = 0;
            size_t secondPitch = 0;
            EXPECT_EQ(malloc2d(&first, &firstPitch, width), GPU_SUCCESS);
            EXPECT_EQ(malloc2d(&second, &secondPitch, width + 1), GPU_SUCCESS);
            EXPECT_EQ(copy2d(first, firstPitch, source.data(), srcPitch, width, EGpuCopyKind::HostToDevice),
                      GPU_SUCCESS);
            const size_t fillWidth = (width + 1) / 2;
            const GpuError filled = cuda ? DevMemset2D(first, firstPitch, 0x5A, fillWidth, height)
                                         : m_host->Memset2D(first, firstPitch, 0x5A, fillWidth, height, nullptr);
            EXPECT_EQ(filled, GPU_SUCCESS);
            EXPECT_EQ(copy2d(second, secondPitch, first, firstPitch, width, EGpuCopyKind::DeviceToDevice),
                      GPU_SUCCESS);
            std::vector<uint8_t> back((width + 3) * height, 0xC3);
            EXPECT_EQ(copy2d(back.data(), width + 3, second, secondPitch, width, EGpuCopyKind::DeviceToHost),
                      GPU_SUCCESS);
            if (cuda) {
                DevFree(first);
                DevFree(second);
            } else {
                m_host->Free(first);
                m_host->Free(second);
            }
            return back;
        };
        EXPECT_EQ(run(true), run(false));
    }
}

// One scaling case: sizes, pitches and chroma layout.
struct stScaleCase
{
    int32_t sw, sh, dw, dh;
    bool semiPlanar;
};

TEST_F(GpuParityTest, TheScalerGivesTheSameBytes)
{
    const stScaleCase cases[] = {
        {1920, 1080, 1280, 720, false}, {1280, 720, 1920, 1080, false}, {641, 361, 320, 180, false},
        {320, 180, 641, 361, false},    {1920, 1080, 1920, 1080, false}, {3840, 2160, 960, 540, false},
        {1920, 1080, 704, 576, true},   {17, 9, 5, 3, false},            {2, 2, 4095, 2161, false},
    };
    uint32_t seed = 100;
    for (const stScaleCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " semi-planar "
                                        << c.semiPlanar);
        const int32_t srcPitch = c.sw + 64;
        const int32_t srcChromaPitch = c.semiPlanar ? srcPitch : srcPitch / 2 + 16;
        const int32_t dstPitch = c.dw + 3;
        const int32_t dstChromaPitch = c.semiPlanar ? dstPitch + 1 : (dstPitch + 1) / 2;
        const size_t srcChromaRows = static_cast<size_t>((c.sh + 1) / 2);
        const size_t dstChromaRows = static_cast<size_t>((c.dh + 1) / 2);
        const std::vector<uint8_t> y = PatternBytes(static_cast<size_t>(srcPitch) * c.sh, ++seed);
        const std::vector<uint8_t> u = PatternBytes(static_cast<size_t>(srcChromaPitch) * srcChromaRows, ++seed);
        const std::vector<uint8_t> v = PatternBytes(static_cast<size_t>(srcChromaPitch) * srcChromaRows, ++seed);
        std::vector<uint8_t> hy(static_cast<size_t>(dstPitch) * c.dh, 0xEE);
        std::vector<uint8_t> hu(static_cast<size_t>(dstChromaPitch) * dstChromaRows, 0xEE);
        std::vector<uint8_t> hv = hu;
        ASSERT_EQ(ScaleYuv420OnHost(hy.data(), hu.data(), hv.data(), dstPitch, dstChromaPitch, c.dw, c.dh, y.data(),
                                    u.data(), v.data(), srcPitch, srcChromaPitch, c.sw, c.sh, c.semiPlanar),
                  0);
        CDeviceBuffer sy(y), su(u), sv(v);
        CDeviceBuffer dy(std::vector<uint8_t>(hy.size(), 0xEE));
        CDeviceBuffer du(std::vector<uint8_t>(hu.size(), 0xEE));
        CDeviceBuffer dv(std::vector<uint8_t>(hv.size(), 0xEE));
        ASSERT_EQ(ScaleYuv420InDvc(dy.Data(), du.Data(), dv.Data(), dstPitch, dstChromaPitch, c.dw, c.dh, sy.Data(),
                                   su.Data(), sv.Data(), srcPitch, srcChromaPitch, c.sw, c.sh, c.semiPlanar),
                  0);
        EXPECT_EQ(dy.Download(), hy);
        EXPECT_EQ(du.Download(), hu);
        EXPECT_EQ(dv.Download(), hv);
    }
}

TEST_F(GpuParityTest, ScaleFrameGpuMatchesTheHostPath)
{
    const int32_t sw = 1920, sh = 1080, dw = 1280, dh = 720;
    const std::vector<uint8_t> source = PatternBytes(static_cast<size_t>(sw) * sh * 3 / 2, 7);
    std::vector<uint8_t> expected(static_cast<size_t>(dw) * dh * 3 / 2);
    const size_t sl = static_cast<size_t>(sw) * sh;
    const size_t dl = static_cast<size_t>(dw) * dh;
    ASSERT_EQ(ScaleYuv420OnHost(expected.data(), expected.data() + dl, expected.data() + dl * 5 / 4, dw, dw / 2, dw,
                                dh, source.data(), source.data() + sl, source.data() + sl * 5 / 4, sw, sw / 2, sw, sh),
              0);
    CDeviceBuffer deviceSource(source);
    for (const bool srcInDevice : {false, true}) {
        for (const bool resultInDevice : {false, true}) {
            uint8_t *result = nullptr;
            const uint8_t *src = srcInDevice ? deviceSource.Data() : source.data();
            ASSERT_EQ(CTYXUtils::ScaleFrameGPU(0, src, sw, sh, 0, srcInDevice, &result, dw, dh, resultInDevice),
                      static_cast<int32_t>(expected.size()));
            std::vector<uint8_t> bytes(expected.size());
            ASSERT_EQ(DevMemcpy(bytes.data(), result, bytes.size(),
                                resultInDevice ? EGpuCopyKind::DeviceToHost : EGpuCopyKind::HostToHost),
                      GPU_SUCCESS);
            ReleaseFramePackageData(result, resultInDevice);
            EXPECT_EQ(bytes, expected) << "source on device " << srcInDevice << ", result on device "
                                       << resultInDevice;
        }
    }
}

TEST_F(GpuParityTest, PackagesMoveBetweenHostAndDevice)
{
    FramePackage host;
    ASSERT_EQ(AllocFramePackageData(host, 3110400), 3110400);
    const std::vector<uint8_t> bytes = PatternBytes(3110400, 3);
    std::memcpy(host.pData, bytes.data(), bytes.size());
    FramePackage device;
    device.inDevice = 1;
    ASSERT_EQ(DuplicateFramePackage(device, host), 3110400);
    FramePackage deviceCopy;
    deviceCopy.inDevice = 1;
    ASSERT_EQ(DuplicateFramePackage(deviceCopy, device), 3110400);
    FramePackage back;
    ASSERT_EQ(DuplicateFramePackage(back, deviceCopy), 3110400);
    EXPECT_EQ(back.inDevice, 0);
    EXPECT_EQ(std::memcmp(back.pData, bytes.data(), bytes.size()), 0);

    // Blank pictures on the device equal those in host memory.
    const stColorYuv color{35, 200, 60};
    FramePackage blankHost;
    FramePackage blankDevice;
    blankHost.width = blankDevice.width = 1918;
    blankHost.height = blankDevice.height = 1078;
    blankDevice.inDevice = 1;
    ASSERT_EQ(CreateBlankVideoFramePackage(blankHost, color), 1918 * 1078 * 3 / 2);
    ASSERT_EQ(CreateBlankVideoFramePackage(blankDevice, color), 1918 * 1078 * 3 / 2);
    FramePackage blankBack;
    ASSERT_EQ(DuplicateFramePackage(blankBack, blankDevice), blankHost.nLength);
    EXPECT_EQ(std::memcmp(blankBack.pData, blankHost.pData, static_cast<size_t>(blankHost.nLength)), 0);

    for (FramePackage *package : {&host, &device, &deviceCopy, &back, &blankHost, &blankDevice, &blankBack})
        FreeFramePackage(*package);
}

TEST_F(GpuParityTest, CopiesIntoDevicePicturesFromEitherMemory)
{
    const uint32_t width = 1921, height = 1081, srcPitch = 2000, dstPitch = 2048;
    const uint32_t format = TYX_NV_BUFFER_FORMAT_IYUV;
    const std::vector<uint32_t> srcOffsets = *NvBufferChromaSubPlaneOffsets(format, srcPitch, height);
    const std::vector<uint32_t> dstOffsets = *NvBufferChromaSubPlaneOffsets(format, dstPitch, height);
    const size_t srcSize = srcOffsets[1] + size_t{*NvBufferChromaPitch(format, srcPitch)} * ((height + 1) / 2);
    const size_t dstSize = dstOffsets[1] + size_t{*NvBufferChromaPitch(format, dstPitch)} * ((height + 1) / 2);
    const std::vector<uint8_t> source = PatternBytes(srcSize, 9);
    CDeviceBuffer deviceSource(source);

    // The reference: the same copy by the host backend's 2D copies on host memory.
    std::vector<uint8_t> expected(dstSize, 0xEE);
    ASSERT_EQ(m_host->Memcpy2D(expected.data(), dstPitch, source.data(), srcPitch, width, height,
                               EGpuCopyKind::HostToHost, nullptr),
              GPU_SUCCESS);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(m_host->Memcpy2D(expected.data() + dstOffsets[i], dstPitch / 2, source.data() + srcOffsets[i],
                                   srcPitch / 2, (width + 1) / 2, (height + 1) / 2, EGpuCopyKind::HostToHost, nullptr),
                  GPU_SUCCESS);

    for (const int32_t memoryType : {TYX_MEMORY_HOST, TYX_MEMORY_DEVICE}) {
        for (const bool i420 : {false, true}) {
            CDeviceBuffer dst(std::vector<uint8_t>(dstSize, 0xEE));
            const void *src = memoryType == TYX_MEMORY_DEVICE ? static_cast<const void *>(deviceSource.Data())
                                                              : static_cast<const void *>(source.data());
            const int32_t result =
                i420 ? CTYXUtils::CopyToDeviceFrame(0, src, srcPitch, dst.Data(), dstPitch, width, height, memoryType,
                                                    dstOffsets.data(), 2)
                     : CTYXUtils::CopyToDeviceFrame(0, src, srcPitch, dst.Data(), dstPitch, width, height, memoryType,
                                                    format, dstOffsets.data(), 2);
            EXPECT_EQ(result, 0);
            EXPECT_EQ(dst.Download(), expected) << "memory " << memoryType << " I420 variant " << i420;
        }
    }
}

TEST_F(GpuParityTest, ManyThreadsScaleAtOnce)
{
    constexpr int kThreads = 8;
    const std::vector<uint8_t> source = PatternBytes(1280 * 720 * 3 / 2, 11);
    std::vector<uint8_t> expected(640 * 360 * 3 / 2);
    ASSERT_EQ(ScaleYuv420OnHost(expected.data(), expected.data() + 230400, expected.data() + 288000, 640, 320, 640,
                                360, source.data(), source.data() + 921600, source.data() + 1152000, 1280, 640, 1280,
                                720),
              0);
    std::latch start(kThreads);
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < 10; ++round) {
                uint8_t *result = nullptr;
                if (CTYXUtils::ScaleFrameGPU(0, source.data(), 1280, 720, 0, false, &result, 640, 360, false) !=
                        static_cast<int32_t>(expected.size()) ||
                    std::memcmp(result, expected.data(), expected.size()) != 0)
                    ++mismatches[t];
                ReleaseFramePackageData(result, false);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

} // namespace
