#include "config/WorkerReference.h"

#include "config/ConfigKeywords.h"
#include "config/ConfigText.h"
#include "core/FramePackage.h"
#include "core/TYXUtils.h"

#include <optional>

namespace {

constexpr size_t MAX_REFERENCE_TEXT = 127;
constexpr size_t MAX_SECTION_TEXT = 32;
constexpr size_t MAX_ALIAS_TEXT = 63;

constexpr int32_t REF_BAD_TEXT = -257;
constexpr int32_t REF_NO_SECTION = -258;
constexpr int32_t REF_BAD_SECTION = -260;
constexpr int32_t REF_NO_ALIAS = -262;
constexpr int32_t REF_LONG_ALIAS = -264;
constexpr int32_t REF_NO_ROLE = -266;
constexpr int32_t REF_BAD_ROLE = -268;
constexpr int32_t REF_ROLE_REFUSED = -270;
constexpr int32_t REF_NO_STREAM_NAME = -274;
constexpr int32_t REF_LONG_STREAM_NAME = -276;
constexpr int32_t REF_BLANK_STREAM_ID = -278;
constexpr int32_t REF_BAD_STREAM_ID = -280;

struct stField
{
    std::wstring text;     // trimmed
    bool dotFollows = false;
};

// Fields are the runs between dots; runs of dots separate like one.
class CDotFields
{
public:
    explicit CDotFields(const std::wstring &text) : m_text(text) {}

    std::optional<stField> Next()
    {
        while (m_pos < m_text.size() && m_text[m_pos] == L'.')
            ++m_pos;
        if (m_pos >= m_text.size())
            return std::nullopt;
        const size_t end = m_text.find(L'.', m_pos);
        stField field;
        field.text = m_text.substr(m_pos, end == std::wstring::npos ? std::wstring::npos : end - m_pos);
        field.dotFollows = end != std::wstring::npos;
        m_pos = end == std::wstring::npos ? m_text.size() : end;
        TrimWhitespace(field.text);
        return field;
    }

private:
    const std::wstring &m_text;
    size_t m_pos = 0;
};

} // namespace

int32_t SplitCommaList(std::wstring &text, std::list<std::wstring> &list)
{
    if (text.empty() || text.size() > MAX_COMMA_LIST_TEXT) {
        text.clear();
        return -1;
    }
    int32_t appended = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(L',', start);
        std::wstring item = text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
        TrimWhitespace(item);
        if (!item.empty()) {
            list.push_back(std::move(item));
            ++appended;
        }
        if (comma == std::wstring::npos)
            break;
        start = comma + 1;
    }
    return appended;
}

int32_t ResolveWorkerReference(std::wstring text, stTYXWorkerReference &reference)
{
    if (text.empty() || text.size() > MAX_REFERENCE_TEXT)
        return REF_BAD_TEXT;
    CDotFields fields(text);

    const std::optional<stField> section = fields.Next();
    if (!section)
        return 0;
    if (section->text.empty())
        return REF_NO_SECTION;
    reference.Section = section->text;
    reference.SectionKind = SectionKindFromName(reference.Section.c_str());
    if (reference.Section.size() > MAX_SECTION_TEXT || reference.SectionKind == 0)
        return REF_BAD_SECTION;

    const std::optional<stField> alias = section->dotFollows ? fields.Next() : std::nullopt;
    if (!alias || alias->text.empty())
        return REF_NO_ALIAS;
    if (alias->text.size() > MAX_ALIAS_TEXT)
        return REF_LONG_ALIAS;
    reference.Alias = alias->text;
    if (!alias->dotFollows)
        return 2;

    const std::optional<stField> role = fields.Next();
    if (!role || role->text.empty())
        return REF_NO_ROLE;
    reference.Role = role->text;
    reference.RoleCode = ParseRole(reference.Role.c_str());
    if (reference.RoleCode == 0)
        return REF_BAD_ROLE;
    if (!IsRoleAllowedForSection(reference.SectionKind, reference.RoleCode))
        return REF_ROLE_REFUSED;
    if (!role->dotFollows)
        return 3;

    const std::optional<stField> by = fields.Next();
    if (!by)
        return 3;
    reference.By = by->text;
    if (!by->dotFollows)
        return 4;

    if (EqualsNoCase(reference.By, L"ByName")) {
        const std::optional<stField> name = fields.Next();
        if (!name || name->text.empty())
            return REF_NO_STREAM_NAME;
        if (name->text.size() > MAX_ALIAS_TEXT)
            return REF_LONG_STREAM_NAME;
        reference.StreamName = name->text;
        return 5;
    }
    if (EqualsNoCase(reference.By, L"ById")) {
        const std::optional<stField> number = fields.Next();
        if (!number)
            return REF_BAD_STREAM_ID;
        if (number->text.empty())
            return REF_BLANK_STREAM_ID;
        const int32_t id = WideToInt32(number->text, 10);
        if (id < 0)
            return REF_BAD_STREAM_ID;
        reference.StreamId = id;
        return 5;
    }
    return 4;
}

bool IsFeedingKindAllowed(const stTYXWorkerReference &reference, int32_t consumerKind)
{
    return IsFeedingKindAllowed(reference.SectionKind, consumerKind);
}

namespace {

template <typename Record>
int32_t FindByAlias(const WorkerConfigRegistry<Record> &registry, const std::wstring &alias,
                    const stTYXWorkerConfig **config)
{
    for (const auto &[key, record] : registry) {
        if (EqualsNoCase(record.Name, alias)) {
            if (config)
                *config = &record;
            return record.WorkerId;
        }
    }
    return -1;
}

// The first output item of one of two package kinds, 0 when none.
int32_t FirstOutputOfKind(const stTYXWorkerConfig &config, int32_t kindA, int32_t kindB)
{
    for (const stTYXWorkerItemInfo &item : config.GetOutputItems()) {
        if (item.Kind == kindA || item.Kind == kindB)
            return item.Id;
    }
    return 0;
}

} // namespace

int32_t FindWorkerConfigByAlias(int32_t kind, const std::wstring &alias, const stTYXWorkerConfig **config)
{
    if (config)
        *config = nullptr;
    switch (kind) {
    case SECTION_MEDIA_SOURCES: return FindByAlias(CTYXGVMS::MSReaderConfigs(), alias, config);
    case SECTION_AUDIO_DECODERS: return FindByAlias(CTYXGVMS::AudioDecoderConfigs(), alias, config);
    case SECTION_VIDEO_DECODERS: return FindByAlias(CTYXGVMS::VideoDecoderConfigs(), alias, config);
    case SECTION_VIDEO_MIDPROCS: return FindByAlias(CTYXGVMS::VMPConfigs(), alias, config);
    case SECTION_AUDIO_ENCODERS: return FindByAlias(CTYXGVMS::AudioEncoderConfigs(), alias, config);
    case SECTION_VIDEO_ENCODERS: return FindByAlias(CTYXGVMS::VideoEncoderConfigs(), alias, config);
    case SECTION_MEDIA_WRITERS: return FindByAlias(CTYXGVMS::MWriterConfigs(), alias, config);
    default: return 0;
    }
}

int32_t LookupWorkerReference(const stTYXWorkerReference &reference)
{
    const stTYXWorkerConfig *config = nullptr;
    const int32_t id = FindWorkerConfigByAlias(reference.SectionKind, reference.Alias, &config);
    if (id <= 0 || !config)
        return id;
    if (EqualsNoCase(reference.By, L"ById"))
        return config->FindOutputItemId(reference.StreamId, std::wstring());
    if (EqualsNoCase(reference.By, L"ByName"))
        return config->FindOutputItemId(-1, reference.StreamName);
    if (reference.RoleCode == ROLE_VIDEO_OUTPUT)
        return FirstOutputOfKind(*config, TYX_PKT_KIND_RAW_VIDEO, TYX_PKT_KIND_CODED_VIDEO);
    if (reference.RoleCode == ROLE_AUDIO_OUTPUT)
        return FirstOutputOfKind(*config, TYX_PKT_KIND_RAW_AUDIO, TYX_PKT_KIND_CODED_AUDIO);
    return id;
}

int32_t ResolveWorkerId(std::wstring text, int32_t consumerKind)
{
    stTYXWorkerReference reference;
    if (ResolveWorkerReference(std::move(text), reference) <= 0)
        return -2;
    const int32_t id = LookupWorkerReference(reference);
    if (id <= 0)
        return id;
    return IsFeedingKindAllowed(reference, consumerKind) ? id : -16;
}

int32_t ResolveWorkerIdList(std::wstring text, std::map<int32_t, std::wstring> &ids)
{
    ids.clear();
    std::list<std::wstring> items;
    SplitCommaList(text, items);
    int32_t found = 0;
    for (const std::wstring &item : items) {
        const int32_t id = ResolveWorkerId(item, SECTION_MEDIA_WRITERS);
        if (id > 0) {
            ids.emplace(id, item);
            ++found;
        }
    }
    return found;
}

std::wstring ReferenceParseFault(int32_t code)
{
    switch (code) {
    case 0: return L"holds nothing but dots";
    case REF_BAD_TEXT: return L"is empty or longer than 127 characters";
    case REF_NO_SECTION: return L"names no section";
    case REF_BAD_SECTION: return L"names no section it knows (MediaSources, VideoDecoders, ...)";
    case REF_NO_ALIAS: return L"names no worker after its section";
    case REF_LONG_ALIAS: return L"names a worker longer than 63 characters";
    case REF_NO_ROLE: return L"has an empty role";
    case REF_BAD_ROLE: return L"names a role it does not know (VideoOutput, AudioOutput, ...)";
    case REF_ROLE_REFUSED: return L"names a role that its section does not have";
    case REF_NO_STREAM_NAME: return L"names no stream after ByName";
    case REF_LONG_STREAM_NAME: return L"names a stream longer than 63 characters";
    case REF_BLANK_STREAM_ID:
    case REF_BAD_STREAM_ID: return L"names no stream number of 0 or more after ById";
    default: return L"cannot be read as a worker reference";
    }
}

namespace {

bool IsVideoKind(int32_t kind)
{
    return kind == TYX_PKT_KIND_RAW_VIDEO || kind == TYX_PKT_KIND_CODED_VIDEO;
}

bool IsAudioKind(int32_t kind)
{
    return kind == TYX_PKT_KIND_RAW_AUDIO || kind == TYX_PKT_KIND_CODED_AUDIO;
}

const stTYXWorkerItemInfo *FindOutputItem(const stTYXWorkerConfig &config, int32_t id)
{
    for (const stTYXWorkerItemInfo &item : config.OutputItems) {
        if (item.Id == id)
            return &item;
    }
    return nullptr;
}

} // namespace

int32_t ResolveInputStreamId(const std::wstring &text, int32_t consumerKind, int32_t mediaType, std::wstring &reason)
{
    stTYXWorkerReference reference;
    const int32_t parsed = ResolveWorkerReference(text, reference);
    if (parsed <= 0) {
        reason = ReferenceParseFault(parsed);
        return -2;
    }
    const stTYXWorkerConfig *config = nullptr;
    if (FindWorkerConfigByAlias(reference.SectionKind, reference.Alias, &config) <= 0 || !config) {
        reason = L"names no worker " + reference.Alias + L" among the " + reference.Section + L" configured before it";
        return -1;
    }
    const int32_t id = LookupWorkerReference(reference);
    if (id <= 0) {
        reason = L"names no output stream of " + reference.Alias;
        return id;
    }
    if (!IsFeedingKindAllowed(reference, consumerKind)) {
        reason = L"names a worker of " + reference.Section + L", which cannot feed one of " + SectionKindName(consumerKind);
        return -16;
    }
    const stTYXWorkerItemInfo *output = FindOutputItem(*config, id);
    if (!output) {
        reason = L"names the worker " + reference.Alias + L" itself, not one of its output streams (add a role such as VideoOutput)";
        return 0;
    }
    if ((mediaType == INPUT_MEDIA_VIDEO && !IsVideoKind(output->Kind)) ||
        (mediaType == INPUT_MEDIA_AUDIO && !IsAudioKind(output->Kind))) {
        reason = mediaType == INPUT_MEDIA_VIDEO ? L"names a stream that is no video" : L"names a stream that is no audio";
        return 0;
    }
    return id;
}
