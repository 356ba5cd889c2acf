#include "core/NvBufferFormat.h"

#include <gtest/gtest.h>

namespace {

struct stFormatCase
{
    uint32_t format;
    uint32_t widthInBytes;   // of width 1919
    uint32_t chromaPlanes;
    uint32_t chromaPitch;    // of pitch 2049
    uint32_t chromaHeight;   // of height 1081
    uint32_t chromaWidth;    // of width 1919
};

TEST(NvBufferFormatTest, PlaneGeometryOfEveryFormat)
{
    const stFormatCase cases[] = {
        {TYX_NV_BUFFER_FORMAT_NV12, 1919, 1, 2049, 541, 1919},
        {TYX_NV_BUFFER_FORMAT_YV12, 1919, 2, 1025, 541, 960},
        {TYX_NV_BUFFER_FORMAT_IYUV, 1919, 2, 1025, 541, 960},
        {TYX_NV_BUFFER_FORMAT_YUV444, 1919, 2, 2049, 1081, 1919},
        {TYX_NV_BUFFER_FORMAT_YUV420_10BIT, 3838, 1, 2049, 541, 3838},
        {TYX_NV_BUFFER_FORMAT_YUV444_10BIT, 3838, 2, 2049, 1081, 3838},
        {TYX_NV_BUFFER_FORMAT_ARGB, 7676, 0, 0, 0, 0},
        {TYX_NV_BUFFER_FORMAT_ARGB10, 7676, 0, 0, 0, 0},
        {TYX_NV_BUFFER_FORMAT_AYUV, 7676, 0, 0, 0, 0},
        {TYX_NV_BUFFER_FORMAT_ABGR, 7676, 0, 0, 0, 0},
        {TYX_NV_BUFFER_FORMAT_ABGR10, 7676, 0, 0, 0, 0},
    };
    for (const stFormatCase &c : cases) {
        SCOPED_TRACE(testing::Message() << "format 0x" << std::hex << c.format);
        EXPECT_TRUE(IsKnownNvBufferFormat(c.format));
        EXPECT_EQ(NvBufferWidthInBytes(c.format, 1919), c.widthInBytes);
        EXPECT_EQ(NvBufferNumChromaPlanes(c.format), c.chromaPlanes);
        EXPECT_EQ(NvBufferChromaPitch(c.format, 2049), c.chromaPitch);
        EXPECT_EQ(NvBufferChromaHeight(c.format, 1081), c.chromaHeight);
        EXPECT_EQ(NvBufferChromaWidthInBytes(c.format, 1919), c.chromaWidth);
        const auto offsets = NvBufferChromaSubPlaneOffsets(c.format, 2048, 1080);
        ASSERT_TRUE(offsets.has_value());
        EXPECT_EQ(offsets->size(), c.chromaPlanes);
    }
}

TEST(NvBufferFormatTest, ChromaPlaneOffsets)
{
    EXPECT_EQ(NvBufferChromaSubPlaneOffsets(TYX_NV_BUFFER_FORMAT_IYUV, 1920, 1080),
              (std::vector<uint32_t>{1920 * 1080, 1920 * 1080 + 960 * 540}));
    // Odd sizes round the chroma plane up.
    EXPECT_EQ(NvBufferChromaSubPlaneOffsets(TYX_NV_BUFFER_FORMAT_YV12, 33, 17),
              (std::vector<uint32_t>{33 * 17, 33 * 17 + 17 * 9}));
    EXPECT_EQ(NvBufferChromaSubPlaneOffsets(TYX_NV_BUFFER_FORMAT_NV12, 2048, 1080), (std::vector<uint32_t>{2048 * 1080}));
    EXPECT_EQ(NvBufferChromaSubPlaneOffsets(TYX_NV_BUFFER_FORMAT_YUV444, 64, 10), (std::vector<uint32_t>{640, 1280}));
    EXPECT_EQ(NvBufferChromaSubPlaneOffsets(TYX_NV_BUFFER_FORMAT_YUV444_10BIT, 128, 10),
              (std::vector<uint32_t>{1280, 2560}));
}

TEST(NvBufferFormatTest, UnknownFormatsHaveNoGeometry)
{
    for (const uint32_t format : {0u, 0x2u, 0x100001u, 0x8000000u}) {
        EXPECT_FALSE(IsKnownNvBufferFormat(format));
        EXPECT_FALSE(NvBufferWidthInBytes(format, 16).has_value());
        EXPECT_FALSE(NvBufferNumChromaPlanes(format).has_value());
        EXPECT_FALSE(NvBufferChromaPitch(format, 16).has_value());
        EXPECT_FALSE(NvBufferChromaHeight(format, 16).has_value());
        EXPECT_FALSE(NvBufferChromaWidthInBytes(format, 16).has_value());
        EXPECT_FALSE(NvBufferChromaSubPlaneOffsets(format, 16, 16).has_value());
    }
}

} // namespace
