#pragma once

// Naming, listing and clean-up of record files: the parts of recording that need no worker.

#include <cstdint>
#include <ctime>
#include <string>

struct stRecordFileConfig;

// The case texts a recording is filed under (set by the record sub-path command).
struct stRecordCaseTexts
{
    std::wstring caseNumber;
    std::wstring cycleNumber;
    std::wstring caseName;
};

// The file extension of a container code ("mp4" for 4), empty for an unknown code.
std::wstring RecordContainerExtension(int32_t container);

// True for a text that may become a folder or a part of a file name: no "..", no separator, no
// control character, at most maxLength characters. An empty text passes.
bool IsSafeRecordNamePart(const std::wstring &text, size_t maxLength = 128);
// True for the root folder of the configuration: the operator's own path, taken as it is ("." and
// ".." included; a relative one means the program's folder, where the program runs), when it is
// not empty and has no control character.
bool IsUsableRecordRoot(const std::wstring &root);

// The path of the next record file for the local time: <root>/[<year>-<month>/][<case number>/]
// [<case name>][_<cycle>][_<suffix>]_<year>-<month>-<day>_<hour>-<minute>.<extension>, creating
// the folders on the way. Empty when the container is unknown or a text is not a safe name part.
std::wstring MakeRecordFileName(const stRecordFileConfig &settings, const stRecordCaseTexts &texts,
                                const std::tm &localTime);
// The path itself when no file has it, else the first free "<stem>_<n><extension>" (n from 1), so
// that a second file of the same minute never overwrites the first.
std::wstring MakeUniqueRecordPath(const std::wstring &path);

// The list line of a finished file: "Filename=...;Begintime=...;Endtime=...".
std::wstring FormatRecordListLine(const std::wstring &fileName, const std::tm &begin, const std::tm &end);
// Appends one line to "RecordFileList.txt" in the file's folder, as UTF-16LE text with CR LF line
// ends (and the byte-order mark when the list is new): 0, -2 when the file does not exist, -4
// without folder or file part, -8 when the list cannot be opened or written.
int32_t AppendRecordListLine(const std::wstring &recordFile, const std::tm &begin, const std::tm &end);

// Enters in the list of its folder every record file below root (recursively, as the clean-up
// walks) that the list lacks and no writer holds: one whose run died before its line was written,
// whether its writer had finished it or not. Its begin time is the one its name gives, its end
// time its last write. A writer holds its file from its creation until its line is written. The
// number of files entered.
int32_t ListUnlistedRecordFiles(const std::wstring &root);

// Removes the files of record writers (the record containers' extensions and the list file) below
// folder (recursively, never following links or leaving the file system) whose time is at least
// ageSeconds before now, and every folder, folder included, that this left empty. Any other file
// stays (one level-3 line counts them). The number of files removed.
int32_t RemoveOutOfDateFiles(const std::wstring &folder, int64_t ageSeconds, std::time_t now);
// RemoveOutOfDateFiles on every subfolder of root, with one line for all (files directly in root
// stay): the number removed.
int32_t CleanUpOutOfDateRecords(const std::wstring &root, int32_t storageLifeDays, std::time_t now);
