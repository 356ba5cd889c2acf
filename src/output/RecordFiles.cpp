#include "output/RecordFiles.h"

#include "core/TYXConfigRecords.h"
#include "core/TYXUtils.h"
#include "core/TYXWorker.h"
#include "core/debuglog.h"
#include "platform/FileHold.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char *kListFileName = "RecordFileList.txt";

// Paths cross to the file system as UTF-8, whatever the process locale says.
fs::path ToPath(const std::wstring &text)
{
    return fs::path(WStringToString(text));
}

bool HasControlCharacter(const std::wstring &text)
{
    for (wchar_t c : text) {
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

// Creates the folder (and what leads to it) when missing; a failure is printed and naming goes
// on, so that the open of the file reports it.
void EnsureFolder(const std::wstring &folder)
{
    std::error_code error;
    const fs::path path = ToPath(folder);
    if (fs::is_directory(path, error))
        return;
    fs::create_directories(path, error);
    if (error) {
        if (CTYXWorker::IsProcessScreenOutputOn())
            ConsolePrintf("Directory:[%s] creating failed!\n", WStringToString(folder).c_str());
        TYX_LOG(3, L"Directory:[%s] creating failed!", folder.c_str());
    }
}

void AppendSeparator(std::wstring &path)
{
    if (path.empty() || (path.back() != L'/' && path.back() != L'\\'))
        path.push_back(L'/');
}

std::wstring TwoDigits(int value)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"%02d", value);
    return text;
}

// UTF-16LE bytes of wide text, with surrogate pairs beyond the basic plane.
void AppendUtf16Le(std::string &out, const std::wstring &text)
{
    auto put = [&out](uint32_t unit) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>((unit >> 8) & 0xFF));
    };
    for (wchar_t c : text) {
        auto code = static_cast<uint32_t>(c);
        if (code >= 0x10000 && code <= 0x10FFFF) {
            code -= 0x10000;
            put(0xD800 + (code >> 10));
            put(0xDC00 + (code & 0x3FF));
        } else {
            put(code > 0x10FFFF ? 0xFFFD : code);
        }
    }
}

// The container codes a record writer names its files by.
constexpr int32_t kRecordContainers[] = {1, 2, 3, 4, 5, 10};

// Whether a record writer makes files of that name: its list, or a file of a record container.
bool IsRecordWriterFile(const fs::path &file)
{
    const std::string name = file.filename().string();
    if (name == kListFileName)
        return true;
    const std::string extension = file.extension().string();
    for (int32_t container : kRecordContainers) {
        if (extension == "." + WStringToString(RecordContainerExtension(container)))
            return true;
    }
    return false;
}

struct stCleanUpWalk
{
    int64_t ageSeconds = 0;
    std::time_t now = 0;
    uint64_t device = 0;
    int32_t removed = 0;
    int32_t foreign = 0; // files met that no record writer makes
};

// Removes the old files of record writers below folder, and the folder itself when that left it
// empty: true when it went. A folder that held nothing to remove stays, as does every other file.
bool CleanFolder(const fs::path &folder, stCleanUpWalk &walk)
{
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    bool changed = false;
    for (const fs::path &entry : entries) {
        const stFileFacts facts = GetFileFacts(entry.string());
        // Links are never followed nor removed, and another file system is never entered.
        if (facts.device != walk.device)
            continue;
        if (facts.kind == EFileKind::Folder) {
            changed = CleanFolder(entry, walk) || changed;
        } else if (facts.kind == EFileKind::File && !IsRecordWriterFile(entry)) {
            ++walk.foreign;
        } else if (facts.kind == EFileKind::File && walk.now - facts.modified >= walk.ageSeconds &&
                   fs::remove(entry, error)) {
            ++walk.removed;
            changed = true;
        }
    }
    return changed && fs::remove(folder, error); // only an emptied folder goes
}

// A root shared with other files is the operator's to know about: said once per clean-up.
void ReportForeignFiles(const std::wstring &root, int32_t foreign)
{
    if (foreign > 0)
        TYX_LOG(3, L"The record root [%s] holds %d files that are not recordings: the storage-life clean-up leaves them.",
                root.c_str(), foreign);
}

// ---- files left unlisted ----

// UTF-16LE text (with or without byte-order mark) as wide text.
std::wstring FromUtf16Le(const std::string &bytes)
{
    std::wstring text;
    size_t i = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE
                   ? 2
                   : 0;
    for (; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t low = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
}

// The file names that the list of a folder holds.
std::set<std::wstring> ReadListedNames(const fs::path &list)
{
    std::set<std::wstring> names;
    std::ifstream in(list, std::ios::binary);
    const std::wstring text = FromUtf16Le(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    const std::wstring key = L"Filename=";
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        const size_t times = line.rfind(L";Begintime=");
        if (line.rfind(key, 0) == 0 && times != std::wstring::npos)
            names.insert(line.substr(key.size(), times - key.size()));
    }
    return names;
}

// The minute a record file was begun, from the date and time that end its name (before a "_<n>"
// that keeps it apart from another file of that minute).
bool BeginTimeFromName(const std::wstring &stem, std::tm &begin)
{
    static const std::wstring pattern = L"dddd-dd-dd_dd-dd";
    for (size_t at = stem.size() >= pattern.size() ? stem.size() - pattern.size() + 1 : 0; at-- > 0;) {
        bool matches = true;
        for (size_t i = 0; matches && i < pattern.size(); ++i)
            matches = pattern[i] == L'd' ? std::iswdigit(stem[at + i]) != 0 : stem[at + i] == pattern[i];
        if (!matches)
            continue;
        const std::string text = WStringToString(stem.substr(at, pattern.size()));
        begin = std::tm{};
        if (std::sscanf(text.c_str(), "%4d-%2d-%2d_%2d-%2d", &begin.tm_year, &begin.tm_mon, &begin.tm_mday,
                        &begin.tm_hour, &begin.tm_min) != 5)
            return false;
        begin.tm_year -= 1900;
        begin.tm_mon -= 1;
        return true;
    }
    return false;
}

// Whether a record writer makes files of that name other than its list.
bool IsRecordFile(const fs::path &file)
{
    return file.filename() != kListFileName && IsRecordWriterFile(file);
}

// Enters the file when no writer holds it and its folder's list lacks it: true when it did.
bool ListWhenUnlisted(const fs::path &file, const fs::path &list, std::time_t modified)
{
    // Held alone while it is judged and entered: a writer keeps its file held until it has entered
    // it, so a file that nobody holds now is either listed already (the list is read again under
    // the hold) or left by a run that died. An empty file is one a writer has only just made.
    CFileHold alone;
    std::error_code error;
    const std::wstring name = StringToWString(file.filename().string());
    if (!alone.TakeAlone(file.string()) || fs::file_size(file, error) == 0 || error ||
        ReadListedNames(list).count(name) != 0)
        return false;
    std::tm end{};
    localtime_r(&modified, &end);
    std::tm begin = end;
    if (!BeginTimeFromName(StringToWString(file.stem().string()), begin))
        begin = end;
    return AppendRecordListLine(StringToWString(file.string()), begin, end) == 0;
}

// Lists the unlisted record files in folder and below it: the number entered.
int32_t ListUnlistedIn(const fs::path &folder, uint64_t device)
{
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    int32_t entered = 0;
    bool listRead = false;
    std::set<std::wstring> listed;
    for (const fs::path &entry : entries) {
        const stFileFacts facts = GetFileFacts(entry.string());
        if (facts.device != device)
            continue;
        if (facts.kind == EFileKind::Folder) {
            entered += ListUnlistedIn(entry, device);
            continue;
        }
        if (facts.kind != EFileKind::File || !IsRecordFile(entry))
            continue;
        // The list first: a folder of months of listed files is not looked at file by file.
        if (!listRead) {
            listed = ReadListedNames(folder / kListFileName);
            listRead = true;
        }
        const std::wstring name = StringToWString(entry.filename().string());
        if (listed.count(name) == 0 && ListWhenUnlisted(entry, folder / kListFileName, facts.modified)) {
            listed.insert(name);
            ++entered;
        }
    }
    return entered;
}

} // namespace

std::wstring RecordContainerExtension(int32_t container)
{
    switch (container) {
    case 1: return L"asf";
    case 2: return L"avi";
    case 3: return L"flv";
    case 4: return L"mp4";
    case 5: return L"mov";
    case 10: return L"mp3";
    default: return std::wstring();
    }
}

bool IsSafeRecordNamePart(const std::wstring &text, size_t maxLength)
{
    if (text.size() > maxLength || HasControlCharacter(text))
        return false;
    if (text.find(L"..") != std::wstring::npos)
        return false;
    return text.find_first_of(L"/\\") == std::wstring::npos;
}

bool IsUsableRecordRoot(const std::wstring &root)
{
    return !root.empty() && !HasControlCharacter(root);
}

std::wstring MakeRecordFileName(const stRecordFileConfig &settings, const stRecordCaseTexts &texts,
                                const std::tm &localTime)
{
    const std::wstring extension = RecordContainerExtension(settings.Container);
    if (extension.empty() || !IsUsableRecordRoot(settings.RootFolder))
        return std::wstring();
    for (const std::wstring *part : {&texts.caseNumber, &texts.cycleNumber, &texts.caseName, &settings.ContentsSuffix}) {
        if (!IsSafeRecordNamePart(*part))
            return std::wstring();
    }
    const int year = localTime.tm_year + 1900;
    const int month = localTime.tm_mon + 1;

    std::wstring path = settings.RootFolder;
    EnsureFolder(path);
    AppendSeparator(path);
    if (settings.SubFolderDate) {
        path += std::to_wstring(year) + L"-" + TwoDigits(month);
        EnsureFolder(path);
        AppendSeparator(path);
    }
    if (settings.SubFolderCaseNo && !texts.caseNumber.empty()) {
        path += texts.caseNumber;
        EnsureFolder(path);
        AppendSeparator(path);
    }
    std::wstring name;
    if (settings.CaseNamePrefix && !texts.caseName.empty())
        name += texts.caseName;
    auto appendPart = [&name](const std::wstring &part) {
        if (!name.empty())
            name += L"_";
        name += part;
    };
    if (settings.CyclePrefix && !texts.cycleNumber.empty())
        appendPart(texts.cycleNumber);
    if (!settings.ContentsSuffix.empty())
        appendPart(settings.ContentsSuffix);
    appendPart(std::to_wstring(year) + L"-" + TwoDigits(month) + L"-" + TwoDigits(localTime.tm_mday) + L"_" +
               TwoDigits(localTime.tm_hour) + L"-" + TwoDigits(localTime.tm_min) + L"." + extension);
    return path + name;
}

std::wstring MakeUniqueRecordPath(const std::wstring &path)
{
    std::error_code error;
    if (path.empty() || !fs::exists(ToPath(path), error))
        return path;
    const size_t slash = path.find_last_of(L"/\\");
    size_t dot = path.find_last_of(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash))
        dot = path.size();
    const std::wstring stem = path.substr(0, dot);
    const std::wstring extension = path.substr(dot);
    for (int n = 1; n < 100000; ++n) {
        std::wstring candidate = stem + L"_" + std::to_wstring(n) + extension;
        if (!fs::exists(ToPath(candidate), error))
            return candidate;
    }
    return path;
}

std::wstring FormatRecordListLine(const std::wstring &fileName, const std::tm &begin, const std::tm &end)
{
    wchar_t times[160];
    std::swprintf(times, 160, L";Begintime=%04d-%02d-%02d %02d:%02d:%02d;Endtime=%04d-%02d-%02d %02d:%02d:%02d",
                  begin.tm_year + 1900, begin.tm_mon + 1, begin.tm_mday, begin.tm_hour, begin.tm_min, begin.tm_sec,
                  end.tm_year + 1900, end.tm_mon + 1, end.tm_mday, end.tm_hour, end.tm_min, end.tm_sec);
    return L"Filename=" + fileName + times;
}

int32_t AppendRecordListLine(const std::wstring &recordFile, const std::tm &begin, const std::tm &end)
{
    std::error_code error;
    if (!fs::is_regular_file(ToPath(recordFile), error))
        return -2;
    const size_t slash = recordFile.find_last_of(L"/\\");
    if (slash == std::wstring::npos || slash == 0 || slash + 1 >= recordFile.size())
        return -4;
    const std::wstring folder = recordFile.substr(0, slash + 1);
    const std::wstring fileName = recordFile.substr(slash + 1);
    const std::string listPath = WStringToString(folder) + kListFileName;

    // The list is read by tools made for the original UTF-16 text file: byte-order mark once,
    // CR LF line ends.
    std::string bytes;
    if (GetFileFacts(listPath).kind == EFileKind::Missing || fs::file_size(listPath, error) == 0)
        bytes = "\xFF\xFE";
    AppendUtf16Le(bytes, FormatRecordListLine(fileName, begin, end) + L"\r\n");
    std::FILE *file = std::fopen(listPath.c_str(), "ab");
    if (!file)
        return -8;
    const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), file);
    const bool flushed = std::fflush(file) == 0;
    std::fclose(file);
    return written == bytes.size() && flushed ? 0 : -8;
}

int32_t ListUnlistedRecordFiles(const std::wstring &root)
{
    const fs::path path = ToPath(root);
    const stFileFacts facts = GetFileFacts(path.string());
    if (facts.kind != EFileKind::Folder)
        return 0;
    return ListUnlistedIn(path, facts.device);
}

int32_t RemoveOutOfDateFiles(const std::wstring &folder, int64_t ageSeconds, std::time_t now)
{
    const fs::path path = ToPath(folder);
    const stFileFacts facts = GetFileFacts(path.string());
    if (facts.kind != EFileKind::Folder)
        return 0;
    stCleanUpWalk walk{ageSeconds, now, facts.device};
    CleanFolder(path, walk);
    ReportForeignFiles(folder, walk.foreign);
    return walk.removed;
}

int32_t CleanUpOutOfDateRecords(const std::wstring &root, int32_t storageLifeDays, std::time_t now)
{
    const fs::path path = ToPath(root);
    const stFileFacts rootFacts = GetFileFacts(path.string());
    if (rootFacts.kind != EFileKind::Folder)
        return 0;
    std::error_code error;
    std::vector<fs::path> folders;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        const stFileFacts facts = GetFileFacts(it->path().string());
        if (facts.kind == EFileKind::Folder && facts.device == rootFacts.device)
            folders.push_back(it->path());
    }
    stCleanUpWalk walk{static_cast<int64_t>(storageLifeDays) * 86400, now, rootFacts.device};
    for (const fs::path &folder : folders)
        CleanFolder(folder, walk);
    ReportForeignFiles(root, walk.foreign);
    return walk.removed;
}
