#include "vproc/GVSplit.h"

#include "PictureTestUtils.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

stSplitOutput Output(int left, int top, int width, int height)
{
    stSplitOutput out;
    out.left = static_cast<uint16_t>(left);
    out.top = static_cast<uint16_t>(top);
    out.width = static_cast<uint16_t>(width);
    out.height = static_cast<uint16_t>(height);
    out.used = 1;
    return out;
}

void FreePictures(std::vector<stSplitOutput> &outputs)
{
    for (stSplitOutput &out : outputs) {
        EXPECT_EQ(DevFree(out.picture), GPU_SUCCESS);
        out.picture = nullptr;
    }
}

class GVSplitTest : public testing::Test
{
protected:
    static constexpr int kWidth = 256;
    static constexpr int kHeight = 128;

    GVSplitTest() : m_bytes(NoiseI420(kWidth, kHeight, 21)), m_block(DeviceCopy(m_bytes))
    {
        m_source.width = kWidth;
        m_source.height = kHeight;
        m_source.picture = m_block.Get();
        m_source.length = static_cast<int32_t>(m_bytes.size());
    }

    uint8_t At(EPlane plane, int x, int y) const { return I420At(m_bytes, kWidth, kHeight, plane, x, y); }

    // The output holds its part of the source.
    void ExpectBlock(const stSplitOutput &out) const
    {
        ASSERT_NE(out.picture, nullptr);
        ASSERT_EQ(out.length, out.width * out.height * 3 / 2);
        std::vector<uint8_t> bytes(static_cast<size_t>(out.length));
        ASSERT_EQ(DevMemcpy(bytes.data(), out.picture, bytes.size(), EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
        ExpectSameI420(bytes, CropI420(m_bytes, kWidth, kHeight, out.left, out.top, out.width, out.height), out.width,
                       out.height);
    }

    std::vector<uint8_t> m_bytes;
    CDvcBuffer m_block;
    stSrcFrameInfo m_source;
};

// Widths and places that are not multiples of 16 are copied whole.
TEST_F(GVSplitTest, OutputsHoldTheirPartOfTheSource)
{
    std::vector<stSplitOutput> outputs = {Output(16, 8, 32, 16), Output(0, 0, 256, 128), Output(200, 100, 40, 22),
                                          Output(3, 5, 42, 18), Output(17, 2, 6, 4)};
    CLogCapture log;
    ASSERT_EQ(SplitFrame(&m_source, 5, outputs.data()), 5);
    for (const stSplitOutput &out : outputs)
        ExpectBlock(out);
    EXPECT_TRUE(log.Contains(L"SplitFrame() used time: Prepare=", 8));
    FreePictures(outputs);
}

TEST_F(GVSplitTest, OutputsOutsideTheSourceGetNoPicture)
{
    std::vector<stSplitOutput> outputs = {Output(240, 0, 32, 16), Output(0, 0, 64, 32), Output(0, 120, 16, 16),
                                          Output(0, 0, 0, 16)};
    outputs[0].picture = reinterpret_cast<uint8_t *>(0x10); // stale values are cleared
    ASSERT_EQ(SplitFrame(&m_source, 4, outputs.data()), 1);
    EXPECT_EQ(outputs[0].picture, nullptr);
    EXPECT_EQ(outputs[0].length, 0);
    EXPECT_EQ(outputs[2].picture, nullptr);
    EXPECT_EQ(outputs[3].picture, nullptr);
    ExpectBlock(outputs[1]);
    FreePictures(outputs);

    CLogCapture log;
    std::vector<stSplitOutput> none = {Output(250, 0, 16, 16)};
    EXPECT_EQ(SplitFrame(&m_source, 1, none.data()), -2);
    EXPECT_TRUE(log.Contains(L"Splitting gived up for no valid output!", 3));
}

TEST_F(GVSplitTest, ArgumentsAreChecked)
{
    CLogCapture log;
    std::vector<stSplitOutput> outputs = {Output(0, 0, 16, 16)};
    EXPECT_EQ(SplitFrame(&m_source, 0, outputs.data()), -1);
    EXPECT_EQ(SplitFrame(&m_source, 1, nullptr), -1);
    EXPECT_EQ(SplitFrame(nullptr, 1, outputs.data()), -1);
    stSrcFrameInfo empty = m_source;
    empty.picture = nullptr;
    EXPECT_EQ(SplitFrame(&empty, 1, outputs.data()), -1);
    stSrcFrameInfo shortSource = m_source;
    shortSource.length -= 1;
    EXPECT_EQ(SplitFrame(&shortSource, 1, outputs.data()), -1) << "a source shorter than its size is not read";
    EXPECT_EQ(log.Count(L"Splitting rejected for invalid input arguments!", 3), 5);
}

TEST_F(GVSplitTest, PitchedAndHostSources)
{
    // The same picture with lines of 320 and chroma lines of 200 bytes.
    const int pitch = 320;
    const int chromaPitch = 200;
    std::vector<uint8_t> pitched(static_cast<size_t>(pitch) * kHeight + 2 * chromaPitch * (kHeight / 2), 0);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x)
            pitched[static_cast<size_t>(y) * pitch + x] = At(EPlane::Y, x, y);
    }
    for (int y = 0; y < kHeight / 2; ++y) {
        for (int x = 0; x < kWidth / 2; ++x) {
            pitched[static_cast<size_t>(pitch) * kHeight + y * chromaPitch + x] = At(EPlane::U, x, y);
            pitched[static_cast<size_t>(pitch) * kHeight + chromaPitch * (kHeight / 2) + y * chromaPitch + x] =
                At(EPlane::V, x, y);
        }
    }
    stSrcFrameInfo info = m_source;
    info.lumaPitch = pitch;
    info.chromaPitch = chromaPitch;
    info.picture = pitched.data();
    info.length = static_cast<int32_t>(pitched.size());
    info.memoryType = 0;
    const int64_t before = DevAllocationCounts().deviceBlocks;
    std::vector<stSplitOutput> outputs = {Output(32, 16, 64, 32)};
    ASSERT_EQ(SplitFrame(&info, 1, outputs.data()), 1);
    ExpectBlock(outputs[0]);
    FreePictures(outputs);
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, before);
}

TEST_F(GVSplitTest, FailedCopyLeavesNoPictures)
{
    const int64_t before = DevAllocationCounts().deviceBlocks;
    CLogCapture log;
    std::vector<stSplitOutput> outputs = {Output(0, 0, 32, 16), Output(32, 0, 32, 16)};
    DevInjectFault(EDevFault::Launch, 1);
    EXPECT_EQ(SplitFrame(&m_source, 2, outputs.data()), TYX_SPLIT_GPU_FAILED);
    EXPECT_TRUE(log.Contains(L"Cuda error(719) got after splitting!", 2));
    EXPECT_EQ(outputs[0].picture, nullptr);
    EXPECT_EQ(outputs[1].picture, nullptr);
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, before);

    // One picture that cannot be allocated: the other output is still made.
    DevInjectFault(EDevFault::Malloc, 1);
    EXPECT_EQ(SplitFrame(&m_source, 2, outputs.data()), 1);
    EXPECT_EQ(outputs[0].picture, nullptr);
    ExpectBlock(outputs[1]);
    FreePictures(outputs);
}

} // namespace
