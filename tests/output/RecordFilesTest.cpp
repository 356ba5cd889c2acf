#include "WriterTestSupport.h"
#include "core/TYXConfigRecords.h"
#include "core/TYXUtils.h"
#include "output/RecordFiles.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <fcntl.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second = 0)
{
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    return time;
}

stRecordFileConfig Settings(const fs::path &root)
{
    stRecordFileConfig settings;
    settings.Container = 4;
    settings.SubFolderDate = 0;
    settings.SubFolderCaseNo = 0;
    settings.CaseNamePrefix = 0;
    settings.CyclePrefix = 0;
    settings.RootFolder = StringToWString(root.string());
    return settings;
}

std::wstring Relative(const std::wstring &path, const fs::path &root)
{
    return path.substr(StringToWString(root.string()).size());
}

void Touch(const fs::path &path, std::time_t modified)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
    struct timespec times[2] = {{modified, 0}, {modified, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

} // namespace

TEST(RecordFileNameTest, FolderAndNamePartsFollowTheSettings)
{
    CTempDir dir;
    const stRecordCaseTexts texts{L"C-17", L"Cycle-3", L"Harbour"};
    const std::tm when = At(2024, 3, 5, 14, 7);
    struct stCase
    {
        uint8_t date, caseNo, caseName, cycle;
        std::wstring suffix;
        std::wstring expected;
    };
    const stCase cases[] = {
        {0, 0, 0, 0, L"", L"/2024-03-05_14-07.mp4"},
        {1, 1, 1, 1, L"cam", L"/2024-03/C-17/Harbour_Cycle-3_cam_2024-03-05_14-07.mp4"},
        {0, 0, 0, 1, L"", L"/Cycle-3_2024-03-05_14-07.mp4"},
        {0, 0, 1, 0, L"", L"/Harbour_2024-03-05_14-07.mp4"},
    };
    for (const stCase &c : cases) {
        stRecordFileConfig settings = Settings(dir.Path());
        settings.SubFolderDate = c.date;
        settings.SubFolderCaseNo = c.caseNo;
        settings.CaseNamePrefix = c.caseName;
        settings.CyclePrefix = c.cycle;
        settings.ContentsSuffix = c.suffix;
        EXPECT_EQ(Relative(MakeRecordFileName(settings, texts, when), dir.Path()), c.expected);
    }
    EXPECT_TRUE(fs::is_directory(dir.File("2024-03/C-17"))) << "the folders are made on the way";

    // No case number, no case folder; an unknown container, no name at all.
    stRecordFileConfig settings = Settings(dir.Path());
    settings.SubFolderCaseNo = 1;
    EXPECT_EQ(Relative(MakeRecordFileName(settings, stRecordCaseTexts{}, when), dir.Path()), L"/2024-03-05_14-07.mp4");
    settings.Container = 6;
    EXPECT_TRUE(MakeRecordFileName(settings, texts, when).empty());
    settings.Container = 5;
    EXPECT_NE(MakeRecordFileName(settings, texts, when).find(L".mov"), std::wstring::npos);
}

// Case texts come from remote commands: none may lead out of the record folder.
TEST(RecordFileNameTest, TextsThatLeaveTheRootAreRefused)
{
    CTempDir dir;
    stRecordFileConfig settings = Settings(dir.Path());
    settings.SubFolderCaseNo = 1;
    settings.CaseNamePrefix = 1;
    const std::tm when = At(2024, 3, 5, 14, 7);
    for (const std::wstring &bad : std::vector<std::wstring>{L"../../etc", L"a/b", L"a\\b", L"..", L"x\x01y", L"x\ny"}) {
        EXPECT_FALSE(IsSafeRecordNamePart(bad));
        EXPECT_TRUE(MakeRecordFileName(settings, stRecordCaseTexts{bad, L"", L""}, when).empty());
        EXPECT_TRUE(MakeRecordFileName(settings, stRecordCaseTexts{L"", L"", bad}, when).empty());
    }
    EXPECT_TRUE(IsSafeRecordNamePart(L"案件-7 (night)"));
    // The operator's own root is taken as it is; only what cannot be a path is refused.
    EXPECT_TRUE(IsUsableRecordRoot(L"./records"));
    EXPECT_TRUE(IsUsableRecordRoot(L"../records"));
    EXPECT_TRUE(IsUsableRecordRoot(L"/data/rec..old/"));
    EXPECT_FALSE(IsUsableRecordRoot(L""));
    EXPECT_FALSE(IsUsableRecordRoot(L"rec\nords"));
    EXPECT_EQ(fs::directory_iterator(dir.Path()) == fs::directory_iterator(), true) << "nothing was made";
}

// Two files of one minute must not share a name: the second would overwrite the first.
TEST(RecordFileNameTest, ASecondFileOfTheSameMinuteGetsANumber)
{
    CTempDir dir;
    const std::wstring first = StringToWString(dir.File("2024-03-05_14-07.mp4").string());
    EXPECT_EQ(MakeUniqueRecordPath(first), first);
    std::ofstream(dir.File("2024-03-05_14-07.mp4")) << "a";
    std::ofstream(dir.File("2024-03-05_14-07_1.mp4")) << "b";
    EXPECT_EQ(MakeUniqueRecordPath(first), StringToWString(dir.File("2024-03-05_14-07_2.mp4").string()));
}

TEST(RecordListTest, OneUtf16LineAFileWithItsTimes)
{
    CTempDir dir;
    const fs::path file = dir.File("Harbour_2024-03-05_14-07.mp4");
    std::ofstream(file) << "data";
    const std::wstring path = StringToWString(file.string());
    ASSERT_EQ(AppendRecordListLine(path, At(2024, 3, 5, 14, 7, 9), At(2024, 3, 5, 14, 37, 7)), 0);
    ASSERT_EQ(AppendRecordListLine(path, At(2024, 3, 5, 14, 37, 7), At(2024, 3, 5, 15, 7, 5)), 0);

    std::ifstream in(dir.File("RecordFileList.txt"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE" "F\0", 4)) << "one byte-order mark, then UTF-16LE";
    EXPECT_EQ(bytes.find("\xFF\xFE", 2), std::string::npos);
    const std::vector<std::wstring> lines = ReadRecordList(dir.File("RecordFileList.txt"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"Filename=Harbour_2024-03-05_14-07.mp4;Begintime=2024-03-05 14:07:09;Endtime=2024-03-05 14:37:07");

    EXPECT_EQ(AppendRecordListLine(StringToWString(dir.File("missing.mp4").string()), At(2024, 1, 1, 0, 0),
                                   At(2024, 1, 1, 0, 0)),
              -2);
}

TEST(RecordCleanUpTest, OldFilesBelowTheRootGoFilesInTheRootStay)
{
    CTempDir dir;
    const std::time_t now = 1800000000;
    const std::time_t old = now - 8 * 86400;
    Touch(dir.File("root-old.mp4"), old);
    Touch(dir.File("2024-01/old.mp4"), old);
    Touch(dir.File("2024-02/case/old.mp4"), old);
    Touch(dir.File("2024-02/young.mp4"), now - 3600);
    // A link into another tree is never followed.
    CTempDir outside;
    Touch(outside.File("precious.mp4"), old);
    fs::create_directory_symlink(outside.Path(), dir.File("2024-02/link"));

    EXPECT_EQ(CleanUpOutOfDateRecords(StringToWString(dir.Path().string()), 7, now), 2);
    EXPECT_TRUE(fs::exists(dir.File("root-old.mp4")));
    EXPECT_FALSE(fs::exists(dir.File("2024-01"))) << "an emptied folder goes";
    EXPECT_FALSE(fs::exists(dir.File("2024-02/case")));
    EXPECT_TRUE(fs::exists(dir.File("2024-02/young.mp4")));
    EXPECT_TRUE(fs::exists(outside.File("precious.mp4")));
}

// A root that is not the writers' alone (the program's folder, a home folder) keeps everything no
// record writer made, however old, and says so once.
TEST(RecordCleanUpTest, OnlyWhatARecordWriterMakesGoes)
{
    CTempDir dir;
    CLogCapture log;
    const std::time_t now = 1800000000;
    const std::time_t old = now - 30 * 86400;
    Touch(dir.File("logs/TYXDebug_2024-01-05.log"), old);
    Touch(dir.File("clips/holiday.mkv"), old);
    Touch(dir.File("clips/holiday.MP4"), old);
    Touch(dir.File("2024-01/Harbour_2024-01-05_10-00.mp4"), old);
    Touch(dir.File("2024-01/RecordFileList.txt"), old);
    Touch(dir.File("2024-02/Harbour_2024-02-05_10-00.flv"), old);
    Touch(dir.File("2024-02/notes.txt"), old);
    fs::create_directory(dir.File("empty"));

    EXPECT_EQ(CleanUpOutOfDateRecords(StringToWString(dir.Path().string()), 7, now), 3);
    EXPECT_TRUE(fs::exists(dir.File("logs/TYXDebug_2024-01-05.log")));
    EXPECT_TRUE(fs::exists(dir.File("clips/holiday.mkv")));
    EXPECT_TRUE(fs::exists(dir.File("clips/holiday.MP4"))) << "no writer names a file so";
    EXPECT_FALSE(fs::exists(dir.File("2024-01"))) << "the recordings and their list go, then their folder";
    EXPECT_FALSE(fs::exists(dir.File("2024-02/Harbour_2024-02-05_10-00.flv")));
    EXPECT_TRUE(fs::exists(dir.File("2024-02/notes.txt")));
    EXPECT_TRUE(fs::exists(dir.File("empty"))) << "a folder the clean-up did not empty stays";
    EXPECT_EQ(log.Count(L"files that are not recordings", 3), 1);
    EXPECT_EQ(log.Count(L"holds 4 files"), 1);

    log.Clear();
    EXPECT_EQ(CleanUpOutOfDateRecords(StringToWString(dir.Path().string()), 7, now), 0);
    EXPECT_EQ(log.Count(L"files that are not recordings", 3), 1) << "once for each clean-up";
}
