#include "vproc/AnimateLoader.h"
#include "vproc/EmbeddedResource.h"

#include "AnimClipMaker.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <latch>
#include <thread>

namespace {

std::vector<uint8_t> Clip(int32_t width, int32_t height, int32_t frames, bool timecode = false)
{
    stAnimClipSpec spec;
    spec.width = width;
    spec.height = height;
    spec.frames = frames;
    spec.timecode = timecode;
    std::vector<uint8_t> clip;
    EXPECT_EQ(MakeAnimClip(spec, clip), 0);
    return clip;
}

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

TEST(AnimateLoaderTest, BuiltInClipFramesOneTo250AtHalfSize)
{
    CAnimateLoader loader;
    stOsgAnimate item;
    item.firstFrame = 1;
    item.lastFrame = 250;
    item.placement.scale = 0.5f;
    ASSERT_EQ(loader.LoadAnimate(BuiltInClip(), item), 250);
    ASSERT_EQ(item.frames.size(), 250u);
    EXPECT_EQ(item.width, 640);
    EXPECT_EQ(item.height, 360);
    EXPECT_FLOAT_EQ(item.frameRate, 30.0f);
    EXPECT_EQ(item.bytesPerPixel, 4);
    for (const stAnimateFrame &frame : item.frames) {
        ASSERT_EQ(frame.width, 640);
        ASSERT_EQ(frame.height, 360);
        ASSERT_EQ(frame.length, 921600);
        ASSERT_EQ(frame.durationMs, 33); // 512 ticks x 65 µs
        ASSERT_TRUE(frame.picture);
    }
    // The first frame: transparent top-left, the opaque progress bar starts at the bottom-left.
    EXPECT_EQ(Pixel(item.frames[0], 0, 0)[3], 0);
    EXPECT_EQ(Pixel(item.frames[0], 0, 359), (std::array<uint8_t, 4>{255, 255, 255, 255}));
}

TEST(AnimateLoaderTest, BuiltInClipHas300FramesOf1280x720)
{
    CAnimateLoader loader;
    stOsgAnimate all;
    all.placement.scale = 0.1f;
    ASSERT_EQ(loader.LoadAnimate(BuiltInClip(), all), 300);
    EXPECT_EQ(all.width, 128);
    EXPECT_EQ(all.height, 72);

    stOsgAnimate last;
    last.firstFrame = 299;
    last.lastFrame = 300;
    ASSERT_EQ(loader.LoadAnimate(BuiltInClip(), last), 2);
    EXPECT_EQ(last.frames[1].width, 1280);
    EXPECT_EQ(last.frames[1].height, 720);
    EXPECT_EQ(last.frames[1].length, 1280 * 720 * 4);
    // The last frame's progress bar reaches the right edge.
    EXPECT_EQ(Pixel(last.frames[1], 1279, 719)[3], 255);
    EXPECT_EQ(Pixel(last.frames[0], 1279, 719)[3], 0);
}

TEST(AnimateLoaderTest, FrameRangeChecks)
{
    CAnimateLoader loader;
    CLogCapture log;
    stOsgAnimate item;
    item.firstFrame = 1;
    item.lastFrame = 301;
    EXPECT_EQ(loader.LoadAnimate(BuiltInClip(), item), -64);
    EXPECT_TRUE(log.Contains(
        L"The OSG configred using frames from[1] to [301],but only [300] frames contains in media source file! Give up!", 3));
    EXPECT_TRUE(item.frames.empty());

    item.firstFrame = 5;
    item.lastFrame = 4;
    EXPECT_EQ(loader.LoadAnimate(BuiltInClip(), item), -1);
    const std::vector<uint8_t> clip = Clip(32, 18, 3);
    const stAnimateSource source = MemorySource(clip);
    EXPECT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, item), -1);
    EXPECT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, nullptr, item), -1);
    EXPECT_EQ(loader.LoadAnimate(4, &source, item), -1);
}

TEST(AnimateLoaderTest, ScaleOutsideZeroToOneKeepsTheClipSize)
{
    const std::vector<uint8_t> clip = Clip(64, 36, 4);
    const stAnimateSource source = MemorySource(clip);
    CAnimateLoader loader;
    for (float scale : {1.5f, 0.0f, 1.0f}) {
        stOsgAnimate item;
        item.placement.scale = scale;
        ASSERT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, item), 4) << scale;
        EXPECT_EQ(item.width, 64);
        EXPECT_EQ(item.height, 36);
        EXPECT_EQ(item.frames[0].durationMs, 33);
    }
}

TEST(AnimateLoaderTest, PictureSizeLimit)
{
    const std::vector<uint8_t> clip = Clip(3840, 2160, 1);
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
        const std::vector<uint8_t> clip = Clip(32, 16, 2);
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

TEST(AnimateLoaderTest, DeviceBlockIsCopiedToTheHost)
{
    const std::vector<uint8_t> clip = Clip(48, 32, 3);
    void *device = nullptr;
    ASSERT_EQ(DevMalloc(&device, clip.size()), GPU_SUCCESS);
    ASSERT_EQ(DevMemcpy(device, clip.data(), clip.size(), EGpuCopyKind::HostToDevice), GPU_SUCCESS);
    stAnimateSource source;
    source.pData = device;
    source.length = static_cast<int64_t>(clip.size());
    source.inDevice = true;
    CAnimateLoader loader;
    stOsgAnimate item;
    EXPECT_EQ(loader.LoadAnimate(OSG_SOURCE_MEMORY, &source, item), 3);
    EXPECT_EQ(item.width, 48);
    DevFree(device);
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
    const std::vector<uint8_t> clip = Clip(40, 24, 6, true);
    const std::string clipPath = dir.File("clip.mov").string();
    std::ofstream(clipPath, std::ios::binary).write(reinterpret_cast<const char *>(clip.data()),
                                                    static_cast<std::streamsize>(clip.size()));
    CAnimateLoader loader;
    stOsgAnimate item;
    item.firstFrame = 2;
    item.lastFrame = 4;
    EXPECT_EQ(loader.LoadAnimate(clipPath, item), 3);

    std::vector<uint8_t> png;
    ASSERT_EQ(MakePngPicture(100, 50, png), 0);
    const std::string picturePath = dir.File("picture.png").string();
    std::ofstream(picturePath, std::ios::binary).write(reinterpret_cast<const char *>(png.data()),
                                                       static_cast<std::streamsize>(png.size()));
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
    const std::vector<uint8_t> clip = Clip(32, 16, 5);
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
    const std::vector<uint8_t> small = Clip(32, 16, 7);
    const std::vector<uint8_t> large = Clip(96, 48, 11);
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
