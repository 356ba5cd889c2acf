#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

// Program clock: wall-clock microseconds since 1970 plus a fixed 8 hours. Stored time stamps and
// peers rely on the offset, so it stays.
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
};

// Console printing; the callers check the screen-output flag first. Formats follow the Windows
// printf family (see WideFormat.h); output is UTF-8 on standard output.
void ConsolePrintf(const char *format, ...);
void ConsolePrintfW(const wchar_t *format, ...);

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
