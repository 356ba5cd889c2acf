#pragma once

#include "platform/CriticalSection.h"

#include <cstddef>
#include <cstdint>
#include <deque>

struct stColorYuv;

// Everything that moves between workers: one coded packet, one decoded picture (host or GPU memory),
// one block of raw audio, or a source status code without data. Packages travel by value; their data
// has exactly one owner at a time (the producer, then the queue, then the consumer that takes it).

constexpr int64_t TYX_NOPTS_VALUE = INT64_MIN; // FFmpeg's value for an absent time stamp

// Package kinds.
constexpr int32_t TYX_PKT_KIND_NONE = 0; // status packages
constexpr int32_t TYX_PKT_KIND_RAW_VIDEO = 1;
constexpr int32_t TYX_PKT_KIND_CODED_VIDEO = 2;
constexpr int32_t TYX_PKT_KIND_RAW_AUDIO = 4;
constexpr int32_t TYX_PKT_KIND_CODED_AUDIO = 8;

// Media types.
constexpr int32_t TYX_MEDIA_UNKNOWN = -1;
constexpr int32_t TYX_MEDIA_VIDEO = 0;
constexpr int32_t TYX_MEDIA_AUDIO = 1;

// Flag bits.
constexpr int32_t TYX_PKT_FLAG_KEY = 0x0001;
constexpr int32_t TYX_PKT_FLAG_DISCARD = 0x0004;

// Source status codes, carried as negative lengths.
constexpr int32_t TYX_SRC_CONNECTING = -90;
constexpr int32_t TYX_SRC_CLOSED = -92;
constexpr int32_t TYX_SRC_WAITING_INPUT = -96;
constexpr int32_t TYX_SRC_STANDBY = -100;
constexpr int32_t TYX_SRC_CONNECT_FAILED = -101;
constexpr int32_t TYX_SRC_READ_FAILED = -102;
constexpr int32_t TYX_SRC_WAIT_TIMEOUT = -104;
constexpr int32_t TYX_SRC_DECODE_ERROR = -108;
constexpr int32_t TYX_SRC_INPUT_NOT_USED = -202;

// The largest payload a package may carry (a 15360x8640 I420 picture x 2).
constexpr int32_t TYX_MAX_PACKAGE_BYTES = 398131200;

struct FramePackage
{
    uint8_t *pData = nullptr;          // GPU memory when inDevice is set, host memory otherwise
    int32_t nLength = 0;               // > 0 payload bytes; 0 none; < 0 a source status code
    int64_t pts = TYX_NOPTS_VALUE;     // µs of the program clock for real-time sources
    int64_t dts = TYX_NOPTS_VALUE;
    int64_t duration = 0;
    int32_t flags = 0;                 // TYX_PKT_FLAG_*
    int16_t streamIndex = -1;          // stream inside its source
    int32_t mediaType = TYX_MEDIA_UNKNOWN;
    int32_t kind = TYX_PKT_KIND_NONE;
    int32_t format = -1;               // pixel or sample format, -1 none
    uint8_t inDevice = 0;              // 1: pData lies in GPU memory
    float fParam = 0.0f;               // carried for the codec and processing workers
    int64_t readTime = 0;              // program time just before a demuxing reader read it
    int64_t queuedTime = 0;            // program time at which it entered its current queue
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t pitch = 0;                // row pitch of a picture, 0 when rows are packed
    uint32_t u32Param = 0;             // carried for the codec and processing workers
    int32_t audioSamples = 0;          // samples per frame (audio)
    int32_t sampleRate = 0;            // audio
};
static_assert(sizeof(FramePackage) == 112, "FramePackage keeps its 112-byte layout");

// A link's queue; the critical section that guards it lives beside it in the link record.
using FramePackageQueue = std::deque<FramePackage>;

// How many packages of a kind a producer queues per consumer.
constexpr size_t FramePackageQueueLimit(int32_t kind)
{
    switch (kind) {
    case TYX_PKT_KIND_RAW_VIDEO:
    case TYX_PKT_KIND_RAW_AUDIO: return 30;
    case TYX_PKT_KIND_CODED_VIDEO:
    case TYX_PKT_KIND_CODED_AUDIO: return 900;
    default: return 1000;
    }
}

// Result codes of the package operations.
constexpr int32_t TYX_PKG_ERR_SIZE = -1;      // length outside 1..TYX_MAX_PACKAGE_BYTES, empty picture
constexpr int32_t TYX_PKG_ERR_OCCUPIED = -3;  // the package already owns data
constexpr int32_t TYX_PKG_ERR_NO_BUFFER = -101;
constexpr int32_t TYX_PKG_ERR_COPY = -102;

// Deep copy into host or GPU memory by dst.inDevice (set by the caller first). The length, or 0 for
// a package without data (a status package keeps its negative length), -1 for a bad size, -101 when
// no buffer can be had, -102 when the copy failed; on failure dst holds no data and length 0.
// Whatever dst held before is overwritten, not released.
int32_t DuplicateFramePackage(FramePackage &dst, const FramePackage &src);
// Releases the data of a package with a length above 0 by its memory kind (device data goes back to
// the device picture pool) and zeroes every field.
void FreeFramePackage(FramePackage &package);
// Sets every field to 0 (pts and dts too) without releasing anything.
void ClearFramePackage(FramePackage &package);

// Gives a package without data a buffer of length bytes in the memory its inDevice flag names and
// sets pData and nLength: the one allocator of package data, so FreeFramePackage can release it.
// Device buffers come from the device picture pool.
// Host buffers are followed by AV_INPUT_BUFFER_PADDING_SIZE zero bytes, so FFmpeg may read them as
// packet data. The length, -1 for a bad size, -3 when the package already owns data, -101 when no
// buffer can be had (the package then holds no data and length 0).
int32_t AllocFramePackageData(FramePackage &package, int32_t length);
// Releases a buffer made by AllocFramePackageData (or handed out as package data) outside a package.
void ReleaseFramePackageData(uint8_t *data, bool inDevice);

// Fills a package with an I420 picture of one colour: width, height and inDevice are the caller's;
// Y, U and V in the layout of core/I420Layout.h. The length; -1 for an empty or oversized picture,
// -3 when the package already owns data (release it first), -101 when no buffer can be had, -102
// when the fill failed; on failure the package holds no data and length 0.
int32_t CreateBlankVideoFramePackage(FramePackage &package, const stColorYuv &color);

// Test hook: host data blocks made by this module and not yet released.
int64_t FramePackageHostBlocks();

// One package behind a lock, with the time (µs) it was stored: decode and mux workers keep their
// last valid or default picture in one. Users hold cs around every read and write of both fields.
// The package starts all zero (pts and dts 0) and its data is never released by the holder.
struct stLockedFramePackage
{
    stLockedFramePackage() { ClearFramePackage(package); }
    stLockedFramePackage(const stLockedFramePackage &) = delete;
    stLockedFramePackage &operator=(const stLockedFramePackage &) = delete;

    FramePackage package;
    int64_t storedTime = 0;
    CCriticalSection cs;
};
