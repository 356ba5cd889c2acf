#include "core/debuglog.h"

#include "core/TYXUtils.h"
#include "core/WideFormat.h"
#include "platform/Event.h"
#include "platform/TextCodec.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>

namespace {

constexpr size_t kBufferSize = 4096;
constexpr size_t kFlushMark = 4016;
constexpr uint32_t kFlushIntervalMs = 4999;
constexpr size_t kMaxTextBytes = 4047;
constexpr size_t kMaxTextChars = 4047;
constexpr size_t kMinPath = 4;
constexpr size_t kMaxPath = 260;
constexpr size_t kMaxSourceFile = 260;
constexpr size_t kMaxFunction = 64;
constexpr size_t kMaxFormat = 1024;
constexpr uint32_t kWaitSliceMs = 100;
// While the file cannot be written, the queue holds at most this much text; later messages are
// dropped and counted, and the file is tried again every kRetryIntervalMs.
constexpr size_t kMaxQueuedBytesWhileFailing = 256 * 1024;
constexpr uint32_t kRetryIntervalMs = 1000;
constexpr unsigned char kBom[] = {0xEF, 0xBB, 0xBF};

// What a running log was started with; messages read it without holding the queue lock.
struct stLogSettings
{
    std::string path; // UTF-8
    uint64_t sizeLimit = 0; // bytes, 0 for none
    stDebugLogOptions options;
};

struct stLogRecord
{
    uint16_t level = 0;
    uint32_t processId = 0;
    uint32_t threadId = 0;
    int64_t utcUs = 0;
    std::string text; // UTF-8, decorations included
};

// Cuts UTF-8 text to at most maxBytes without splitting a character.
void CutUtf8(std::string &text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
}

// The part of a source path that a line shows: after the last separator. Only its length is
// bounded, so that a checkout in a deep folder still logs.
template <typename Char>
const Char *BaseName(const Char *path)
{
    const Char *base = path;
    for (const Char *p = path; *p; ++p) {
        if (*p == Char('/') || *p == Char('\\'))
            base = p + 1;
    }
    return base;
}

bool SourceNameTooLong(const char *sourceFile)
{
    return strlen(BaseName(sourceFile)) > kMaxSourceFile;
}

bool SourceNameTooLong(const wchar_t *sourceFile)
{
    return wcslen(BaseName(sourceFile)) > kMaxSourceFile;
}

// "-[file:line-function]" as the options ask for it; nothing when they ask for none of the three.
std::string Decoration(const stDebugLogOptions &options, const char *sourceFile, const char *function, int32_t line)
{
    if (!options.sourceFile && !options.line && !options.functionName)
        return {};
    std::string text = "-[";
    if (options.sourceFile)
        text += BaseName(sourceFile);
    if (options.line)
        text += ":" + std::to_string(line);
    if (options.functionName) {
        text += "-";
        text += function;
    }
    return text + "]";
}

int64_t FileSize(const std::string &path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return -1;
    return static_cast<int64_t>(info.st_size);
}

// Size limit in bytes for a level; 0 means none.
uint64_t SizeLimitBytes(uint8_t level)
{
    const auto &table = DebugLogSizeLimitTable();
    const auto it = table.find(level);
    return it == table.end() ? 0 : uint64_t{it->second} * 1024;
}

// Writes all bytes, repeating partial writes; done counts what went out, also on a failure.
bool WriteAll(int fd, const char *data, size_t size, size_t *done = nullptr)
{
    size_t total = 0;
    while (total < size) {
        const ssize_t written = write(fd, data + total, size - total);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (done)
                *done = total;
            return false;
        }
        total += static_cast<size_t>(written);
    }
    if (done)
        *done = total;
    return true;
}

// The process-wide log. The queue mutex lives as long as the process, so a message racing a stop
// finds the stopped flag under it instead of a destroyed lock.
class CDebugLogModule
{
public:
    ~CDebugLogModule() { Stop(); }

    int32_t Start(uint8_t level, const std::wstring &path, const stDebugLogOptions &options);
    void Stop();
    int32_t Queue(int32_t level, const char *sourceFile, const char *function, int32_t line,
                  std::string text);
    bool Accepts(int32_t level) const;
    bool IsStopped() const { return m_stopped.load(); }

    void SetObserver(DebugLogObserver observer);
    bool HasObserver() const { return m_hasObserver.load(std::memory_order_relaxed); }
    void Notify(int32_t level, const std::wstring &text);

private:
    uint32_t WriterMain();
    bool Drain();
    // Writes the buffer out; force tries the file even when the last failure was only just now
    // (the final flush). False keeps what was not written for a later try.
    bool Flush(bool force = false);
    // After a failed write: true when it is time to try the file again.
    bool RetryDue() const;
    void ReopenIfReplaced();
    void ReportDropped();
    std::string BuildLine(const stLogRecord &record, const stDebugLogOptions &options) const;
    void ReleaseResources();

    std::mutex m_controlMutex; // serialises start and stop
    std::mutex m_queueMutex;
    std::deque<stLogRecord> m_queue;
    size_t m_queuedBytes = 0;  // text of the queued records, under the queue lock
    uint64_t m_dropped = 0;    // messages dropped while writing failed, under the queue lock
    std::atomic<bool> m_writeFailing{false};
    uint32_t m_lastAttemptTick = 0; // writer thread only
    std::atomic<bool> m_stopped{true};
    std::atomic<uint8_t> m_level{0};
    bool m_stopRequested = false;
    std::shared_ptr<const stLogSettings> m_settings; // replaced only under the queue lock
    int m_fd = -1;
    std::string m_buffer;
    uint32_t m_lastFlushTick = 0;
    std::unique_ptr<CEvent> m_quitEvent;
    std::unique_ptr<CEvent> m_dataEvent;
    std::unique_ptr<CThread> m_writer;

    std::mutex m_observerMutex;
    std::atomic<bool> m_hasObserver{false};
    DebugLogObserver m_observer;
};

CDebugLogModule &Module()
{
    static CDebugLogModule module;
    return module;
}

int32_t CDebugLogModule::Start(uint8_t level, const std::wstring &path, const stDebugLogOptions &options)
{
    std::lock_guard<std::mutex> control(m_controlMutex);
    if (!m_stopped.load())
        return TYX_LOG_ERR_RUNNING;
    if (level < 1 || level > 8)
        return TYX_LOG_ERR_LEVEL;
    if (path.size() < kMinPath || path.size() > kMaxPath)
        return TYX_LOG_ERR_PATH;
    const std::string pathUtf8 = WStringToString(path);
    if (pathUtf8.empty())
        return TYX_LOG_ERR_PATH;

    const uint64_t limit = SizeLimitBytes(level);
    const int64_t existing = FileSize(pathUtf8);
    const bool replace =
        options.recreateFile || existing < 0 || (limit != 0 && static_cast<uint64_t>(existing) > limit);
    if (replace) {
        unlink(pathUtf8.c_str());
        const int fd = open(pathUtf8.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return TYX_LOG_ERR_OPEN;
        const bool ok = WriteAll(fd, reinterpret_cast<const char *>(kBom), sizeof(kBom));
        close(fd);
        if (!ok)
            return TYX_LOG_ERR_OPEN;
    }
    m_fd = open(pathUtf8.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (m_fd < 0)
        return TYX_LOG_ERR_OPEN;

    auto settings = std::make_shared<stLogSettings>();
    settings->path = pathUtf8;
    settings->sizeLimit = limit;
    settings->options = options;
    m_buffer.clear();
    m_buffer.reserve(kBufferSize);
    m_quitEvent = std::make_unique<CEvent>(true);
    m_dataEvent = std::make_unique<CEvent>(true);
    m_writer = std::make_unique<CThread>();
    if (m_writer->CreateSuspended([this] { return WriterMain(); }) != 0) {
        ReleaseResources();
        return TYX_LOG_ERR_THREAD;
    }
    m_stopRequested = false;
    m_writeFailing.store(false);
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queuedBytes = 0;
        m_dropped = 0;
        m_settings = std::move(settings);
        m_level.store(level);
        m_stopped.store(false);
    }
    m_writer->Resume();
    TYX_LOG(level, L"................................................");
    TYX_LOG(level, L"************************************************");
    TYX_LOG(level, L"TYX Debug log module started.");
    TYX_LOG(level, L"................................................");
    return 0;
}

void CDebugLogModule::Stop()
{
    std::lock_guard<std::mutex> control(m_controlMutex);
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_stopped.load())
            return;
        m_stopped.store(true);
        m_level.store(0);
        m_stopRequested = true;
    }
    m_quitEvent->Set();
    // The writer always ends after the quit event, having written what was queued, so it is joined
    // rather than abandoned: nothing it uses may be released before.
    m_writer->Join();
    ReleaseResources();
}

void CDebugLogModule::ReleaseResources()
{
    m_writer.reset();
    m_quitEvent.reset();
    m_dataEvent.reset();
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_queue.clear();
    m_queuedBytes = 0;
    m_settings.reset();
}

bool CDebugLogModule::Accepts(int32_t level) const
{
    return level > 0 && level <= m_level.load();
}

int32_t CDebugLogModule::Queue(int32_t level, const char *sourceFile, const char *function, int32_t line,
                               std::string text)
{
    std::shared_ptr<const stLogSettings> settings;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_stopped.load())
            return TYX_LOG_ERR_STOPPED;
        settings = m_settings;
    }
    if (!Accepts(level))
        return m_stopped.load() ? TYX_LOG_ERR_STOPPED : TYX_LOG_ERR_LEVEL;
    CutUtf8(text, kMaxTextBytes);
    if (text.empty())
        return TYX_LOG_ERR_EMPTY;
    const int32_t textLength = static_cast<int32_t>(text.size());

    // The file's own size decides, read on every message, so a file grown past the limit stops the log.
    if (settings->sizeLimit != 0) {
        const int64_t size = FileSize(settings->path);
        if (size >= 0 && static_cast<uint64_t>(size) > settings->sizeLimit)
            return 0;
    }

    text += Decoration(settings->options, sourceFile, function, line);

    stLogRecord record;
    record.level = static_cast<uint16_t>(level);
    record.processId = static_cast<uint32_t>(GetCurrentProcessIdInt());
    record.threadId = static_cast<uint32_t>(GetCurrentThreadIdInt());
    record.utcUs = GetSystemTimeUs();
    record.text = std::move(text);

    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (m_stopped.load() || m_settings != settings)
        return TYX_LOG_ERR_STOPPED;
    // A file that cannot be written must not make the process grow: past the bound the message is
    // dropped and counted, and the count is written once the file takes lines again.
    if (m_writeFailing.load() && m_queuedBytes + record.text.size() > kMaxQueuedBytesWhileFailing) {
        ++m_dropped;
        return 0;
    }
    const bool wasEmpty = m_queue.empty();
    m_queuedBytes += record.text.size();
    m_queue.push_back(std::move(record));
    if (wasEmpty)
        m_dataEvent->Set();
    return textLength;
}

std::string CDebugLogModule::BuildLine(const stLogRecord &record, const stDebugLogOptions &options) const
{
    const std::string pid = options.processId ? std::to_string(record.processId) : std::string();
    const std::string tid = options.threadId ? std::to_string(record.threadId) : std::string();
    std::string stamp;
    if (options.date || options.time) {
        const time_t seconds = static_cast<time_t>(record.utcUs / 1000000);
        const int millis = static_cast<int>((record.utcUs / 1000) % 1000);
        std::tm local{};
        localtime_r(&seconds, &local);
        char text[64];
        if (options.date) {
            snprintf(text, sizeof(text), "%.4d-%.2d-%.2d ", local.tm_year + 1900, local.tm_mon + 1,
                     local.tm_mday);
            stamp += text;
        }
        if (options.time) {
            snprintf(text, sizeof(text), "%.2d:%.2d:%.2d.%.3d", local.tm_hour, local.tm_min, local.tm_sec,
                     millis);
            stamp += text;
        }
    }
    std::string line;
    line.reserve(record.text.size() + pid.size() + tid.size() + stamp.size() + 16);
    line += "[" + pid + ":" + tid + "]-[" + stamp + "] ";
    line += record.text;
    line += "(" + std::to_string(record.level) + ")\n";
    return line;
}

bool CDebugLogModule::RetryDue() const
{
    return !m_writeFailing.load() || GetTickCount32() - m_lastAttemptTick >= kRetryIntervalMs;
}

// A file removed or replaced while it could not be written (a clean-up, an operator making room) is
// opened again by its path, so that the lines go where the operator looks for them.
void CDebugLogModule::ReopenIfReplaced()
{
    std::shared_ptr<const stLogSettings> settings;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        settings = m_settings;
    }
    if (!settings)
        return;
    struct stat current {};
    struct stat named {};
    const bool same = m_fd >= 0 && fstat(m_fd, &current) == 0 && stat(settings->path.c_str(), &named) == 0 &&
                      current.st_dev == named.st_dev && current.st_ino == named.st_ino;
    if (same)
        return;
    const int fd = open(settings->path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    struct stat created {};
    if (fstat(fd, &created) == 0 && created.st_size == 0 &&
        !WriteAll(fd, reinterpret_cast<const char *>(kBom), sizeof(kBom))) {
        close(fd);
        return;
    }
    if (m_fd >= 0)
        close(m_fd);
    m_fd = fd;
}

bool CDebugLogModule::Flush(bool force)
{
    if (!m_buffer.empty()) {
        if (!force && !RetryDue())
            return false;
        m_lastAttemptTick = GetTickCount32();
        if (m_writeFailing.load())
            ReopenIfReplaced();
        for (;;) {
            size_t written = 0;
            const bool ok = WriteAll(m_fd, m_buffer.data(), m_buffer.size(), &written);
            // What went out is not written twice at the next try.
            m_buffer.erase(0, written);
            if (!ok) {
                m_writeFailing.store(true);
                return false;
            }
            if (!m_writeFailing.exchange(false))
                break;
            ReportDropped(); // and written at once, on the next round
        }
    }
    m_lastFlushTick = GetTickCount32();
    return true;
}

// One line with the number of messages lost while the file could not be written, into the emptied
// buffer: after the lines that were kept, before those that come now.
void CDebugLogModule::ReportDropped()
{
    uint64_t dropped = 0;
    std::shared_ptr<const stLogSettings> settings;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        dropped = m_dropped;
        m_dropped = 0;
        settings = m_settings;
    }
    if (dropped == 0 || !settings)
        return;
    stLogRecord record;
    record.level = m_level.load() >= 2 ? 2 : 1;
    record.processId = static_cast<uint32_t>(GetCurrentProcessIdInt());
    record.threadId = static_cast<uint32_t>(GetCurrentThreadIdInt());
    record.utcUs = GetSystemTimeUs();
    record.text = std::to_string(dropped) + " log messages were dropped while the log file could not be written.";
    record.text += Decoration(settings->options, __FILE__, __func__, __LINE__);
    m_buffer += BuildLine(record, settings->options);
}

// Moves queued records into the buffer; false when a write failed and the rest must wait.
bool CDebugLogModule::Drain()
{
    for (;;) {
        const stLogRecord *front = nullptr;
        std::shared_ptr<const stLogSettings> settings;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (m_queue.empty())
                break;
            front = &m_queue.front(); // only this thread removes records, so the reference stays
            settings = m_settings;
        }
        const std::string line = BuildLine(*front, settings->options);
        if (m_buffer.size() + line.size() > kBufferSize && !Flush())
            return false;
        // A line longer than the whole buffer goes into the emptied buffer all the same and out
        // on its own below, instead of waiting forever.
        m_buffer += line;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_queuedBytes -= std::min(m_queuedBytes, m_queue.front().text.size());
            m_queue.pop_front();
        }
        if (m_buffer.size() >= kFlushMark && !Flush())
            return false;
    }
    if (m_buffer.size() >= kFlushMark || GetTickCount32() - m_lastFlushTick > kFlushIntervalMs)
        return Flush();
    return true;
}

uint32_t CDebugLogModule::WriterMain()
{
    TYX_LOG(6, L"Debug log processing Thread started.");
    m_lastFlushTick = GetTickCount32();
    uint32_t exitCode = 0;
    for (;;) {
        const int32_t wait = WaitForAnyEvent({m_quitEvent.get(), m_dataEvent.get()}, kWaitSliceMs);
        if (wait == TYX_WAIT_OBJECT_0) {
            bool stopRequested;
            {
                std::lock_guard<std::mutex> lock(m_queueMutex);
                stopRequested = m_stopRequested;
            }
            m_dataEvent->Reset();
            if (stopRequested)
                Drain();
            else
                exitCode = 1;
            break;
        }
        if (wait == TYX_WAIT_OBJECT_0 + 1)
            m_dataEvent->Reset();
        Drain();
    }
    Flush(true);
    return exitCode;
}

void CDebugLogModule::SetObserver(DebugLogObserver observer)
{
    std::lock_guard<std::mutex> lock(m_observerMutex);
    m_observer = std::move(observer);
    m_hasObserver.store(static_cast<bool>(m_observer));
}

void CDebugLogModule::Notify(int32_t level, const std::wstring &text)
{
    std::lock_guard<std::mutex> lock(m_observerMutex);
    if (m_observer)
        m_observer(level, text);
}

int32_t CheckArguments(int32_t level, const void *sourceFile, const void *function, const void *format)
{
    if (Module().IsStopped() && !Module().HasObserver())
        return TYX_LOG_ERR_STOPPED;
    if (level <= 0 || level > 8)
        return TYX_LOG_ERR_LEVEL;
    if (!sourceFile || !function || !format)
        return TYX_LOG_ERR_ARGUMENT;
    return 0;
}

int32_t LogFormatted(int32_t level, const char *sourceFile, const char *function, int32_t line,
                     const wchar_t *format, va_list args)
{
    if (SourceNameTooLong(sourceFile) || strlen(function) > kMaxFunction || wcslen(format) > kMaxFormat)
        return TYX_LOG_ERR_TOO_LONG;
    if (!*format)
        return TYX_LOG_ERR_EMPTY;
    const bool wanted = Module().Accepts(level);
    if (!wanted && !Module().HasObserver())
        return Module().IsStopped() ? TYX_LOG_ERR_STOPPED : TYX_LOG_ERR_LEVEL;
    // Every log call that prints outside text comes through here: an argument's line breaks and
    // terminal controls are escaped, so no text from outside can forge or hide a line.
    const std::wstring text = VFormatWideEscaped(format, args, kMaxTextChars);
    if (Module().HasObserver())
        Module().Notify(level, text);
    return Module().Queue(level, sourceFile, function, line, CTextCodec::WideToUtf8Replacing(text));
}

// Text formatted elsewhere (a library's message, for one) may carry anything: its own line end is
// dropped, the log adds one, and every other control character is escaped.
std::string EscapedLineText(const char *text)
{
    std::string_view view(text);
    while (!view.empty() && (view.back() == '\n' || view.back() == '\r'))
        view.remove_suffix(1);
    if (const auto wide = CTextCodec::Utf8ToWide(view))
        return CTextCodec::WideToUtf8Replacing(EscapeControlCharacters(*wide));
    std::string out;
    for (const char c : view) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\x%02x", byte);
            out += escape;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string NarrowName(const wchar_t *name)
{
    return CTextCodec::WideToUtf8Replacing(name);
}

} // namespace

int32_t StartDebugLog(uint8_t level, const std::wstring &path, const stDebugLogOptions *options)
{
    return Module().Start(level, path, options ? *options : stDebugLogOptions{});
}

void StopDebugLog()
{
    Module().Stop();
}

int32_t DebugLog(int32_t level, const wchar_t *sourceFile, const wchar_t *function, int32_t line,
                 const wchar_t *format, ...)
{
    const int32_t check = CheckArguments(level, sourceFile, function, format);
    if (check != 0)
        return check;
    if (SourceNameTooLong(sourceFile) || wcslen(function) > kMaxFunction)
        return TYX_LOG_ERR_TOO_LONG;
    va_list args;
    va_start(args, format);
    const int32_t result =
        LogFormatted(level, NarrowName(sourceFile).c_str(), NarrowName(function).c_str(), line, format, args);
    va_end(args);
    return result;
}

int32_t DebugLog(int32_t level, const char *sourceFile, const char *function, int32_t line,
                 const wchar_t *format, ...)
{
    const int32_t check = CheckArguments(level, sourceFile, function, format);
    if (check != 0)
        return check;
    va_list args;
    va_start(args, format);
    const int32_t result = LogFormatted(level, sourceFile, function, line, format, args);
    va_end(args);
    return result;
}

int32_t DebugLogA(int32_t level, const char *sourceFile, const char *function, int32_t line, const char *text)
{
    const int32_t check = CheckArguments(level, sourceFile, function, text);
    if (check != 0)
        return check;
    if (SourceNameTooLong(sourceFile) || strlen(function) > kMaxFunction)
        return TYX_LOG_ERR_TOO_LONG;
    const std::string escaped = EscapedLineText(text);
    if (Module().HasObserver())
        Module().Notify(level, StringToWString(escaped));
    return Module().Queue(level, sourceFile, function, line, escaped);
}

std::wstring BuildDebugLogFilePath(const std::wstring &logFolder, const std::tm &localDate)
{
    wchar_t date[32];
    swprintf(date, sizeof(date) / sizeof(date[0]), L"_%04d-%02d-%02d", localDate.tm_year + 1900,
             localDate.tm_mon + 1, localDate.tm_mday);
    std::wstring path = logFolder;
    if (!path.empty() && path.back() != L'/')
        path += L'/';
    return path + L"TYXDebug" + date + L".log";
}

void SetDebugLogObserver(DebugLogObserver observer)
{
    Module().SetObserver(std::move(observer));
}
