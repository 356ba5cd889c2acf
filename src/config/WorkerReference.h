#pragma once

#include <cstdint>
#include <list>
#include <string>

// The parsed form of a reference to a configured worker or one of its output streams:
// "Section.Alias[.Role[.ByName.StreamName | .ById.Number]]".
struct stTYXWorkerReference
{
    std::wstring Section;    // 1 to 32 characters
    std::wstring Alias;      // at most 63 characters
    std::wstring Role;
    std::wstring By;         // "ByName", "ById" or empty
    std::wstring StreamName; // at most 63 characters
    int32_t StreamId = -1;
    int32_t SectionKind = 0; // SectionKindFromName(Section)
    int32_t RoleCode = 0;    // ParseRole(Role)
};

// Longest comma list that SplitCommaList takes.
constexpr size_t MAX_COMMA_LIST_TEXT = 1024;

// Appends the trimmed, non-empty items of a comma-separated text to list; the number appended, or
// -1 (text emptied, nothing appended) for an empty text or one over MAX_COMMA_LIST_TEXT characters.
int32_t SplitCommaList(std::wstring &text, std::list<std::wstring> &list);

// Parses a reference text: the number of fields stored (2 to 5), 0 for a text of dots only, or
// -257 empty or over 127 characters, -258 empty section, -260 unknown or over-long section,
// -262 no alias, -264 alias over 63, -266 no role, -268 unknown role, -270 role not allowed for the
// section, -274 empty stream name, -276 stream name over 63, -278 blank stream id, -280 missing or
// negative stream id.
int32_t ResolveWorkerReference(std::wstring text, stTYXWorkerReference &reference);

// The feeding rule on the reference's section kind.
bool IsFeedingKindAllowed(const stTYXWorkerReference &reference, int32_t consumerKind);
