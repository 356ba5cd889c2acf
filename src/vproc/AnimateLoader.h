#pragma once

// Turns a media clip or a still picture into the frames of a graphics item: demuxes and decodes it
// with FFmpeg, scales each chosen frame to RGBA and copies every picture into device memory, where
// the graphics drawer blends it onto the video. The clip comes from a file, a memory block (host or
// device memory) or a resource of the program.
//
// Each loader keeps its own in-memory source, and one load at a time runs on it; loads on different
// loaders never share a buffer or a read position.

#include "vproc/OsgItem.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct stAnimateLoadSettings
{
    bool inMemory = false; // read the loader's prepared memory block instead of the path
    std::string path;      // UTF-8
    int32_t firstFrame = 0; // 1-based; 0 no limit
    int32_t lastFrame = 0;
    int32_t dstPixelFormat = -1; // -1: RGBA
    float scale = 1.0f;          // applied when in (0, 1)
};

struct stAnimateStreamInfo
{
    uint16_t width = 0;
    uint16_t height = 0;
    float frameRate = 0.0f;
    int32_t pixelFormat = -1;
    int32_t bytesPerPixel = 4;
    int64_t statedFrames = 0; // the stream's own frame count, 0 when it states none
};

// The custom I/O over an in-memory source: one reader per load.
struct stAnimateMemoryReader
{
    const uint8_t *data = nullptr;
    int64_t size = 0;
    int64_t position = 0;
};
// FFmpeg read callback: bytes copied, the end-of-file error at the end, -1 without data or room.
int AnimateMemoryRead(void *reader, uint8_t *buffer, int size);
// FFmpeg seek callback: 0 for a seek inside the block, the length for a size query, -1 otherwise.
int64_t AnimateMemorySeek(void *reader, int64_t offset, int whence);

class CAnimateLoader
{
public:
    CAnimateLoader() = default;
    CAnimateLoader(const CAnimateLoader &) = delete;
    CAnimateLoader &operator=(const CAnimateLoader &) = delete;

    // Prepares the source: its length for memory and resource sources (inMemory set), 0 for a file
    // (path copied out), or a negative code.
    int32_t PepareMediaSource(int32_t kind, const stAnimateSource *source, bool &inMemory, std::string &path);
    // Decodes; the number of frames listed, or a negative code (frames already listed stay).
    int32_t LoadFrames(const stAnimateLoadSettings &settings, stAnimateStreamInfo &info,
                       std::vector<stAnimateFrame> &frames);
    // Loads the item's frame range at its scale; the frame count, or a negative code with the item
    // unchanged.
    int32_t LoadAnimate(int32_t kind, const stAnimateSource *source, stOsgAnimate &item);
    // Path form (kind 1) and resource form (kind 3), checked first.
    int32_t LoadAnimate(const std::string &path, stOsgAnimate &item);
    int32_t LoadAnimate(const stAnimateSource &resource, stOsgAnimate &item);
    // One RGBA picture from a file; 1, or a negative code with the item unchanged.
    int32_t LoadPicture(const std::string &path, stOsgPicture &item);

private:
    int32_t PrepareLocked(int32_t kind, const stAnimateSource *source, bool &inMemory, std::string &path);
    int32_t LoadFramesLocked(const stAnimateLoadSettings &settings, stAnimateStreamInfo &info,
                             std::vector<stAnimateFrame> &frames);
    void ReleaseBlock();

    std::recursive_mutex m_mutex;
    std::vector<uint8_t> m_ownedBlock; // a resource copy or a host copy of a device block
    const uint8_t *m_block = nullptr;  // the block the custom I/O reads (owned or borrowed)
    size_t m_blockSize = 0;
};
