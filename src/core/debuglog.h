#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

// Result codes of the log calls.
constexpr int32_t TYX_LOG_ERR_RUNNING = -120;
constexpr int32_t TYX_LOG_ERR_LEVEL = -124;
constexpr int32_t TYX_LOG_ERR_STOPPED = -122;
constexpr int32_t TYX_LOG_ERR_ARGUMENT = -1;
constexpr int32_t TYX_LOG_ERR_TOO_LONG = -12;
constexpr int32_t TYX_LOG_ERR_EMPTY = -2;
constexpr int32_t TYX_LOG_ERR_PATH = -101;
constexpr int32_t TYX_LOG_ERR_OPEN = -112;
constexpr int32_t TYX_LOG_ERR_THREAD = -401;
constexpr int32_t TYX_LOG_ERR_EVENT = -402;
constexpr int32_t TYX_LOG_ERR_MEMORY = -418;

// Line decorations, in this order; the host turns on time, thread id, source file and line.
struct stDebugLogOptions
{
    uint8_t date = 0;
    uint8_t time = 1;
    uint8_t processId = 0;
    uint8_t threadId = 1;
    uint8_t sourceFile = 1;
    uint8_t line = 1;
    uint8_t functionName = 0;
    uint8_t recreateFile = 0;
};

// Starts the writer on the file at path; options none means the host's options.
int32_t StartDebugLog(uint8_t level, const std::wstring &path, const stDebugLogOptions *options = nullptr);
// Stops accepting messages, writes out everything queued and ends the writer.
void StopDebugLog();

// Formats a Windows-style wide format (see WideFormat.h) and queues the line; the number of bytes
// queued, 0 when the file has reached its size limit, or a negative code. Any thread may call.
int32_t DebugLog(int32_t level, const wchar_t *sourceFile, const wchar_t *function, int32_t line,
                 const wchar_t *format, ...);
// The same with the narrow names that __FILE__ and __func__ give.
int32_t DebugLog(int32_t level, const char *sourceFile, const char *function, int32_t line,
                 const wchar_t *format, ...);
// Queues already formatted UTF-8 text.
int32_t DebugLogA(int32_t level, const char *sourceFile, const char *function, int32_t line, const char *text);

#define TYX_LOG(level, format, ...) DebugLog((level), __FILE__, __func__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)

// The day's file: the folder, "TYXDebug", the date as "_%04d-%02d-%02d" and ".log".
std::wstring BuildDebugLogFilePath(const std::wstring &logFolder, const std::tm &localDate);

// Sees every message of levels 1 to 8 as formatted, whether or not the log runs or its level lets
// the message through; lets tests assert log lines. An empty observer removes it.
using DebugLogObserver = std::function<void(int32_t level, const std::wstring &text)>;
void SetDebugLogObserver(DebugLogObserver observer);
