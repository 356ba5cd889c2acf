#include "vproc/AnimateLoader.h"
#include "vproc/EmbeddedResource.h"

#include "ClipFiles.h"
#include "PictureTestUtils.h"
#include "support/LogCapture.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <gtest/gtest.h>

#include <array>
#include <latch>
#include <thread>

namespace {

stAnimateSource MemorySource(const std::vector<uint8_t> &clip)
{
    stAnimateSource source;
    source.pData = clip.data();
    source.length = static_cast<int64_t>(clip.size());
    return source;
}

stAnimateSource BuiltInClip()
{
    stAnimateSource source;
    source.resourceId = TYX_RES_ANIMATE_ID;
    source.resourceType = L"ANIMATE";
    return source;
}

std::array<uint8_t, 4> Pixel(const stAnimateFrame &frame, int32_t x, int32_t y)
{
    std::array<uint8_t, 4> rgba{};
    const size_t offset = (static_cast<size_t>(y) * frame.width + x) * 4;
    EXPECT_EQ(DevMemcpy(rgba.data(), frame.picture.Get() + offset, 4, EGpuCopyKind::DeviceToHost), GPU_SUCCESS);
    return rgba;
}

// The built-in clip is linked in whole: 1280 x 720 at 30 frames a second, time base 1/15360, 300
// frames stated.
TEST(AnimateLoaderTest, BuiltInClipIsEmbedded)
{
    CAnimateLoader loader;
    stOsgAnimate first;
    first.firstFrame = 1;
    first.lastFrame = 1;
    ASSERT_EQ(loader.LoadAnimate(BuiltInClip(), first), 1);
    EXPECT_EQ(first.width, 1280);
    EXPECT_EQ(first.height, 720);
    EXPECT_FLOAT_EQ(first.frameRate, 30.0f);
    const stAnimateFrame &frame = first.frames[0];
    EXPECT_EQ(frame.length, 1280 * 720 * 4);
    EXPECT_EQ(frame.durationMs, 33); // 512 ticks x 65 µs
    // Transparent top-left; the opaque progress bar starts at the bottom-left.
    EXPECT_EQ(Pixel(frame, 0, 0)[3], 0);
    EXPECT_EQ(Pixel(frame, 0, 719), (std::array<uint8_t, 4>{255, 255, 255, 255}));

    CLogCapture log;
    stOsgAnimate beyond;
    beyond.firstFrame = 1;
    beyond.lastFrame = 301;
    EXPECT_EQ(loader.LoadAnimate(BuiltInClip(), beyond), -64);
    EXPECT_TRUE(log.Contains(
        L"The OSG configred using frames from[1] to [301],but only [300] frames contains in media source file! Give up!", 3));
    EXPECT_TRUE(beyond.frames.empty());
}

// Decoding the whole clip takes half a minute under the sanitizers; the release build does it.
TEST(AnimateLoaderTest, BuiltInClipDecodesAll300Frames)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the whole built-in clip is decoded in the release build";
#endif
    CAnimateLoader loader;
    stOsgAnimate all;
    all.placement.scale = 0.1f;
    ASSERT_EQ(loader.LoadAnimate(BuiltInClip(), all), 300);
    EXPECT_EQ(all.width, 128);
    EXPECT_EQ(all.height, 72);
    for (const stAnimateFrame &frame : all.frames) {
        ASSERT_EQ(frame.durationMs, 33);
        ASSERT_TRUE(frame.picture);
    }
}

// The frames listed are those of the range: frame n of 6 has a progress bar of n x 10 columns. The
// clip is given in device memory, which the loader copies to the host first.
TEST(AnimateLoaderTest, FrameRangeChecks)
{
    const std::vector<uint8_t> clip = MakeClip(60, 20, 6);
    const CDvcBuffer device = DeviceCopy(clip);
    stAnimateSource onDevice = MemorySource(clip);
    onDevice.pData = device.Get();
    onDevice.inDevice = true;
    CAnimateLoader loader;
    stOsgAnimate item;
    item.firstFrame = 2;
    item.lastFrame = 4;
    ASSERT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &onDevice, item), 3);
    for (int32_t i = 0; i < 3; ++i) {
        const int32_t bar = 10 * (i + 2);
        EXPECT_EQ(Pixel(item.frames[i], bar - 1, 19)[3], 255) << i;
        EXPECT_EQ(Pixel(item.frames[i], bar, 19)[3], 0) << i;
    }

    const stAnimateSource source = MemorySource(clip);
    item.firstFrame = 5;
    item.lastFrame = 4;
    EXPECT_EQ(loader.LoadAnimate(BuiltInClip(), item), -1);
    EXPECT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, item), -1);
    EXPECT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, nullptr, item), -1);
    EXPECT_EQ(loader.LoadAnimate(4, &source, item), -1);
    EXPECT_EQ(item.frames.size(), 3u) << "a refused load leaves the item";
}

TEST(AnimateLoaderTest, ScaleOutsideZeroToOneKeepsTheClipSize)
{
    const std::vector<uint8_t> clip = MakeClip(64, 36, 4);
    const stAnimateSource source = MemorySource(clip);
    CAnimateLoader loader;
    for (float scale : {1.5f, 0.0f, 1.0f}) {
        stOsgAnimate item;
        item.placement.scale = scale;
        ASSERT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, item), 4) << scale;
        EXPECT_EQ(item.width, 64);
        EXPECT_EQ(item.height, 36);
    }
}

TEST(AnimateLoaderTest, PictureSizeLimit)
{
    const std::vector<uint8_t> clip = MakeClip(3840, 2160, 1);
    const stAnimateSource source = MemorySource(clip);
    CAnimateLoader loader;
    stOsgAnimate half;
    half.placement.scale = 0.5f;
    ASSERT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, half), 1);
    EXPECT_EQ(half.width, 1920);
    EXPECT_EQ(half.height, 1080);
    CLogCapture log;
    stOsgAnimate tooBig;
    tooBig.placement.scale = 0.6f;
    EXPECT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, tooBig), -32);
    EXPECT_TRUE(log.Contains(L"The OSG frame picture size is too large(W=2304,H=1296)! Give up!", 3));
}

TEST(AnimateLoaderTest, MemoryBlocksAreChecked)
{
    CAnimateLoader loader;
    CLogCapture log;
    bool inMemory = true;
    std::string path;
    stAnimateSource source;
    EXPECT_EQ(loader.PepareMediaSource(OSG_SOURCE_MEMORY, &source, inMemory, path), -1);
    EXPECT_TRUE(log.Contains(L"Failed to loading media data from specified (NULL) memory!", 3));
    const uint8_t byte = 0;
    source.pData = &byte;
    source.length = 0;
    EXPECT_EQ(loader.PepareMediaSource(OSG_SOURCE_MEMORY, &source, inMemory, path), -1);
    source.length = 268435457;
    EXPECT_EQ(loader.PepareMediaSource(OSG_SOURCE_MEMORY, &source, inMemory, path), -1);
    EXPECT_FALSE(inMemory);

    stAnimateSource resource;
    resource.resourceId = 106;
    resource.resourceType = L"ANIMATE";
    EXPECT_EQ(loader.PepareMediaSource(OSG_SOURCE_PREPARED, &resource, inMemory, path), -2);
    EXPECT_TRUE(log.Contains(L"Failed to loading media data from specified resource(ANIMATE:106) into memory!", 3));
    resource.resourceId = 0;
    EXPECT_EQ(loader.PepareMediaSource(OSG_SOURCE_PREPARED, &resource, inMemory, path), -1);
    resource.resourceId = 105;
    resource.resourceType = L"animate"; // resource types ignore case
    EXPECT_GT(loader.PepareMediaSource(OSG_SOURCE_PREPARED, &resource, inMemory, path), 0);
    EXPECT_TRUE(inMemory);
}

// A caller's host block is only borrowed for the load: once it returns, the loader reads it no more.
TEST(AnimateLoaderTest, BorrowedBlockIsLetGoAfterTheLoad)
{
    CAnimateLoader loader;
    {
        const std::vector<uint8_t> clip = MakeClip(32, 16, 2);
        const stAnimateSource source = MemorySource(clip);
        stOsgAnimate item;
        ASSERT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, item), 2);
    }
    stAnimateLoadSettings settings;
    settings.inMemory = true;
    stAnimateStreamInfo info;
    std::vector<stAnimateFrame> frames;
    EXPECT_EQ(loader.LoadFrames(settings, info, frames), -1);
}

TEST(AnimateLoaderTest, SourcesWithoutVideoOrUnreadable)
{
    stAnimClipSpec spec;
    spec.audioOnly = true;
    std::vector<uint8_t> audio;
    ASSERT_EQ(MakeAnimClip(spec, audio), 0);
    const stAnimateSource source = MemorySource(audio);
    CAnimateLoader loader;
    CLogCapture log;
    stOsgAnimate item;
    EXPECT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, item), -4);
    EXPECT_TRUE(log.Contains(L"There NO valid Video stream in the media-source!", 3));

    const std::vector<uint8_t> garbage(4096, 0x5A);
    const stAnimateSource bad = MemorySource(garbage);
    EXPECT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &bad, item), -4);
    EXPECT_TRUE(log.Contains(L"Failed fo open media source for loading animate[Error=", 3));

    EXPECT_EQ(loader.LoadAnimate(std::string("/nonexistent/clip.mov"), item), -4);
    EXPECT_EQ(loader.LoadAnimate(std::string(260, 'a'), item), -1);
    EXPECT_EQ(loader.LoadAnimate(std::string(), item), -1);
    stAnimateStreamInfo info;
    std::vector<stAnimateFrame> frames;
    EXPECT_EQ(loader.LoadFrames(stAnimateLoadSettings{}, info, frames), -1);
}

TEST(AnimateLoaderTest, FilesAndPictures)
{
    CTempDir dir;
    const std::string clipPath = WriteTestFile(dir, "clip.mov", MakeClip(40, 24, 6, true));
    CAnimateLoader loader;
    stOsgAnimate item;
    item.firstFrame = 2;
    item.lastFrame = 4;
    EXPECT_EQ(loader.LoadAnimate(clipPath, item), 3);

    const std::string picturePath = WriteTestFile(dir, "picture.png", MakePng(100, 50));
    stOsgPicture picture;
    EXPECT_EQ(loader.LoadPicture(picturePath, picture), 1);
    EXPECT_EQ(picture.width, 100);
    EXPECT_EQ(picture.height, 50);
    EXPECT_EQ(picture.rowLength, 400);
    EXPECT_TRUE(picture.image);
    stOsgPicture missing;
    EXPECT_EQ(loader.LoadPicture(dir.File("none.png").string(), missing), -4);
    EXPECT_FALSE(missing.image);
}

TEST(AnimateLoaderTest, FailedDeviceCopyFreesWhatWasMadeAndLeavesTheItem)
{
    const std::vector<uint8_t> clip = MakeClip(32, 16, 5);
    const stAnimateSource source = MemorySource(clip);
    CAnimateLoader loader;
    stOsgAnimate item;
    ASSERT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, item), 5);
    const stDevAllocationCounts before = DevAllocationCounts();
    stOsgAnimate other;
    CLogCapture log;
    DevInjectFault(EDevFault::Memcpy, 1);
    EXPECT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, other), -1024);
    EXPECT_TRUE(log.Contains(L"Failed(Err=", 2));
    EXPECT_TRUE(other.frames.empty());
    EXPECT_EQ(other.width, 0);
    EXPECT_EQ(DevAllocationCounts().deviceBlocks, before.deviceBlocks);
    EXPECT_EQ(item.frames.size(), 5u);
}

TEST(AnimateLoaderTest, MemoryReaderReadsAndSeeksInsideTheBlock)
{
    const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    stAnimateMemoryReader reader;
    uint8_t buffer[8] = {};
    EXPECT_EQ(AnimateMemoryRead(&reader, buffer, 4), -1);
    EXPECT_EQ(AnimateMemorySeek(&reader, 0, SEEK_SET), -1);
    reader.data = data;
    reader.size = 10;
    EXPECT_EQ(AnimateMemoryRead(&reader, buffer, 0), -1);
    EXPECT_EQ(AnimateMemoryRead(&reader, buffer, 8), 8);
    EXPECT_EQ(AnimateMemoryRead(&reader, buffer, 8), 2);
    EXPECT_EQ(buffer[1], 9);
    EXPECT_EQ(AnimateMemoryRead(&reader, buffer, 8), AVERROR_EOF);

    EXPECT_EQ(AnimateMemorySeek(&reader, 3, SEEK_SET), 0);
    EXPECT_EQ(reader.position, 3);
    EXPECT_EQ(AnimateMemorySeek(&reader, 11, SEEK_SET), -1);
    EXPECT_EQ(AnimateMemorySeek(&reader, -4, SEEK_CUR), -1);
    EXPECT_EQ(AnimateMemorySeek(&reader, 7, SEEK_CUR), 0);
    EXPECT_EQ(reader.position, 10);
    EXPECT_EQ(AnimateMemorySeek(&reader, -10, SEEK_END), 0);
    EXPECT_EQ(reader.position, 0);
    EXPECT_EQ(AnimateMemorySeek(&reader, 1, SEEK_END), -1);
    EXPECT_EQ(AnimateMemorySeek(&reader, -11, SEEK_END), -1);
    EXPECT_EQ(AnimateMemorySeek(&reader, 0, AVSEEK_SIZE), 10);
    EXPECT_EQ(AnimateMemorySeek(&reader, 0, AVSEEK_FORCE), 0);
    EXPECT_EQ(AnimateMemorySeek(&reader, 0, 77), -1);
}

// Loads on different loaders share no buffer or read position.
TEST(AnimateLoaderTest, ConcurrentLoadsStayApart)
{
    const std::vector<uint8_t> small = MakeClip(32, 16, 7);
    const std::vector<uint8_t> large = MakeClip(96, 48, 11);
    std::latch start(2);
    int32_t results[2] = {};
    uint16_t widths[2] = {};
    auto load = [&](int index, const std::vector<uint8_t> &clip) {
        CAnimateLoader loader;
        const stAnimateSource source = MemorySource(clip);
        start.arrive_and_wait();
        for (int round = 0; round < 5; ++round) {
            stOsgAnimate item;
            results[index] = loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, item);
            widths[index] = item.width;
        }
    };
    std::thread first(load, 0, std::cref(small));
    std::thread second(load, 1, std::cref(large));
    first.join();
    second.join();
    EXPECT_EQ(results[0], 7);
    EXPECT_EQ(results[1], 11);
    EXPECT_EQ(widths[0], 32);
    EXPECT_EQ(widths[1], 96);
}

} // namespace
