#include "core/TYXUtils.h"

#include "support/DeviceBuffer.h"
#include "support/LeakCheck.h"
#include "core/FramePackage.h"
#include "core/NvBufferFormat.h"
#include "core/Resize.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint8_t kUntouched = 0xEE;

void CopyRows(std::vector<uint8_t> &dst, size_t dstOffset, size_t dstPitch, const std::vector<uint8_t> &src,
              size_t srcOffset, size_t srcPitch, size_t widthBytes, size_t rows)
{
    for (size_t row = 0; row < rows; ++row) {
        for (size_t i = 0; i < widthBytes; ++i)
            dst[dstOffset + row * dstPitch + i] = src[srcOffset + row * srcPitch + i];
    }
}

// One planar copy case: a source with its own pitch into a destination with another.
struct stCopyCase
{
    uint32_t format = TYX_NV_BUFFER_FORMAT_IYUV;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t srcPitch = 0; // 0: packed
    uint32_t dstPitch = 0;

    uint32_t SrcRowPitch() const { return srcPitch != 0 ? srcPitch : *NvBufferWidthInBytes(format, width); }
    std::vector<uint32_t> SrcOffsets() const { return *NvBufferChromaSubPlaneOffsets(format, SrcRowPitch(), height); }
    std::vector<uint32_t> DstOffsets() const { return *NvBufferChromaSubPlaneOffsets(format, dstPitch, height); }
    uint32_t ChromaRows() const { return *NvBufferChromaHeight(format, height); }
    size_t SrcSize() const
    {
        const std::vector<uint32_t> offsets = SrcOffsets();
        const size_t chroma = size_t{*NvBufferChromaPitch(format, SrcRowPitch())} * ChromaRows();
        return offsets.empty() ? size_t{SrcRowPitch()} * height : offsets.back() + chroma;
    }
    size_t DstSize() const
    {
        const std::vector<uint32_t> offsets = DstOffsets();
        return offsets.back() + size_t{*NvBufferChromaPitch(format, dstPitch)} * ChromaRows();
    }

    // The destination as the copy must leave it; planes below `firstPlane` stay untouched.
    std::vector<uint8_t> Expected(const std::vector<uint8_t> &src, int firstPlane = 0, int lastPlane = 2) const
    {
        std::vector<uint8_t> dst(DstSize(), kUntouched);
        if (firstPlane == 0)
            CopyRows(dst, 0, dstPitch, src, 0, SrcRowPitch(), *NvBufferWidthInBytes(format, width), height);
        const std::vector<uint32_t> srcOffsets = SrcOffsets();
        const std::vector<uint32_t> dstOffsets = DstOffsets();
        for (size_t i = 0; i < srcOffsets.size(); ++i) {
            if (static_cast<int>(i) + 1 < firstPlane || static_cast<int>(i) + 1 > lastPlane)
                continue;
            CopyRows(dst, dstOffsets[i], *NvBufferChromaPitch(format, dstPitch), src, srcOffsets[i],
                     *NvBufferChromaPitch(format, SrcRowPitch()), *NvBufferChromaWidthInBytes(format, width),
                     ChromaRows());
        }
        return dst;
    }
};

// A fault armed just before the call under test.
struct stArmedFault
{
    EDevFault fault = EDevFault::Memcpy;
    int32_t after = -1; // none
};

// Besides the leak check: every context push was popped.
class CContextCheckedTest : public CLeakCheckedTest
{
protected:
    void TearDown() override
    {
        CLeakCheckedTest::TearDown();
        EXPECT_NE(DevPopContext(), GPU_SUCCESS);
    }
};

class CopyToDeviceFrameTest : public CContextCheckedTest
{
protected:

    // Runs one variant from host (or device) memory, with the fault armed just before the call;
    // the destination afterwards.
    static std::vector<uint8_t> Run(const stCopyCase &c, const std::vector<uint8_t> &src, bool i420Variant,
                                    int32_t memoryType, int32_t *result, stArmedFault fault = {})
    {
        CDeviceBuffer dst(std::vector<uint8_t>(c.DstSize(), kUntouched));
        CDeviceBuffer deviceSource(src);
        if (fault.after >= 0)
            DevInjectFault(fault.fault, 1, fault.after);
        const void *source = memoryType == TYX_MEMORY_DEVICE ? static_cast<const void *>(deviceSource.Data())
                                                             : static_cast<const void *>(src.data());
        const std::vector<uint32_t> offsets = c.DstOffsets();
        const auto planes = static_cast<uint32_t>(offsets.size());
        if (i420Variant)
            *result = CTYXUtils::CopyToDeviceFrame(0, source, c.srcPitch, dst.Data(), c.dstPitch, c.width, c.height,
                                                   memoryType, offsets.data(), planes);
        else
            *result = CTYXUtils::CopyToDeviceFrame(0, source, c.srcPitch, dst.Data(), c.dstPitch, c.width, c.height,
                                                   memoryType, c.format, offsets.data(), planes);
        return dst.Download();
    }
};

TEST_F(CopyToDeviceFrameTest, OddSizesAndPitchesInEveryFormatAndMemory)
{
    const stCopyCase cases[] = {
        {TYX_NV_BUFFER_FORMAT_IYUV, 33, 17, 41, 53},   {TYX_NV_BUFFER_FORMAT_IYUV, 33, 17, 0, 35},
        {TYX_NV_BUFFER_FORMAT_YV12, 7, 3, 9, 11},      {TYX_NV_BUFFER_FORMAT_NV12, 33, 17, 37, 64},
        {TYX_NV_BUFFER_FORMAT_YUV444, 13, 5, 15, 16},  {TYX_NV_BUFFER_FORMAT_YUV420_10BIT, 9, 5, 19, 32},
        {TYX_NV_BUFFER_FORMAT_IYUV, 1, 1, 0, 1},
    };
    uint32_t seed = 10;
    for (const stCopyCase &c : cases) {
        const std::vector<uint8_t> src = PatternBytes(c.SrcSize(), ++seed);
        for (const int32_t memoryType : {TYX_MEMORY_HOST, TYX_MEMORY_DEVICE}) {
            SCOPED_TRACE(testing::Message() << "format 0x" << std::hex << c.format << std::dec << " " << c.width << "x"
                                            << c.height << " pitches " << c.srcPitch << "/" << c.dstPitch
                                            << " memory " << memoryType);
            int32_t result = -99;
            EXPECT_EQ(Run(c, src, false, memoryType, &result), c.Expected(src));
            EXPECT_EQ(result, 0);
            if (c.format == TYX_NV_BUFFER_FORMAT_IYUV) {
                EXPECT_EQ(Run(c, src, true, memoryType, &result), c.Expected(src));
                EXPECT_EQ(result, 0);
            }
        }
    }
}

TEST_F(CopyToDeviceFrameTest, UnknownMemoryTypeIsReportedAndStillCopied)
{
    const stCopyCase c{TYX_NV_BUFFER_FORMAT_IYUV, 16, 8, 0, 32};
    const std::vector<uint8_t> src = PatternBytes(c.SrcSize(), 3);
    for (const bool i420 : {false, true}) {
        CLogCapture log;
        int32_t result = -99;
        EXPECT_EQ(Run(c, src, i420, 3, &result), c.Expected(src));
        EXPECT_EQ(result, 0);
        EXPECT_EQ(log.Count(L"Invalid source memory type(srcMemoryType=3) for copy(err=1)!", 2), 1);
        EXPECT_EQ(log.Count(L"Notify TYX main to quit for GPU Error!"), 1);
    }
}

TEST_F(CopyToDeviceFrameTest, GeneralCopyTriesEveryPlaneButReportsTheFailure)
{
    const stCopyCase c{TYX_NV_BUFFER_FORMAT_IYUV, 16, 8, 0, 32};
    const std::vector<uint8_t> src = PatternBytes(c.SrcSize(), 4);
    CLogCapture log;
    int32_t result = 0;
    EXPECT_EQ(Run(c, src, false, TYX_MEMORY_HOST, &result, {EDevFault::Memcpy, 0}), c.Expected(src, 1));
    EXPECT_EQ(result, -2);
    EXPECT_TRUE(log.Contains(L"Cuda Error(cudaErrorInvalidValue) while copying luma data to 2D!.", 3));

    log.Clear();
    EXPECT_EQ(Run(c, src, false, TYX_MEMORY_HOST, &result, {EDevFault::Context, 0}), c.Expected(src));
    EXPECT_EQ(result, -2);
    EXPECT_TRUE(log.Contains(L"in calling cuCtxPushCurrent(1-1)!", 3));
    EXPECT_FALSE(log.Contains(L"cuCtxPopCurrent")); // nothing was pushed, nothing is popped
}

TEST_F(CopyToDeviceFrameTest, I420CopyStopsAtTheFirstFailure)
{
    const stCopyCase c{TYX_NV_BUFFER_FORMAT_IYUV, 16, 8, 0, 32};
    const std::vector<uint8_t> src = PatternBytes(c.SrcSize(), 5);
    int32_t result = 0;
    {
        CLogCapture log;
        EXPECT_EQ(Run(c, src, true, TYX_MEMORY_HOST, &result, {EDevFault::Memcpy, 0}),
                  std::vector<uint8_t>(c.DstSize(), kUntouched));
        EXPECT_EQ(result, -2);
        EXPECT_TRUE(log.Contains(L"while copying luma data to 2D!.", 3));
        EXPECT_TRUE(log.Contains(L"]While pSrc=", 3));
        EXPECT_TRUE(log.Contains(L", WidthInBytes=16, Height=8.", 3));
    }
    {
        CLogCapture log;
        // Luma passes, U fails, V is never tried.
        EXPECT_EQ(Run(c, src, true, TYX_MEMORY_HOST, &result, {EDevFault::Memcpy, 1}), c.Expected(src, 0, 0));
        EXPECT_EQ(result, -2);
        EXPECT_TRUE(log.Contains(L"while copying chroma data(0) to 2D!.", 3));
        EXPECT_TRUE(log.Contains(L", WidthInBytes=8, Height=4.", 3));
    }
    {
        CLogCapture log;
        EXPECT_EQ(Run(c, src, true, TYX_MEMORY_HOST, &result, {EDevFault::Context, 0}),
                  std::vector<uint8_t>(c.DstSize(), kUntouched));
        EXPECT_EQ(result, -2);
        EXPECT_TRUE(log.Contains(L"in calling cuCtxPushCurrent!", 3));
    }
}

TEST_F(CopyToDeviceFrameTest, UnusableArgumentsAreRefused)
{
    uint8_t byte = 0;
    const uint32_t offsets[3] = {16, 20, 24};
    EXPECT_EQ(CTYXUtils::CopyToDeviceFrame(0, nullptr, 0, &byte, 4, 4, 4, TYX_MEMORY_HOST, offsets, 2), -1);
    EXPECT_EQ(CTYXUtils::CopyToDeviceFrame(0, &byte, 0, nullptr, 4, 4, 4, TYX_MEMORY_HOST, 0x100, offsets, 2), -1);
    EXPECT_EQ(CTYXUtils::CopyToDeviceFrame(0, &byte, 0, &byte, 4, 4, 4, TYX_MEMORY_HOST, 0x2, offsets, 2), -1);
    EXPECT_EQ(CTYXUtils::CopyToDeviceFrame(0, &byte, 0, &byte, 4, 4, 4, TYX_MEMORY_HOST, 0x100, offsets, 3), -1);
    EXPECT_EQ(CTYXUtils::CopyToDeviceFrame(0, &byte, 0, &byte, 4, 4, 4, TYX_MEMORY_HOST, nullptr, 2), -1);
}

class ScaleFrameGpuTest : public CContextCheckedTest
{
protected:

    static std::vector<uint8_t> Uniform(int32_t width, int32_t height, uint8_t y, uint8_t u, uint8_t v)
    {
        const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
        std::vector<uint8_t> picture(luma * 3 / 2, v);
        std::fill_n(picture.begin(), luma, y);
        std::fill_n(picture.begin() + static_cast<ptrdiff_t>(luma), luma / 4, u);
        return picture;
    }

    // The scaled bytes of a host or device result, which is then released.
    static std::vector<uint8_t> TakeResult(uint8_t *result, int32_t length, bool inDevice)
    {
        std::vector<uint8_t> bytes(static_cast<size_t>(length));
        EXPECT_EQ(DevMemcpy(bytes.data(), result, bytes.size(),
                            inDevice ? EGpuCopyKind::DeviceToHost : EGpuCopyKind::HostToHost),
                  GPU_SUCCESS);
        ReleaseFramePackageData(result, inDevice);
        return bytes;
    }
};

TEST_F(ScaleFrameGpuTest, FullHdToQuarterInBothResultMemories)
{
    const std::vector<uint8_t> source = Uniform(1920, 1080, 81, 90, 240);
    for (const bool resultInDevice : {false, true}) {
        uint8_t *result = nullptr;
        const int64_t deviceBefore = DevAllocationCounts().deviceBlocks;
        const int64_t hostBefore = FramePackageHostBlocks();
        ASSERT_EQ(CTYXUtils::ScaleFrameGPU(0, source.data(), 1920, 1080, 0, false, &result, 960, 540, resultInDevice),
                  777600);
        ASSERT_NE(result, nullptr);
        // Only the result is left: in the memory asked for, as package data.
        EXPECT_EQ(DevAllocationCounts().deviceBlocks, deviceBefore + (resultInDevice ? 1 : 0));
        EXPECT_EQ(FramePackageHostBlocks(), hostBefore + (resultInDevice ? 0 : 1));
        EXPECT_EQ(TakeResult(result, 777600, resultInDevice), Uniform(960, 540, 81, 90, 240));
    }
}

TEST_F(ScaleFrameGpuTest, SourcesAreReadAtTheirPitchFromEitherMemory)
{
    const int32_t width = 64;
    const int32_t height = 36;
    const int32_t pitch = 80;
    const std::vector<uint8_t> packed = PatternBytes(width * height * 3 / 2, 7);
    // The same picture with 80-byte luma rows and 40-byte chroma rows, its padding full of noise.
    std::vector<uint8_t> pitched = PatternBytes(pitch * height * 3 / 2, 8);
    CopyRows(pitched, 0, pitch, packed, 0, width, width, height);
    CopyRows(pitched, pitch * height, pitch / 2, packed, width * height, width / 2, width / 2, height / 2);
    CopyRows(pitched, pitch * height * 5 / 4, pitch / 2, packed, width * height * 5 / 4, width / 2, width / 2,
             height / 2);

    std::vector<uint8_t> reference(48 * 28 * 3 / 2);
    ASSERT_EQ(ScaleYuv420OnHost(reference.data(), reference.data() + 48 * 28, reference.data() + 48 * 28 * 5 / 4, 48,
                                24, 48, 28, packed.data(), packed.data() + width * height,
                                packed.data() + width * height * 5 / 4, width, width / 2, width, height),
              0);

    CDeviceBuffer devicePitched(pitched);
    uint8_t *result = nullptr;
    ASSERT_EQ(CTYXUtils::ScaleFrameGPU(0, pitched.data(), width, height, pitch, false, &result, 48, 28, false), 2016);
    EXPECT_EQ(TakeResult(result, 2016, false), reference);
    ASSERT_EQ(CTYXUtils::ScaleFrameGPU(0, devicePitched.Data(), width, height, pitch, true, &result, 48, 28, true),
              2016);
    EXPECT_EQ(TakeResult(result, 2016, true), reference);
}

// Capture sources and some files have odd sizes: their chroma planes are rounded up, in the source
// and in the result.
TEST_F(ScaleFrameGpuTest, OddSizesScaleWithRoundedUpChromaPlanes)
{
    struct stCase
    {
        int32_t srcWidth, srcHeight, width, height;
    };
    for (const stCase &c : {stCase{63, 37, 31, 17}, stCase{64, 36, 33, 19}, stCase{5, 3, 4, 2}, stCase{2, 2, 1, 1}}) {
        SCOPED_TRACE(testing::Message() << c.srcWidth << "x" << c.srcHeight << " -> " << c.width << "x" << c.height);
        const auto chromaOf = [](int32_t width, int32_t height) {
            return static_cast<size_t>((width + 1) / 2) * static_cast<size_t>((height + 1) / 2);
        };
        const size_t srcLuma = static_cast<size_t>(c.srcWidth) * c.srcHeight;
        const size_t srcChroma = chromaOf(c.srcWidth, c.srcHeight);
        const std::vector<uint8_t> source = PatternBytes(srcLuma + 2 * srcChroma, 11);
        const size_t luma = static_cast<size_t>(c.width) * c.height;
        const size_t chroma = chromaOf(c.width, c.height);
        std::vector<uint8_t> reference(luma + 2 * chroma);
        ASSERT_EQ(ScaleYuv420OnHost(reference.data(), reference.data() + luma, reference.data() + luma + chroma,
                                    c.width, (c.width + 1) / 2, c.width, c.height, source.data(),
                                    source.data() + srcLuma, source.data() + srcLuma + srcChroma, c.srcWidth,
                                    (c.srcWidth + 1) / 2, c.srcWidth, c.srcHeight),
                  0);
        for (const bool inDevice : {false, true}) {
            uint8_t *result = nullptr;
            const auto length = static_cast<int32_t>(reference.size());
            ASSERT_EQ(CTYXUtils::ScaleFrameGPU(0, source.data(), c.srcWidth, c.srcHeight, 0, false, &result, c.width,
                                               c.height, inDevice),
                      length);
            EXPECT_EQ(TakeResult(result, length, inDevice), reference);
        }
    }
}

TEST_F(ScaleFrameGpuTest, RefusalsAllocateNothing)
{
    const std::vector<uint8_t> source = Uniform(64, 36, 1, 2, 3);
    uint8_t *result = reinterpret_cast<uint8_t *>(&result); // any stale value is cleared
    CLogCapture log;
    EXPECT_EQ(CTYXUtils::ScaleFrameGPU(0, source.data(), 64, 36, 0, false, &result, 0, 540, false), -2);
    EXPECT_EQ(result, nullptr);
    EXPECT_TRUE(log.Contains(L"ScaleFrameGPU rejected with Scaled_width=0 Scaled_width=540!", 5));
    EXPECT_EQ(CTYXUtils::ScaleFrameGPU(0, source.data(), 0, 36, 0, false, &result, 32, 18, false), -1);
    EXPECT_TRUE(log.Contains(L"ScaleFrameGPU rejected with SrcWidth=0 SrcHeight=36, and nSrcPitch=0!", 5));
    EXPECT_EQ(CTYXUtils::ScaleFrameGPU(0, nullptr, 64, 36, 0, false, &result, 32, 18, false), -4);
    EXPECT_TRUE(log.Contains(L"ScaleFrameGPU rejected with pSrcFrame==NULL!", 5));
    EXPECT_EQ(CTYXUtils::ScaleFrameGPU(0, source.data(), 64, 36, 0, false, nullptr, 32, 18, false), -4);
    // A pitch below the width is no pitch.
    EXPECT_EQ(CTYXUtils::ScaleFrameGPU(0, source.data(), 64, 36, 60, false, &result, 32, 18, false), -1);
    EXPECT_EQ(CTYXUtils::ScaleFrameGPU(0, source.data(), 64, 36, 0, false, &result, 65534, 65534, false), -2);
    EXPECT_EQ(result, nullptr);
}

TEST_F(ScaleFrameGpuTest, EveryFailureReleasesWhatWasMade)
{
    const std::vector<uint8_t> source = Uniform(64, 36, 1, 2, 3);
    struct stFault
    {
        EDevFault fault;
        int32_t after;
        int32_t expected;
        const wchar_t *text;
    };
    const stFault faults[] = {
        {EDevFault::Malloc, 0, -1, L"cuMemAllocPitch failed with error=2[cudaErrorMemoryAllocation] and YPitch="},
        {EDevFault::Malloc, 1, -1, L"cuMemAllocPitch failed with error=2[cudaErrorMemoryAllocation]!"},
        {EDevFault::Malloc, 2, -1, L"device mem allocing[Size=864] failed with error=2!"},
        {EDevFault::Memcpy, 1, -3, L"while copying chroma data(0) to 2D!."},
        {EDevFault::Launch, 1, -3, L"occured in scaling kernel!"},
        {EDevFault::Memcpy, 3, -3, L"cudaMemcpy failed with error=1!"},
    };
    for (const stFault &f : faults) {
        SCOPED_TRACE(testing::Message() << "fault " << static_cast<int>(f.fault) << " after " << f.after);
        CLogCapture log;
        DevInjectFault(f.fault, 1, f.after);
        uint8_t *result = nullptr;
        EXPECT_EQ(CTYXUtils::ScaleFrameGPU(0, source.data(), 64, 36, 0, false, &result, 24, 24, false), f.expected);
        EXPECT_EQ(result, nullptr);
        EXPECT_TRUE(log.Contains(f.text, 3));
        DevInjectFault(f.fault, 0);
        EXPECT_EQ(DevAllocationCounts().deviceBlocks, DeviceBlocksAtStart());
    }
}

} // namespace
