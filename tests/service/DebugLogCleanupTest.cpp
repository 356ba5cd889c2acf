#include "service/dGlobalFuncs.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;

namespace {

constexpr int64_t DAY = 86400;

void MakeFile(const fs::path &path, size_t bytes, int64_t ageSeconds)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
}

TEST(DebugLogCleanupTest, OldAndOversizedLogsGoOtherFilesStay)
{
    CTempDir dir;
    const fs::path logs = dir.Path() / "logs";
    MakeFile(logs / "TYXDebug_2024-01-01.log", 10, 8 * DAY);    // old
    MakeFile(logs / "TYXDebug_2024-01-09.LOG", 10, 8 * DAY);    // old, the extension in capitals
    MakeFile(logs / "notes.txt", 10, 30 * DAY);                 // not a log
    MakeFile(logs / "TYXDebug_today.log", 2048, 60);            // exactly at the limit
    MakeFile(logs / "TYXDebug_big.log", 2049, 60);              // one byte over it
    MakeFile(logs / "old/TYXDebug_2023-12-01.log", 10, 40 * DAY); // in a sub-folder
    MakeFile(logs / "readonly.log", 10, 9 * DAY);
    fs::permissions(logs / "readonly.log", fs::perms::owner_read | fs::perms::group_read);
    // A link to a folder outside is not followed: the files there are not the logs'.
    MakeFile(dir.Path() / "elsewhere/precious.log", 10, 90 * DAY);
    fs::create_directory_symlink(dir.Path() / "elsewhere", logs / "link");
    fs::create_symlink(dir.Path() / "elsewhere/precious.log", logs / "link.log");

    EXPECT_EQ(CleanupDebugLogs(logs.wstring(), 7 * DAY, 2, L".log"), 5);
    EXPECT_FALSE(fs::exists(logs / "TYXDebug_2024-01-01.log"));
    EXPECT_FALSE(fs::exists(logs / "TYXDebug_2024-01-09.LOG"));
    EXPECT_FALSE(fs::exists(logs / "TYXDebug_big.log"));
    EXPECT_FALSE(fs::exists(logs / "old/TYXDebug_2023-12-01.log"));
    EXPECT_FALSE(fs::exists(logs / "readonly.log"));
    EXPECT_TRUE(fs::exists(logs / "notes.txt"));
    EXPECT_TRUE(fs::exists(logs / "TYXDebug_today.log"));
    EXPECT_TRUE(fs::exists(dir.Path() / "elsewhere/precious.log"));
    EXPECT_TRUE(fs::is_symlink(logs / "link.log"));
}

TEST(DebugLogCleanupTest, WithoutExtensionEveryDueFileGoesAndAMissingFolderGivesNone)
{
    CTempDir dir;
    MakeFile(dir.Path() / "a.txt", 1, 2 * DAY);
    MakeFile(dir.Path() / "b", 1, 2 * DAY);
    MakeFile(dir.Path() / "c.log", 1, 60);
    EXPECT_EQ(CleanupDebugLogs(dir.Path().wstring(), DAY, 8192, nullptr), 2);
    EXPECT_TRUE(fs::exists(dir.Path() / "c.log"));
    EXPECT_EQ(CleanupDebugLogs((dir.Path() / "missing").wstring(), DAY, 8192, L".log"), 0);
    EXPECT_EQ(CleanupDebugLogs(L"", DAY, 8192, L".log"), 0);
}

} // namespace
