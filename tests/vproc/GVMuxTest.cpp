#include "vproc/GVMux.h"

#include "PictureTestUtils.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

constexpr size_t kGuard = 4096;
constexpr uint8_t kGuardByte = 0x5A;

// A device canvas with guard bytes on both sides, cleared to black.
class CGuardedCanvas
{
public:
    CGuardedCanvas(int width, int height) : m_size(static_cast<size_t>(width) * height * 3 / 2)
    {
        std::vector<uint8_t> bytes(m_size + 2 * kGuard, kGuardByte);
        std::fill_n(bytes.begin() + kGuard, static_cast<size_t>(width) * height, 0);
        std::fill(bytes.begin() + kGuard + static_cast<ptrdiff_t>(width) * height, bytes.end() - kGuard, 128);
        m_block = DeviceCopy(bytes);
    }

    uint8_t *Data() const { return m_block.Get() + kGuard; }
    std::vector<uint8_t> Canvas() const
    {
        const std::vector<uint8_t> all = Download(m_block);
        return {all.begin() + kGuard, all.end() - kGuard};
    }
    bool GuardsIntact() const
    {
        const std::vector<uint8_t> all = Download(m_block);
        return std::all_of(all.begin(), all.begin() + kGuard, [](uint8_t b) { return b == kGuardByte; }) &&
               std::all_of(all.end() - kGuard, all.end(), [](uint8_t b) { return b == kGuardByte; });
    }

private:
    size_t m_size;
    CDvcBuffer m_block;
};

// One source picture in device memory and its entry.
struct stSource
{
    std::vector<uint8_t> bytes;
    CDvcBuffer block;
    stMuxInputData entry;
};

stSource MakeSource(int width, int height, uint32_t seed, int left, int top, uint8_t kind = 1)
{
    stSource s;
    s.bytes = NoiseI420(width, height, seed);
    s.block = DeviceCopy(s.bytes);
    s.entry.srcWidth = static_cast<uint16_t>(width);
    s.entry.srcHeight = static_cast<uint16_t>(height);
    s.entry.winWidth = static_cast<uint16_t>(width);
    s.entry.winHeight = static_cast<uint16_t>(height);
    s.entry.srcLength = static_cast<int32_t>(s.bytes.size());
    s.entry.source = s.block.Get();
    s.entry.srcInDevice = 1;
    s.entry.kind = kind;
    s.entry.left = static_cast<uint16_t>(left);
    s.entry.top = static_cast<uint16_t>(top);
    return s;
}

std::vector<stMuxInputData> Entries(const std::vector<stSource> &sources)
{
    std::vector<stMuxInputData> entries;
    for (const stSource &s : sources)
        entries.push_back(s.entry);
    return entries;
}

// The canvas that the windows make over base, each copied whole in entry order.
std::vector<uint8_t> Composed(std::vector<uint8_t> base, int W, int H, const std::vector<stSource> &sources)
{
    for (const stSource &s : sources)
        PasteI420(base, W, H, s.bytes, s.entry.left, s.entry.top, s.entry.srcWidth, s.entry.srcHeight);
    return base;
}

std::vector<uint8_t> Black(int W, int H)
{
    return SolidI420(W, H, 0, 128, 128);
}

TEST(GVMuxTest, ArgumentsAreChecked)
{
    stSource s = MakeSource(32, 16, 1, 0, 0);
    CGuardedCanvas canvas(64, 32);
    EXPECT_EQ(MuxFrames(0, &s.entry, 64, 32, canvas.Data(), true), -1);
    EXPECT_EQ(MuxFrames(1, nullptr, 64, 32, canvas.Data(), true), -1);
    EXPECT_EQ(MuxFrames(1, &s.entry, 0, 32, canvas.Data(), true), -1);
    EXPECT_EQ(MuxFrames(1, &s.entry, 64, 32, nullptr, true), -1);
    EXPECT_EQ(MuxFrames(1, &s.entry, 64, 32, canvas.Data(), false), -1) << "the canvas must be device memory";
}

TEST(GVMuxTest, FullCanvasWindowAloneIsOneCopyWithoutKernel)
{
    stSource background = MakeSource(128, 64, 2, 0, 0, 0);
    CGuardedCanvas canvas(128, 64);
    DevInjectFault(EDevFault::Launch, 1); // a launch would fail
    EXPECT_EQ(MuxFrames(1, &background.entry, 128, 64, canvas.Data(), true), 128 * 64 * 3 / 2);
    DevInjectFault(EDevFault::Launch, 0);
    EXPECT_EQ(canvas.Canvas(), background.bytes);

    background.entry.srcLength += 1;
    EXPECT_EQ(MuxFrames(1, &background.entry, 128, 64, canvas.Data(), true), -8);

    // A background in host memory is copied up.
    background.entry.srcLength -= 1;
    background.entry.source = background.bytes.data();
    background.entry.srcInDevice = 0;
    CGuardedCanvas other(128, 64);
    EXPECT_EQ(MuxFrames(1, &background.entry, 128, 64, other.Data(), true), 128 * 64 * 3 / 2);
    EXPECT_EQ(other.Canvas(), background.bytes);
}

TEST(GVMuxTest, WindowsGoOverTheBackgroundAndHostSourcesAreCopiedUp)
{
    std::vector<stSource> sources;
    sources.push_back(MakeSource(256, 128, 3, 0, 0, 0));
    sources.push_back(MakeSource(64, 32, 4, 16, 8));
    sources.push_back(MakeSource(96, 64, 5, 144, 60));
    sources[2].entry.source = sources[2].bytes.data();
    sources[2].entry.srcInDevice = 0;
    std::vector<stMuxInputData> entries = Entries(sources);
    CGuardedCanvas canvas(256, 128);
    const int64_t before = DevAllocationCounts().deviceBlocks;
    EXPECT_EQ(MuxFrames(3, entries.data(), 256, 128, canvas.Data(), true), 256 * 128 * 3 / 2);
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, before) << "temporary copies are freed";
    ExpectSameI420(canvas.Canvas(), Composed(Black(256, 128), 256, 128, sources), 256, 128);
}

TEST(GVMuxTest, WindowWidthNotAMultipleOf16CopiesWholeWords)
{
    stSource s = MakeSource(40, 8, 7, 16, 4);
    CGuardedCanvas canvas(128, 16);
    ASSERT_GT(MuxFrames(1, &s.entry, 128, 16, canvas.Data(), true), 0);
    const std::vector<uint8_t> result = canvas.Canvas();
    for (int x = 0; x < 40; ++x)
        EXPECT_EQ(I420At(result, 128, 16, EPlane::Y, 16 + x, 4), I420At(s.bytes, 40, 8, EPlane::Y, x, 0)) << x;
    EXPECT_EQ(I420At(result, 128, 16, EPlane::Y, 56, 4), 0);
    // Chroma lines are 20 samples: two words go, the last 4 samples stay black.
    for (int x = 0; x < 16; ++x)
        EXPECT_EQ(I420At(result, 128, 16, EPlane::U, 8 + x, 2), I420At(s.bytes, 40, 8, EPlane::U, x, 0)) << x;
    for (int x = 16; x < 20; ++x)
        EXPECT_EQ(I420At(result, 128, 16, EPlane::U, 8 + x, 2), 128) << x;
}

TEST(GVMuxTest, CanvasWidthNotAMultipleOf16)
{
    // 1366 columns put most lines off 8-byte alignment.
    std::vector<stSource> sources;
    sources.push_back(MakeSource(320, 20, 8, 0, 0));
    sources.push_back(MakeSource(320, 24, 9, 336, 4));
    sources.push_back(MakeSource(640, 36, 10, 720, 28));
    std::vector<stMuxInputData> entries = Entries(sources);
    CGuardedCanvas canvas(1366, 64);
    ASSERT_EQ(MuxFrames(3, entries.data(), 1366, 64, canvas.Data(), true), 1366 * 64 * 3 / 2);
    EXPECT_TRUE(canvas.GuardsIntact());
    ExpectSameI420(canvas.Canvas(), Composed(Black(1366, 64), 1366, 64, sources), 1366, 64);
}

TEST(GVMuxTest, WindowsReachingPastTheCanvasAreClipped)
{
    stSource s = MakeSource(64, 32, 11, 96, 48);
    CGuardedCanvas canvas(128, 64);
    ASSERT_GT(MuxFrames(1, &s.entry, 128, 64, canvas.Data(), true), 0);
    EXPECT_TRUE(canvas.GuardsIntact());
    const std::vector<uint8_t> result = canvas.Canvas();
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(I420At(result, 128, 64, EPlane::Y, 96 + x, 48 + y), I420At(s.bytes, 64, 32, EPlane::Y, x, y));
        // Nothing wraps into the start of the next line.
        if (y + 49 < 64) {
            ASSERT_EQ(I420At(result, 128, 64, EPlane::Y, 0, 49 + y), 0);
        }
    }
    for (int y = 0; y < 8; ++y)
        EXPECT_EQ(I420At(result, 128, 64, EPlane::U, 63, 24 + y), I420At(s.bytes, 64, 32, EPlane::U, 15, y));
    EXPECT_EQ(result[128 * 64 + 0], 128) << "U plane start untouched";
}

TEST(GVMuxTest, MoreWindowsThanOneLaunchCarries)
{
    std::vector<stSource> sources;
    for (int i = 0; i < 40; ++i)
        sources.push_back(MakeSource(32, 8, 100 + static_cast<uint32_t>(i), i % 10 * 32, i / 10 * 8));
    std::vector<stMuxInputData> entries = Entries(sources);
    CGuardedCanvas canvas(320, 32);
    ASSERT_EQ(MuxFrames(40, entries.data(), 320, 32, canvas.Data(), true), 320 * 32 * 3 / 2);
    ExpectSameI420(canvas.Canvas(), Composed(Black(320, 32), 320, 32, sources), 320, 32);
}

TEST(GVMuxTest, ShortSourcesAreLeftOut)
{
    stSource s = MakeSource(64, 32, 12, 0, 0);
    s.entry.srcLength -= 1;
    CGuardedCanvas canvas(128, 64);
    CLogCapture log;
    EXPECT_EQ(MuxFrames(1, &s.entry, 128, 64, canvas.Data(), true), 128 * 64 * 3 / 2);
    EXPECT_TRUE(log.Contains(L"Mux window[0] skipped: source length(3071) is short of its size(W=64, H=32)!", 3));
    const std::vector<uint8_t> result = canvas.Canvas();
    EXPECT_EQ(I420At(result, 128, 64, EPlane::Y, 0, 0), 0);
}

TEST(GVMuxTest, GpuFailuresAreReported)
{
    stSource s = MakeSource(64, 32, 13, 0, 0);
    CGuardedCanvas canvas(128, 64);
    CLogCapture log;
    DevInjectFault(EDevFault::Launch, 1);
    EXPECT_EQ(MuxFrames(1, &s.entry, 128, 64, canvas.Data(), true), TYX_MUX_GPU_FAILED);
    EXPECT_TRUE(log.Contains(L"Cuda error(719) got after muxing!", 2));

    s.entry.source = s.bytes.data();
    s.entry.srcInDevice = 0;
    const int64_t before = DevAllocationCounts().deviceBlocks;
    DevInjectFault(EDevFault::Malloc, 1);
    EXPECT_EQ(MuxFrames(1, &s.entry, 128, 64, canvas.Data(), true), TYX_MUX_GPU_FAILED);
    EXPECT_TRUE(log.Contains(L"Failed(Err=2) while alloc cuda memory!", 2));
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, before);
}

// No test canvas is taller than one block of lines; the shape must still cover every line.
TEST(GVMuxTest, LaunchShapeCoversTheTallestWindow)
{
    for (uint32_t height : {1u, 268u, 1024u, 1025u, 2160u}) {
        stDim3 grid;
        stDim3 block;
        MuxLaunchShape(height, 9, grid, block);
        EXPECT_LE(block.x, 1024u) << height;
        EXPECT_GE(grid.x * block.x, height) << height;
        EXPECT_EQ(grid.y, 9u) << height;
    }
}

} // namespace
