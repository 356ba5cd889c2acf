#pragma once

#include "config/ConfigText.h"
#include "core/TYXWorkerConfig.h"
#include "host/GlobalVars.h"

#include <cstdint>
#include <list>
#include <map>
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

// ---- look-ups in the configuration registries (no lock taken: start-up and command processing) ----

// True when a record of the registry has the worker id or a name equal to name ignoring case.
template <typename Record>
bool HasWorkerConfig(const WorkerConfigRegistry<Record> &registry, int32_t workerId, const std::wstring &name)
{
    for (const auto &[key, record] : registry) {
        if (record.WorkerId == workerId || EqualsNoCase(record.Name, name))
            return true;
    }
    return false;
}

// The worker id of the first record (in name order) of the kind's registry (1, 3, 4, 6, 7, 8, 9)
// whose name equals alias ignoring case, with the record; -1 when none, 0 for another kind.
int32_t FindWorkerConfigByAlias(int32_t kind, const std::wstring &alias, const stTYXWorkerConfig **config = nullptr);

// The id to connect to for a parsed reference: an output stream id, or the worker id when the
// reference names no output; 0 or -1 when nothing is found.
int32_t LookupWorkerReference(const stTYXWorkerReference &reference);
// Parses and looks up a reference for a consumer of the kind: the id, -2 for a text that does not
// parse, -16 when the producer's kind may not feed the consumer, or the look-up's 0 or -1.
int32_t ResolveWorkerId(std::wstring text, int32_t consumerKind);
// Media types a consumer's input may be asked to carry.
constexpr int32_t INPUT_MEDIA_ANY = -1;
constexpr int32_t INPUT_MEDIA_VIDEO = 0;
constexpr int32_t INPUT_MEDIA_AUDIO = 1;

// Why a reference text was refused, for a code of ResolveWorkerReference of 0 or below.
std::wstring ReferenceParseFault(int32_t code);
// The input of a consumer of the kind: the producer's output stream id, or 0 or below with the
// reason. Beyond ResolveWorkerId, it refuses an id that is no output stream of the producer (a
// reference without a role names the worker itself, on which nothing is sent) and, unless
// mediaType is INPUT_MEDIA_ANY, a stream of the other media type.
int32_t ResolveInputStreamId(const std::wstring &text, int32_t consumerKind, int32_t mediaType, std::wstring &reason);
// Resolves a comma list of references for a media writer into stream id -> reference text (the
// first text of an id stays); the number of ids found.
int32_t ResolveWorkerIdList(std::wstring text, std::map<int32_t, std::wstring> &ids);
