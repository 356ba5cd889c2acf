#include "core/debuglog.h"

#include "support/SmallFileSystem.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <latch>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string kBom = "\xEF\xBB\xBF";

std::string ReadFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

void WriteFileOfSize(const std::filesystem::path &path, size_t size)
{
    std::ofstream out(path, std::ios::binary);
    out << std::string(size, 'o');
}

class DebugLogTest : public ::testing::Test
{
protected:
    void TearDown() override { StopDebugLog(); }

    std::wstring LogPath() const { return m_dir.File("TYXDebug_2026-12-08.log").wstring(); }
    std::string ReadLog() const { return ReadFile(m_dir.File("TYXDebug_2026-12-08.log")); }

    CTempDir m_dir;
};

TEST(DebugLogFileName, DayFileInTheLogsFolder)
{
    std::tm date{};
    date.tm_year = 2026 - 1900;
    date.tm_mon = 0;
    date.tm_mday = 5;
    EXPECT_EQ(BuildDebugLogFilePath(L"/opt/tyx/logs", date), L"/opt/tyx/logs/TYXDebug_2026-01-05.log");
    EXPECT_EQ(BuildDebugLogFilePath(L"/opt/tyx/logs/", date), L"/opt/tyx/logs/TYXDebug_2026-01-05.log");
}

TEST_F(DebugLogTest, StartRefusesBadArguments)
{
    EXPECT_EQ(StartDebugLog(9, LogPath()), TYX_LOG_ERR_LEVEL);
    EXPECT_EQ(StartDebugLog(0, LogPath()), TYX_LOG_ERR_LEVEL);
    EXPECT_EQ(StartDebugLog(3, L"a.l"), TYX_LOG_ERR_PATH);
    EXPECT_EQ(StartDebugLog(3, std::wstring(261, L'a')), TYX_LOG_ERR_PATH);
    EXPECT_EQ(StartDebugLog(3, m_dir.File("missing/x.log").wstring()), TYX_LOG_ERR_OPEN);
    // A failed start leaves nothing behind: the next one succeeds, and a second start is refused.
    EXPECT_EQ(StartDebugLog(3, LogPath()), 0);
    EXPECT_EQ(StartDebugLog(3, LogPath()), TYX_LOG_ERR_RUNNING);
}

TEST_F(DebugLogTest, NewFileBeginsWithTheByteOrderMarkAndTheStartLines)
{
    ASSERT_EQ(StartDebugLog(3, LogPath()), 0);
    StopDebugLog();
    const std::string text = ReadLog();
    ASSERT_EQ(text.substr(0, 3), kBom);
    const auto lines = Lines(text.substr(3));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find("] ************************************************-["), std::string::npos);
    EXPECT_NE(lines[2].find("] TYX Debug log module started.-["), std::string::npos);
}

TEST_F(DebugLogTest, LineFormatWithTheHostOptions)
{
    ASSERT_EQ(StartDebugLog(3, LogPath()), 0);
    const int line = __LINE__ + 1;
    EXPECT_GT(TYX_LOG(3, L"value %d of %s", 42, L"\u4e2d\u6587"), 0);
    StopDebugLog();
    const auto lines = Lines(ReadLog());
    const std::regex pattern("^\\[:[0-9]+\\]-\\[[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\] value 42 of "
                             "\xE4\xB8\xAD\xE6\x96\x87-\\[DebugLogTest\\.cpp:" +
                             std::to_string(line) + "\\]\\(3\\)$");
    EXPECT_TRUE(std::regex_match(lines.back(), pattern)) << lines.back();
}

TEST_F(DebugLogTest, AllDecorationsWhenEveryOptionIsOn)
{
    stDebugLogOptions options;
    options.date = options.time = options.processId = options.threadId = 1;
    options.sourceFile = options.line = options.functionName = 1;
    ASSERT_EQ(StartDebugLog(3, LogPath(), &options), 0);
    EXPECT_GT(DebugLog(3, L"C:\\src\\Mux.cpp", L"CVideoMuxWorker::Initialize", 77, L"hello"), 0);
    StopDebugLog();
    const std::regex pattern("^\\[[0-9]+:[0-9]+\\]-\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:.]{12}\\] "
                             "hello-\\[Mux\\.cpp:77-CVideoMuxWorker::Initialize\\]\\(3\\)$");
    EXPECT_TRUE(std::regex_match(Lines(ReadLog()).back(), pattern)) << Lines(ReadLog()).back();
}

TEST_F(DebugLogTest, MessageChecks)
{
    ASSERT_EQ(StartDebugLog(3, LogPath()), 0);
    EXPECT_EQ(TYX_LOG(6, L"too detailed"), TYX_LOG_ERR_LEVEL);
    EXPECT_EQ(TYX_LOG(0, L"level zero"), TYX_LOG_ERR_LEVEL);
    EXPECT_EQ(DebugLog(3, L"f.cpp", std::wstring(65, L'f').c_str(), 1, L"x"), TYX_LOG_ERR_TOO_LONG);
    EXPECT_EQ(DebugLog(3, std::wstring(261, L's').c_str(), L"f", 1, L"x"), TYX_LOG_ERR_TOO_LONG);
    EXPECT_EQ(DebugLog(3, L"f.cpp", L"f", 1, std::wstring(1025, L'x').c_str()), TYX_LOG_ERR_TOO_LONG);
    EXPECT_EQ(DebugLog(3, L"f.cpp", L"f", 1, L""), TYX_LOG_ERR_EMPTY);
    EXPECT_EQ(DebugLog(3, static_cast<const wchar_t *>(nullptr), L"f", 1, L"x"), TYX_LOG_ERR_ARGUMENT);
    StopDebugLog();
    EXPECT_EQ(TYX_LOG(3, L"after stop"), TYX_LOG_ERR_STOPPED);
    EXPECT_EQ(ReadLog().find("too detailed"), std::string::npos);
}

TEST_F(DebugLogTest, ADeepSourcePathLogsUnderItsBaseName)
{
    // A checkout deep in the file system gives every call a long path; the line shows only its end.
    ASSERT_EQ(StartDebugLog(3, LogPath()), 0);
    const std::string deep = "/" + std::string(300, 'd') + "/src/core/Deep.cpp";
    EXPECT_GT(DebugLog(3, deep.c_str(), "f", 12, L"narrow from deep"), 0);
    EXPECT_GT(DebugLog(3, std::wstring(deep.begin(), deep.end()).c_str(), L"f", 13, L"wide from deep"), 0);
    EXPECT_GT(DebugLogA(3, deep.c_str(), "f", 14, "text from deep"), 0);
    // A base name that is itself too long is still refused.
    EXPECT_EQ(DebugLog(3, ("/src/" + std::string(261, 'n')).c_str(), "f", 1, L"x"), TYX_LOG_ERR_TOO_LONG);
    StopDebugLog();
    const std::string text = ReadLog();
    for (const char *line : {"narrow from deep-[Deep.cpp:12]", "wide from deep-[Deep.cpp:13]", "text from deep-[Deep.cpp:14]"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(DebugLogTest, ALongMessageIsCutAndStillWritten)
{
    ASSERT_EQ(StartDebugLog(3, LogPath()), 0);
    const std::wstring longText(10000, L'x');
    EXPECT_EQ(TYX_LOG(3, L"%s", longText.c_str()), 4047);
    EXPECT_GT(TYX_LOG(3, L"after the long one"), 0);
    StopDebugLog();
    const auto lines = Lines(ReadLog());
    ASSERT_GE(lines.size(), 2u);
    const std::string &cut = lines[lines.size() - 2];
    EXPECT_NE(cut.find("] " + std::string(4047, 'x') + "-[DebugLogTest.cpp:"), std::string::npos);
    EXPECT_EQ(cut.find(std::string(4048, 'x')), std::string::npos);
    EXPECT_NE(lines.back().find("after the long one"), std::string::npos);
}

TEST_F(DebugLogTest, LongChineseTextIsCutAtACharacterBoundary)
{
    ASSERT_EQ(StartDebugLog(3, LogPath()), 0);
    const std::wstring text(2000, L'\u6587'); // 6000 bytes of UTF-8
    EXPECT_EQ(TYX_LOG(3, L"%s", text.c_str()), 4047 / 3 * 3);
}

TEST_F(DebugLogTest, AnUnconvertibleCharacterKeepsTheLine)
{
    ASSERT_EQ(StartDebugLog(3, LogPath()), 0);
    std::wstring name = L"cam";
    name += static_cast<wchar_t>(0xDC00); // half of a pair, as a broken file name may bring
    EXPECT_GT(TYX_LOG(3, L"Source(%s) opened.", name.c_str()), 0);
    StopDebugLog();
    EXPECT_NE(ReadLog().find("Source(cam\xEF\xBF\xBD) opened."), std::string::npos);
}

// Text from outside cannot make lines of its own: its line breaks and terminal controls are escaped,
// whichever call brings it.
TEST_F(DebugLogTest, ControlCharactersOfOutsideTextAreEscaped)
{
    ASSERT_EQ(StartDebugLog(3, LogPath()), 0);
    const std::wstring url = L"rtmp://127.0.0.1:9/x\r\n[TRLSEC]\r\nTRLKEY=1";
    EXPECT_GT(TYX_LOG(3, L"Dest media(URL=%s) refused: not a RTMP address!", url.c_str()), 0);
    EXPECT_GT(TYX_LOG(3, L"alias(%S) and %hs", "cam\n[FORGED]", "\x1b[2Jclear"), 0);
    EXPECT_GT(DebugLogA(3, __FILE__, "f", 1, "library says\r\n[FORGED] too\n"), 0);
    StopDebugLog();
    const std::string text = ReadLog();
    const std::regex written("^\\[:[0-9]+\\]-\\[[0-9:.]{12}\\] [^\\r\\x1b]*\\([0-9]\\)$");
    for (const std::string &line : Lines(text.substr(kBom.size())))
        EXPECT_TRUE(std::regex_match(line, written)) << "a line that no call wrote: " << line;
    EXPECT_NE(text.find("] Dest media(URL=rtmp://127.0.0.1:9/x\\r\\n[TRLSEC]\\r\\nTRLKEY=1) refused: not a RTMP "
                        "address!-["),
              std::string::npos);
    EXPECT_NE(text.find("] alias(cam\\n[FORGED]) and \\x1b[2Jclear-["), std::string::npos);
    EXPECT_NE(text.find("] library says\\r\\n[FORGED] too-["), std::string::npos);
}

// An existing day file over the level's limit (1 MiB at level 3), or any file when asked, is
// replaced; one within the limit is appended to without a second byte order mark.
TEST_F(DebugLogTest, AnExistingFileIsReplacedOrAppendedTo)
{
    const struct
    {
        size_t size;
        uint8_t recreate;
        bool replaced;
    } cases[] = {{1536 * 1024, 0, true}, {512 * 1024, 0, false}, {100, 1, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes, recreate " << int{c.recreate});
        WriteFileOfSize(LogPath(), c.size);
        stDebugLogOptions options;
        options.recreateFile = c.recreate;
        ASSERT_EQ(StartDebugLog(3, LogPath(), &options), 0);
        StopDebugLog();
        const std::string text = ReadLog();
        if (c.replaced) {
            EXPECT_EQ(text.substr(0, 3), kBom);
            EXPECT_LT(text.size(), 4096u);
        } else {
            EXPECT_GT(text.size(), c.size);
            EXPECT_EQ(text.substr(0, 3), "ooo");
            EXPECT_EQ(text.find(kBom), std::string::npos);
        }
    }
}

TEST_F(DebugLogTest, LevelFourHasNoSizeLimit)
{
    {
        std::ofstream out(m_dir.File("TYXDebug_2026-12-08.log"), std::ios::binary);
    }
    // A sparse file far beyond the largest limit costs no disk.
    ASSERT_EQ(truncate(m_dir.File("TYXDebug_2026-12-08.log").c_str(), 80LL * 1024 * 1024), 0);
    ASSERT_EQ(StartDebugLog(4, LogPath()), 0);
    EXPECT_GT(TYX_LOG(4, L"kept"), 0);
    StopDebugLog();
    EXPECT_GT(std::filesystem::file_size(m_dir.File("TYXDebug_2026-12-08.log")), 80u * 1024 * 1024);
}

TEST_F(DebugLogTest, MessagesAreDroppedOnceTheFileReachesItsLimit)
{
    ASSERT_EQ(StartDebugLog(1, LogPath()), 0); // 128 KiB
    const std::wstring text(1000, L'y');
    int dropped = 0;
    for (int i = 0; i < 100000 && dropped == 0; ++i) {
        const int32_t result = TYX_LOG(1, L"%s", text.c_str());
        ASSERT_GE(result, 0);
        if (result == 0)
            dropped = 1;
    }
    EXPECT_EQ(dropped, 1);
    EXPECT_EQ(TYX_LOG(1, L"still over"), 0);
    StopDebugLog();
    EXPECT_EQ(ReadLog().find("still over"), std::string::npos);
}

TEST_F(DebugLogTest, AFullDiskBoundsTheQueueAndTheDroppedCountIsWrittenOnceThereIsRoom)
{
    CSmallFileSystem disk(m_dir.File("logs"), 2 * 1024 * 1024);
    if (!disk.Mounted())
        GTEST_SKIP() << "no tmpfs can be mounted here (needs root): the full-disk case is not run";
    const std::filesystem::path file = disk.Path() / "TYXDebug_2026-12-08.log";
    ASSERT_EQ(StartDebugLog(4, file.wstring()), 0);
    ASSERT_TRUE(disk.Fill());

    // Messages until the first is dropped (without a bound every one would stay queued: 40 MB)...
    const std::wstring text(400, L'q');
    int accepted = 0;
    int dropped = 0;
    int number = 0;
    for (; number < 100000 && dropped == 0; ++number) {
        const int32_t result = TYX_LOG(4, L"full %06d %s", number, text.c_str());
        ASSERT_GE(result, 0);
        (result > 0 ? accepted : dropped)++;
    }
    ASSERT_GT(dropped, 0) << "messages are dropped while the file cannot be written";
    // ...and from then on every one, while the disk stays full.
    for (int i = 0; i < 1000; ++i, ++number)
        EXPECT_EQ(TYX_LOG(4, L"full %06d %s", number, text.c_str()), 0);
    dropped += 1000;

    disk.MakeRoom();
    const std::string line = std::to_string(dropped) + " log messages were dropped while the log file could not be written.";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ReadFile(file).find(line) == std::string::npos && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    StopDebugLog();
    const std::string written = ReadFile(file);
    EXPECT_NE(written.find(line), std::string::npos) << "the writer tries the file again";
    // Everything accepted is written, once, in order.
    int kept = 0;
    int last = -1;
    const std::regex pattern("\\] full ([0-9]{6}) q+-\\[");
    for (const std::string &entry : Lines(written)) {
        std::smatch match;
        if (!std::regex_search(entry, match, pattern))
            continue;
        EXPECT_GT(std::stoi(match[1]), last);
        last = std::stoi(match[1]);
        ++kept;
    }
    EXPECT_EQ(kept, accepted);
}

TEST_F(DebugLogTest, ManyThreadsLoggingWhileTheLogStopsLoseNothingAccepted)
{
    constexpr int kThreads = 8;
    constexpr int kMessages = 1000;
    ASSERT_EQ(StartDebugLog(8, LogPath()), 0);
    std::latch halfway(kThreads);
    std::vector<int> accepted(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kMessages; ++i) {
                if (i == kMessages / 2)
                    halfway.count_down();
                const int32_t result = TYX_LOG(5, L"thread %d message %d", t, i);
                if (result > 0)
                    ++accepted[t];
                else
                    EXPECT_EQ(result, TYX_LOG_ERR_STOPPED);
            }
        });
    }
    halfway.wait();
    StopDebugLog();
    for (std::thread &thread : threads)
        thread.join();

    std::vector<int> written(kThreads, 0);
    const std::regex pattern("\\] thread ([0-9]+) message ([0-9]+)-\\[");
    for (const std::string &line : Lines(ReadLog())) {
        std::smatch match;
        if (std::regex_search(line, match, pattern))
            ++written[std::stoi(match[1])];
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_GE(accepted[t], kMessages / 2);
        EXPECT_EQ(written[t], accepted[t]) << "thread " << t;
    }
}

} // namespace
