#include "core/FramePackage.h"

#include "platform/GpuDevice.h"
#include "support/LeakCheck.h"
#include "support/LogCapture.h"
#include "core/VideoFrameInfo.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <vector>

namespace {

// Every test ends with the blocks it started with.
class FramePackageTest : public CLeakCheckedTest
{
protected:
    // A package of length bytes 0, 1, 2, ... in the chosen memory.
    static FramePackage MakePackage(int32_t length, bool inDevice)
    {
        FramePackage package;
        package.inDevice = inDevice ? 1 : 0;
        EXPECT_EQ(AllocFramePackageData(package, length), length);
        std::vector<uint8_t> bytes(static_cast<size_t>(length));
        for (int32_t i = 0; i < length; ++i)
            bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 7 + 3);
        EXPECT_EQ(DevMemcpy(package.pData, bytes.data(), bytes.size(),
                            inDevice ? EGpuCopyKind::HostToDevice : EGpuCopyKind::HostToHost),
                  GPU_SUCCESS);
        package.pts = 1234567;
        package.dts = 1234000;
        package.duration = 40000;
        package.flags = TYX_PKT_FLAG_KEY;
        package.streamIndex = 3;
        package.mediaType = TYX_MEDIA_VIDEO;
        package.kind = TYX_PKT_KIND_RAW_VIDEO;
        package.format = 0;
        package.fParam = 1.5f;
        package.readTime = 11;
        package.queuedTime = 12;
        package.width = 16;
        package.height = 8;
        package.pitch = 32;
        package.u32Param = 77;
        return package;
    }

    static std::vector<uint8_t> ReadBack(const FramePackage &package)
    {
        std::vector<uint8_t> bytes(static_cast<size_t>(package.nLength));
        EXPECT_EQ(DevMemcpy(bytes.data(), package.pData, bytes.size(),
                            package.inDevice ? EGpuCopyKind::DeviceToHost : EGpuCopyKind::HostToHost),
                  GPU_SUCCESS);
        return bytes;
    }

    static bool SameFieldsExceptData(const FramePackage &a, const FramePackage &b)
    {
        return a.pts == b.pts && a.dts == b.dts && a.duration == b.duration && a.flags == b.flags &&
               a.streamIndex == b.streamIndex && a.mediaType == b.mediaType && a.kind == b.kind &&
               a.format == b.format && a.fParam == b.fParam && a.readTime == b.readTime &&
               a.queuedTime == b.queuedTime && a.width == b.width && a.height == b.height && a.pitch == b.pitch &&
               a.u32Param == b.u32Param && a.audioSamples == b.audioSamples && a.sampleRate == b.sampleRate;
    }

    static bool IsAllZero(const FramePackage &package)
    {
        std::array<uint8_t, sizeof(FramePackage)> bytes{};
        std::memcpy(bytes.data(), &package, sizeof(package));
        for (uint8_t byte : bytes) {
            if (byte != 0)
                return false;
        }
        return true;
    }
};

TEST_F(FramePackageTest, DuplicateCopiesEveryMemoryKindIntoItsOwnBuffer)
{
    for (const bool srcDevice : {false, true}) {
        for (const bool dstDevice : {false, true}) {
            SCOPED_TRACE(testing::Message() << "src device " << srcDevice << ", dst device " << dstDevice);
            FramePackage source = MakePackage(3110400, srcDevice);
            FramePackage copy;
            copy.inDevice = dstDevice ? 1 : 0;
            ASSERT_EQ(DuplicateFramePackage(copy, source), 3110400);
            EXPECT_NE(copy.pData, source.pData);
            EXPECT_EQ(copy.nLength, 3110400);
            EXPECT_EQ(copy.inDevice, dstDevice ? 1 : 0);
            EXPECT_TRUE(SameFieldsExceptData(copy, source));
            EXPECT_EQ(ReadBack(copy), ReadBack(source));

            // The copy is independent: releasing the source leaves it intact.
            const std::vector<uint8_t> expected = ReadBack(source);
            FreeFramePackage(source);
            EXPECT_EQ(ReadBack(copy), expected);
            FreeFramePackage(copy);
            EXPECT_TRUE(IsAllZero(copy));
        }
    }
}

TEST_F(FramePackageTest, DuplicateIntoItselfLeavesTheOriginalToItsOwner)
{
    FramePackage package = MakePackage(100, false);
    FramePackage original = package;
    ASSERT_EQ(DuplicateFramePackage(package, package), 100);
    EXPECT_NE(package.pData, original.pData);
    EXPECT_EQ(ReadBack(package), ReadBack(original));
    FreeFramePackage(package);
    FreeFramePackage(original);
}

TEST_F(FramePackageTest, StatusAndEmptyPackagesCopyWithoutData)
{
    // A stray pointer in a status or empty package is not data and is never shared.
    uint8_t stray[4] = {};
    const struct
    {
        int32_t length;
        uint8_t *data;
        int32_t copiedLength;
    } cases[] = {{TYX_SRC_CONNECTING, nullptr, TYX_SRC_CONNECTING},
                 {TYX_SRC_CONNECTING, stray, TYX_SRC_CONNECTING},
                 {0, stray, 0},
                 {50, nullptr, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length << ", data " << (c.data != nullptr));
        FramePackage package;
        package.nLength = c.length;
        package.pData = c.data;
        package.streamIndex = 2;
        package.pts = 5;
        FramePackage copy;
        copy.inDevice = 1;
        EXPECT_EQ(DuplicateFramePackage(copy, package), 0);
        EXPECT_EQ(copy.nLength, c.copiedLength);
        EXPECT_EQ(copy.pData, nullptr);
        EXPECT_EQ(copy.inDevice, 1);
        EXPECT_EQ(copy.streamIndex, 2);
        EXPECT_EQ(copy.pts, 5);
    }
}

TEST_F(FramePackageTest, SizeLimitIsCheckedBeforeAnyAllocation)
{
    uint8_t byte = 0;
    FramePackage huge;
    huge.pData = &byte; // never read: both sizes stop before the copy
    huge.inDevice = 1;
    FramePackage copy;
    copy.inDevice = 1;

    CLogCapture log;
    huge.nLength = TYX_MAX_PACKAGE_BYTES + 1;
    EXPECT_EQ(DuplicateFramePackage(copy, huge), TYX_PKG_ERR_SIZE);
    EXPECT_EQ(copy.pData, nullptr);
    EXPECT_EQ(copy.nLength, 0);
    EXPECT_EQ(log.Count(L"Frame duplicating abort for Invalid Frame size[398131201]!", 3), 1);
    EXPECT_EQ(log.Lines().size(), 1u);

    // The largest size passes the check and reaches the allocation, which is made to fail here.
    DevInjectFault(EDevFault::Malloc, 1);
    huge.nLength = TYX_MAX_PACKAGE_BYTES;
    EXPECT_EQ(DuplicateFramePackage(copy, huge), TYX_PKG_ERR_NO_BUFFER);
    EXPECT_EQ(copy.pData, nullptr);
    EXPECT_EQ(copy.nLength, 0);
    EXPECT_TRUE(log.Contains(L"GPU memory[size=398131200] allocing failed with error(2) returned!", 3));
    EXPECT_TRUE(log.Contains(L"Cuda call failed with cuda error(2) returned!"));
}

TEST_F(FramePackageTest, FailedCopyLeavesTheDestinationEmpty)
{
    for (const bool srcDevice : {false, true}) {
        for (const bool dstDevice : {false, true}) {
            if (!srcDevice && !dstDevice)
                continue; // a host copy cannot fail
            SCOPED_TRACE(testing::Message() << "src device " << srcDevice << ", dst device " << dstDevice);
            FramePackage source = MakePackage(4096, srcDevice);
            FramePackage copy;
            copy.inDevice = dstDevice ? 1 : 0;
            CLogCapture log;
            DevInjectFault(EDevFault::Memcpy, 1);
            EXPECT_EQ(DuplicateFramePackage(copy, source), TYX_PKG_ERR_COPY);
            EXPECT_EQ(copy.pData, nullptr);
            EXPECT_EQ(copy.nLength, 0);
            EXPECT_EQ(copy.inDevice, dstDevice ? 1 : 0);
            const wchar_t *dots = srcDevice ? L"returned!...With [srcPtr=" : L"returned!..With [srcPtr=";
            EXPECT_TRUE(log.Contains(dots, 3));
            EXPECT_TRUE(log.Contains(L"len=4096]", 3));
            FreeFramePackage(copy); // harmless on the emptied package
            FreeFramePackage(source);
        }
    }
}

TEST_F(FramePackageTest, FreeReleasesOnlyOwnedDataAndZeroesEverything)
{
    uint8_t borrowed[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    FramePackage lent;
    lent.pData = borrowed;
    lent.nLength = 0;
    lent.pts = 10;
    FreeFramePackage(lent); // a stack buffer: freeing it would crash under ASan
    EXPECT_TRUE(IsAllZero(lent));
    EXPECT_EQ(borrowed[7], 8);

    FramePackage status;
    status.nLength = TYX_SRC_DECODE_ERROR;
    FreeFramePackage(status);
    EXPECT_TRUE(IsAllZero(status));

    FramePackage device = MakePackage(64, true);
    const int64_t deviceBlocks = DevAllocationCounts().deviceBlocks;
    FreeFramePackage(device);
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, deviceBlocks - 1);
    EXPECT_TRUE(IsAllZero(device));

    // Host memory marked as device memory is refused by the device free, logged, and not touched.
    FramePackage wrong;
    wrong.pData = borrowed;
    wrong.nLength = 8;
    wrong.inDevice = 1;
    CLogCapture log;
    FreeFramePackage(wrong);
    EXPECT_TRUE(log.Contains(L"GPU memory free failed with error(17) returned!", 3));
    EXPECT_TRUE(IsAllZero(wrong));
}

// A worker making pictures many times a second takes them from the device pool: a picture freed
// comes back for the next one of its size, neither freed nor allocated on the device again.
TEST_F(FramePackageTest, DevicePicturesComeBackFromThePool)
{
    DevPoolTrim();
    FramePackage picture;
    picture.inDevice = 1;
    picture.width = 64;
    picture.height = 32;
    ASSERT_EQ(CreateBlankVideoFramePackage(picture, stColorYuv{}), 64 * 32 * 3 / 2);
    std::set<uint8_t *> blocks{picture.pData};
    FreeFramePackage(picture);
    EXPECT_EQ(DevAllocationCounts().pooledBlocks, 1);
    for (int frame = 0; frame < 30; ++frame) {
        FramePackage next = MakePackage(64 * 32 * 3 / 2, true);
        FramePackage copy;
        copy.inDevice = 1;
        ASSERT_EQ(DuplicateFramePackage(copy, next), next.nLength);
        blocks.insert(next.pData);
        blocks.insert(copy.pData);
        FreeFramePackage(next);
        FreeFramePackage(copy);
    }
    EXPECT_EQ(blocks.size(), 2u); // the picture and its copy, over and over
    EXPECT_EQ(DevAllocationCounts().pooledBlocks, 2);
    DevPoolTrim();
}

TEST_F(FramePackageTest, AllocGivesPaddedHostDataAndRefusesAnOwner)
{
    FramePackage package;
    ASSERT_EQ(AllocFramePackageData(package, 5), 5);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(package.pData[5 + i], 0) << i;
    EXPECT_EQ(AllocFramePackageData(package, 5), TYX_PKG_ERR_OCCUPIED);
    FreeFramePackage(package);

    EXPECT_EQ(AllocFramePackageData(package, 0), TYX_PKG_ERR_SIZE);
    EXPECT_EQ(AllocFramePackageData(package, TYX_MAX_PACKAGE_BYTES + 1), TYX_PKG_ERR_SIZE);
    package.inDevice = 1;
    DevInjectFault(EDevFault::Malloc, 1);
    EXPECT_EQ(AllocFramePackageData(package, 16), TYX_PKG_ERR_NO_BUFFER);
    EXPECT_EQ(package.pData, nullptr);
    EXPECT_EQ(package.nLength, 0);
}

TEST_F(FramePackageTest, BlankPictureInBothMemories)
{
    const stColorYuv color{16, 90, 240};
    const auto planes = [](size_t y, size_t u, size_t v) {
        std::vector<uint8_t> bytes(y, 16);
        bytes.insert(bytes.end(), u, 90);
        bytes.insert(bytes.end(), v, 240);
        return bytes;
    };
    // Odd sizes have their chroma planes rounded up, as the decoded pictures have them.
    struct stCase
    {
        uint16_t width;
        uint16_t height;
        size_t luma;
        size_t chroma;
    };
    const stCase cases[] = {{4, 4, 16, 4}, {3, 3, 9, 4}, {321, 180, 321 * 180, 161 * 90}};
    for (const bool inDevice : {false, true}) {
        for (const stCase &c : cases) {
            SCOPED_TRACE(testing::Message() << "device " << inDevice << ", " << c.width << " x " << c.height);
            FramePackage package;
            package.width = c.width;
            package.height = c.height;
            package.inDevice = inDevice ? 1 : 0;
            ASSERT_EQ(CreateBlankVideoFramePackage(package, color), static_cast<int32_t>(c.luma + 2 * c.chroma));
            EXPECT_EQ(ReadBack(package), planes(c.luma, c.chroma, c.chroma));
            FreeFramePackage(package);
        }
    }
}

TEST_F(FramePackageTest, BlankPictureRefusals)
{
    const stColorYuv color;
    FramePackage package;
    package.width = 0;
    package.height = 1080;
    EXPECT_EQ(CreateBlankVideoFramePackage(package, color), TYX_PKG_ERR_SIZE);

    package.width = 65535;
    package.height = 65535; // 6.4 GB: refused before any allocation
    EXPECT_EQ(CreateBlankVideoFramePackage(package, color), TYX_PKG_ERR_SIZE);
    EXPECT_EQ(package.pData, nullptr);

    // A package that owns a picture keeps it.
    package.width = 2;
    package.height = 2;
    ASSERT_EQ(CreateBlankVideoFramePackage(package, color), 6);
    uint8_t *owned = package.pData;
    EXPECT_EQ(CreateBlankVideoFramePackage(package, color), TYX_PKG_ERR_OCCUPIED);
    EXPECT_EQ(package.pData, owned);
    EXPECT_EQ(package.nLength, 6);
    FreeFramePackage(package);

    CLogCapture log;
    package.width = 8;
    package.height = 8;
    package.inDevice = 1;
    DevInjectFault(EDevFault::Malloc, 1);
    EXPECT_EQ(CreateBlankVideoFramePackage(package, color), TYX_PKG_ERR_NO_BUFFER);
    EXPECT_EQ(package.pData, nullptr);
    EXPECT_EQ(package.nLength, 0);
    EXPECT_TRUE(log.Contains(L"Device memory allocating failed with err=2!", 2));

    DevInjectFault(EDevFault::Memset, 1);
    EXPECT_EQ(CreateBlankVideoFramePackage(package, color), TYX_PKG_ERR_COPY);
    EXPECT_EQ(package.pData, nullptr);
    EXPECT_EQ(package.nLength, 0);
}

} // namespace
