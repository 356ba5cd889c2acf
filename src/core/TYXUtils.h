#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct FramePackage;

// Program clock (CProgramClock): microseconds since 1970 plus a fixed 8 hours as the wall clock read
// at the first call, then advancing with the monotonic clock, so that no step of the host's time
// moves it. Stored time stamps and peers rely on the offset, so it stays.
constexpr int64_t TYX_CLOCK_OFFSET_US = 28800000000LL;
int64_t GetCurrentTimeUs();

// Conversions between wide text and the multibyte text of paths, URLs, FFmpeg and the console,
// which is UTF-8 on this platform. An empty input gives an empty result, and so does invalid input.
std::string WStringToString(const std::wstring &text);
std::wstring StringToWString(const std::string &text);

class CTYXUtils
{
public:
    // count (or length) of 0 or less means the whole text; none when the conversion fails.
    static std::unique_ptr<char[]> WideToMultiByte(const wchar_t *text, int32_t count);
    static std::unique_ptr<wchar_t[]> MultiByteToWide(const char *text, int32_t length);
    // None for no text, an empty text or a failed conversion.
    static std::unique_ptr<char[]> WideToUtf8(const wchar_t *text);

    // GPU picture operations (TYXUtilsGpu.cpp). gpuDevice is the device whose context they push on
    // entry and pop on exit; any thread may call them. Failed GPU calls are logged and reported to
    // HandleGPUCriticalError.

    // Copies a planar picture (srcMemoryType TYX_MEMORY_HOST or TYX_MEMORY_DEVICE) into a device
    // picture of its own pitch and chroma plane offsets; the plane geometry comes from the encoder
    // buffer format (NvBufferFormat.h). A source pitch of 0 means packed rows. Every plane is tried;
    // 0, -1 for unusable arguments, -2 when any GPU step failed.
    static int32_t CopyToDeviceFrame(int32_t gpuDevice, const void *src, uint32_t srcPitch, void *dst,
                                     uint32_t dstPitch, uint32_t width, uint32_t height, int32_t srcMemoryType,
                                     uint32_t bufferFormat, const uint32_t *dstChromaOffsets,
                                     uint32_t numChromaPlanes);
    // The same for I420, stopping at the first failure.
    static int32_t CopyToDeviceFrame(int32_t gpuDevice, const void *src, uint32_t srcPitch, void *dst,
                                     uint32_t dstPitch, uint32_t width, uint32_t height, int32_t srcMemoryType,
                                     const uint32_t *dstChromaOffsets, uint32_t numChromaPlanes);
    // Scales an I420 picture (source pitch 0: packed rows; odd sizes have their chroma planes
    // rounded up, chroma pitch half the luma pitch rounded up) into a new packed picture of
    // scaledWidth x scaledHeight in device or host memory, handed over through result as package
    // data (release it with FreeFramePackage or ReleaseFramePackageData). The length (scaledWidth x
    // scaledHeight x 3 / 2 for even sizes, the rounded-up planes for odd ones); -1 for an unusable
    // source or a failed allocation, -2 for an
    // unusable scaled size, -3 for a failed copy or scaling, -4 without source or result pointer;
    // on failure result is none.
    static int32_t ScaleFrameGPU(int32_t gpuDevice, const uint8_t *src, int32_t srcWidth, int32_t srcHeight,
                                 int32_t srcPitch, bool srcInDevice, uint8_t **result, int32_t scaledWidth,
                                 int32_t scaledHeight, bool resultInDevice);
};

// The frame-pipe message of one package: a 48-byte little-endian header (message type, pts, dts,
// duration, flags, data length, width, height) followed by the package data, copied to host memory
// from wherever it lies. out is resized and reused. The message length; -1 for a package without
// data or with a length of 0 or below, -2 for a length above TYX_MAX_PACKAGE_BYTES (logged), -3 when
// the data cannot be copied (logged; out then holds no message).
constexpr int32_t TYX_FRAME_MESSAGE_HEADER_BYTES = 48;
int32_t SerializeFramePackage(const FramePackage &package, int16_t messageType, std::vector<uint8_t> &out);

// Source memory types of CTYXUtils::CopyToDeviceFrame.
constexpr int32_t TYX_MEMORY_HOST = 1;
constexpr int32_t TYX_MEMORY_DEVICE = 2;

// Console printing; the callers check the screen-output flag first. Formats follow the Windows
// printf family (see WideFormat.h); output is UTF-8 on standard output.
// Once a write to standard output has failed (the reader of a pipe went away, a terminal closed),
// nothing more is written to it, and screen output is turned off.
void ConsolePrintf(const char *format, ...);
void ConsolePrintfW(const wchar_t *format, ...);
// False once a write to standard output has failed.
bool IsConsoleWritable();
// A console write failed with the errno: screen output goes off for the rest of the process; the
// call that turns it off writes one log line.
void OnConsoleWriteFailed(int32_t error);

// Removes tab, line feed, carriage return and space from both ends; returns how many went.
int32_t TrimWhitespace(std::wstring &text);
int32_t CountBits(uint64_t mask);

// Log a failed GPU call; they never stop the program or change state. The context is for the reader
// of the call site and is not written.
void HandleGPUCriticalError(int32_t errorCode, const wchar_t *context);
void HandleGPUCriticalError(bool fatal, const wchar_t *context);

// The tables every unit sees.
const std::map<int32_t, std::wstring> &CodecNameTable();        // FFmpeg codec id -> name
const std::map<uint16_t, uint32_t> &DebugLogSizeLimitTable();   // debug level -> KiB
const std::map<int32_t, int32_t> &RcmErrorCodeTable();          // internal -> remote-control code
