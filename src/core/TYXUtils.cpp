#include "core/TYXUtils.h"

#include "core/ProgramClock.h"
#include "core/TYXWorker.h"
#include "core/WideFormat.h"
#include "core/debuglog.h"
#include "platform/TextCodec.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>

// Abandoned threads read the clock after the exit has destroyed static objects: it must have no
// destructor to run.
static_assert(std::is_trivially_destructible_v<CProgramClock>);

int64_t GetCurrentTimeUs()
{
    // Taken from the wall clock at the first reading, which the program's start makes.
    static const CProgramClock clock(GetSystemTimeUs, GetMonotonicTimeUs);
    return clock.NowUs();
}

std::string WStringToString(const std::wstring &text)
{
    if (text.empty())
        return {};
    return CTextCodec::WideToUtf8(text).value_or(std::string());
}

std::wstring StringToWString(const std::string &text)
{
    if (text.empty())
        return {};
    return CTextCodec::Utf8ToWide(text).value_or(std::wstring());
}

std::unique_ptr<char[]> CTYXUtils::WideToMultiByte(const wchar_t *text, int32_t count)
{
    if (!text)
        return nullptr;
    const size_t length = count > 0 ? wcsnlen(text, static_cast<size_t>(count)) : wcslen(text);
    const auto converted = CTextCodec::WideToUtf8(std::wstring_view(text, length));
    if (!converted)
        return nullptr;
    // Sized from the conversion itself: a wide character can take up to four bytes.
    auto buffer = std::make_unique<char[]>(converted->size() + 1);
    std::memcpy(buffer.get(), converted->data(), converted->size());
    buffer[converted->size()] = '\0';
    return buffer;
}

std::unique_ptr<wchar_t[]> CTYXUtils::MultiByteToWide(const char *text, int32_t length)
{
    if (!text)
        return nullptr;
    const size_t size = length > 0 ? strnlen(text, static_cast<size_t>(length)) : strlen(text);
    const auto converted = CTextCodec::Utf8ToWide(std::string_view(text, size));
    if (!converted)
        return nullptr;
    auto buffer = std::make_unique<wchar_t[]>(converted->size() + 1);
    std::wmemcpy(buffer.get(), converted->data(), converted->size());
    buffer[converted->size()] = L'\0';
    return buffer;
}

std::unique_ptr<char[]> CTYXUtils::WideToUtf8(const wchar_t *text)
{
    if (!text || !*text)
        return nullptr;
    const auto converted = CTextCodec::WideToUtf8(text);
    if (!converted || converted->empty())
        return nullptr;
    auto buffer = std::make_unique<char[]>(converted->size() + 1);
    std::memcpy(buffer.get(), converted->data(), converted->size());
    buffer[converted->size()] = '\0';
    return buffer;
}

namespace {

// The stream's own error mark tells that an earlier write failed; the stream lock makes one caller
// see the change.
void WriteConsole(const std::string &text)
{
    flockfile(stdout);
    const bool failedBefore = ferror(stdout) != 0;
    bool failed = failedBefore;
    int error = 0;
    if (!failedBefore) {
        errno = 0;
        failed = fputs(text.c_str(), stdout) == EOF || fflush(stdout) == EOF;
        error = errno;
    }
    funlockfile(stdout);
    if (failed && !failedBefore)
        OnConsoleWriteFailed(error);
}

} // namespace

bool IsConsoleWritable()
{
    return ferror(stdout) == 0;
}

void OnConsoleWriteFailed(int32_t error)
{
    if (CTYXWorker::TurnProcessScreenOutputOff())
        TYX_LOG(2, L"Console output failed with error=%d: screen output is turned off.", error);
}

void ConsolePrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = VFormatNarrow(format, args);
    va_end(args);
    WriteConsole(text);
}

void ConsolePrintfW(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const std::wstring text = VFormatWide(format, args);
    va_end(args);
    // Standard output stays byte-oriented: mixing wide and narrow output on one stream fails.
    WriteConsole(WStringToString(text));
}

int32_t TrimWhitespace(std::wstring &text)
{
    const wchar_t *blanks = L"\t\n\r ";
    const size_t before = text.size();
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos) {
        text.clear();
        return static_cast<int32_t>(before);
    }
    const size_t last = text.find_last_not_of(blanks);
    text = text.substr(first, last - first + 1);
    return static_cast<int32_t>(before - text.size());
}

int32_t CountBits(uint64_t mask)
{
    return __builtin_popcountll(mask);
}

void HandleGPUCriticalError(int32_t errorCode, const wchar_t *context)
{
    (void)context;
    if (errorCode != 0)
        TYX_LOG(3, L"[Thread:%d] Cuda call failed with cuda error(%d) returned!", GetCurrentThreadIdInt(),
                errorCode);
}

void HandleGPUCriticalError(bool fatal, const wchar_t *context)
{
    (void)context;
    if (fatal)
        TYX_LOG(3, L"[Thread:%d]Notify TYX main to quit for GPU Error!", GetCurrentThreadIdInt());
}

const std::map<int32_t, std::wstring> &CodecNameTable()
{
    static const std::map<int32_t, std::wstring> table = {
        {AV_CODEC_ID_H264, L"H.264"}, {AV_CODEC_ID_HEVC, L"HEVC"}, {AV_CODEC_ID_AAC, L"AAC"}};
    return table;
}

const std::map<uint16_t, uint32_t> &DebugLogSizeLimitTable()
{
    static const std::map<uint16_t, uint32_t> table = {
        {1, 128}, {2, 256}, {3, 1024}, {5, 4096}, {6, 8192}, {7, 32768}, {8, 65536}};
    return table;
}

const std::map<int32_t, int32_t> &RcmErrorCodeTable()
{
    static const std::map<int32_t, int32_t> table = {
        {-1, 258},  {-2, 264},  {-4, 260},  {-6, 264},  {-8, 268},  {-11, 286}, {-12, 288}, {-14, 290},
        {-16, 292}, {-18, 295}, {-21, 298}, {-22, 300}, {-24, 302}, {-26, 306}, {-28, 308}};
    return table;
}
