#include "config/ConfigKeywords.h"

#include "config/ConfigText.h"

#include <cwchar>
#include <initializer_list>

namespace {

struct stKeyword
{
    const wchar_t *word;
    int32_t code;
    bool exact;
};

int32_t Lookup(const wchar_t *text, std::initializer_list<stKeyword> table)
{
    if (!text)
        return 0;
    for (const stKeyword &entry : table) {
        const bool match = entry.exact ? std::wcscmp(text, entry.word) == 0 : EqualsNoCase(text, entry.word);
        if (match)
            return entry.code;
    }
    return 0;
}

struct stLayout
{
    const wchar_t *word;
    int32_t code;
    int32_t windows;
};

const stLayout kLayouts[] = {
    {L"StandAlone", 1, 1},        {L"PIP-1-On-1", 2, 2},        {L"PIP-2-On-1", 3, 3},
    {L"4Divide-Equ", 4, 4},       {L"PIP-4-On-1", 5, 5},        {L"1F-With-5S", 6, 6},
    {L"1F-With-7S", 8, 8},        {L"9-Divided-Equ", 9, 9},     {L"1Rows-with-4Cols", 11, 4},
    {L"2Rows-with-3Cols", 12, 6}, {L"2Rows-with-4Cols", 13, 8}, {L"3Rows-with-4Cols", 14, 12},
    {L"2Row-with-6Cols", 15, 12}, {L"16-Divided-Equ", 16, 16},  {L"2Rows-with-8Cols", 17, 16},
    {L"3Row-with-8Cols", 18, 24}, {L"4Row-with-6Cols", 19, 24}, {L"2Row-with-12Cols", 20, 24},
    {L"4Row-with-8Cols", 21, 32},
};

} // namespace

int32_t ParseColor(const wchar_t *text)
{
    return Lookup(text, {{L"Black", 0, false}, {L"Blue", 1, false}, {L"Green", 2, false}, {L"Red", 4, false},
                         {L"Yellow", 8, false}, {L"White", 16, false}});
}

int32_t SectionKindFromName(const wchar_t *text)
{
    return Lookup(text, {{L"MediaSources", SECTION_MEDIA_SOURCES, false},
                         {L"AudioDecoders", SECTION_AUDIO_DECODERS, false},
                         {L"VideoDecoders", SECTION_VIDEO_DECODERS, false},
                         {L"AudioMidProcessors", SECTION_AUDIO_MIDPROCS, false},
                         {L"VideoMidProcessors", SECTION_VIDEO_MIDPROCS, false},
                         {L"AudioEncoders", SECTION_AUDIO_ENCODERS, false},
                         {L"VideoEncoders", SECTION_VIDEO_ENCODERS, false},
                         {L"MediaWriters", SECTION_MEDIA_WRITERS, false}});
}

int32_t ParseSourceType(const wchar_t *text)
{
    return Lookup(text, {{L"FILE", SOURCE_TYPE_FILE, false}, {L"RTSP", SOURCE_TYPE_RTSP, false},
                         {L"RTMP", SOURCE_TYPE_RTMP, false}, {L"VCAP", SOURCE_TYPE_VCAP, false},
                         {L"ACAP", SOURCE_TYPE_ACAP, false}});
}

int32_t ParseReaderType(const wchar_t *text)
{
    return Lookup(text, {{L"FMPGAV", 1, false}, {L"MR-SDK", 2, false}, {L"HK-SDK", 3, false},
                         {L"DH-SDK", 4, false}, {L"VHDSDK", 5, false}});
}

int32_t ParseWindowMode(const wchar_t *text)
{
    return Lookup(text, {{L"FullScreen", WINDOW_MODE_FULLSCREEN, false}, {L"NewWindow", WINDOW_MODE_NEW, false},
                         {L"SpecifyWindow", WINDOW_MODE_SPECIFY, false}});
}

int32_t ParseDecodeEngine(const wchar_t *text)
{
    return Lookup(text, {{L"NVGPU", 1, false}, {L"FFMPG", 0, false}, {L"ITLGPU", 2, false}, {L"AMDGPU", 4, false}});
}

int32_t ParseMidProcType(const wchar_t *text)
{
    return Lookup(text, {{L"VMux", 1, false}, {L"VMtx", 3, false}, {L"VSplt", 5, false}, {L"VUnify", 7, false}});
}

int32_t ParseContainer(const wchar_t *text)
{
    return Lookup(text, {{L"ASF", 1, true}, {L"AVI", 2, false}, {L"FLV", 3, false}, {L"MOV", 5, false},
                         {L"MP4", 4, false}, {L"MP3", 10, false}});
}

int32_t ParseRole(const wchar_t *text)
{
    return Lookup(text, {{L"AudioInput", ROLE_AUDIO_INPUT, true}, {L"VideoInput", ROLE_VIDEO_INPUT, false},
                         {L"AudioOutput", ROLE_AUDIO_OUTPUT, false}, {L"VideoOutput", ROLE_VIDEO_OUTPUT, false},
                         {L"ToDownstream", ROLE_TO_DOWNSTREAM, false}, {L"ToRendering", ROLE_TO_RENDERING, false}});
}

int32_t ParseOsdContent(const wchar_t *text)
{
    return Lookup(text, {{L"Time", 1, true}, {L"Date", 2, false}, {L"Datetime", 4, false},
                         {L"StaticText", 6, false}, {L"DynamicText", 8, false}});
}

int32_t ParsePositionBase(const wchar_t *text)
{
    return Lookup(text, {{L"Center", 1, true},           {L"ScreenCenter", 1, true},
                         {L"LeftTopCorner", 2, false},   {L"LTCorner", 2, false},
                         {L"RightTopCorner", 4, false},  {L"RTCorner", 4, false},
                         {L"RightBottomCorner", 6, false}, {L"RBCorner", 6, false},
                         {L"LeftBottomCorner", 8, false}, {L"LBCorner", 8, false},
                         {L"TopMiddle", 10, false},      {L"BottomMiddle", 12, false},
                         {L"Specified", 13, false}});
}

int32_t CodecIdFromName(const wchar_t *text)
{
    return Lookup(text, {{L"H.264", CODEC_ID_H264, false}, {L"H264", CODEC_ID_H264, false},
                         {L"AVC", CODEC_ID_H264, false},   {L"H.265", CODEC_ID_HEVC, false},
                         {L"H265", CODEC_ID_HEVC, false},  {L"HEVC", CODEC_ID_HEVC, false},
                         {L"AAC", CODEC_ID_AAC, false}});
}

int32_t ParseHwAcclrt(const wchar_t *text, bool allowDirectX)
{
    const int32_t code = Lookup(text, {{L"NVCODEC", 1, false}, {L"LIBMFX", 2, false}, {L"AMDAMF", 8, false},
                                       {L"DIRECTX", 32, false}});
    return (code == 32 && !allowDirectX) ? 0 : code;
}

int32_t ParseMuxLayout(const wchar_t *text, int32_t &windows)
{
    windows = 0;
    if (!text)
        return 0;
    for (const stLayout &layout : kLayouts) {
        const bool exact = layout.code == 1;
        const bool match = exact ? std::wcscmp(text, layout.word) == 0 : EqualsNoCase(text, layout.word);
        if (match) {
            windows = layout.windows;
            return layout.code;
        }
    }
    return 0;
}

std::wstring SectionKindName(int32_t kind)
{
    switch (kind) {
    case SECTION_MEDIA_SOURCES: return L"MediaSources";
    case SECTION_AUDIO_DECODERS: return L"AudioDecoders";
    case SECTION_VIDEO_DECODERS: return L"VideoDecoders";
    case SECTION_AUDIO_MIDPROCS: return L"AudioMidProcessors";
    case SECTION_VIDEO_MIDPROCS: return L"VideoMidProcessors";
    case SECTION_AUDIO_ENCODERS: return L"AudioEncoders";
    case SECTION_VIDEO_ENCODERS: return L"VideoEncoders";
    case SECTION_MEDIA_WRITERS: return L"MediaWriters";
    default: return {};
    }
}

std::wstring HwCodecName(int32_t type)
{
    switch (type) {
    case 1: return L"NVCODEC";
    case 2: return L"LIBMFX";
    case 8: return L"AMDAMF";
    case 32: return L"DIRECTX";
    default: return L"NONE";
    }
}

bool IsProfileValid(const wchar_t *profile, int32_t codecId)
{
    if (!profile)
        return false;
    if (codecId == CODEC_ID_H264)
        return EqualsNoCase(profile, L"baseline") || EqualsNoCase(profile, L"main") || EqualsNoCase(profile, L"high");
    if (codecId == CODEC_ID_HEVC)
        return EqualsNoCase(profile, L"main10") || EqualsNoCase(profile, L"main") || EqualsNoCase(profile, L"frext");
    return false;
}

const std::map<int32_t, std::set<int32_t>> &RoleSectionKinds()
{
    static const std::map<int32_t, std::set<int32_t>> table = {
        {ROLE_AUDIO_INPUT, {3, 5, 7, 9}},  {ROLE_VIDEO_INPUT, {4, 6, 8, 9}}, {ROLE_AUDIO_OUTPUT, {1, 3, 5, 7}},
        {ROLE_VIDEO_OUTPUT, {1, 4, 6, 8}}, {ROLE_TO_DOWNSTREAM, {1, 4, 6}},  {ROLE_TO_RENDERING, {1, 4, 6}},
    };
    return table;
}

bool IsRoleAllowedForSection(int32_t sectionKind, int32_t roleCode)
{
    const auto &table = RoleSectionKinds();
    const auto row = table.find(roleCode);
    return row != table.end() && row->second.count(sectionKind) > 0;
}

bool IsFeedingKindAllowed(int32_t sectionKind, int32_t consumerKind)
{
    switch (consumerKind) {
    case SECTION_AUDIO_DECODERS:
    case SECTION_VIDEO_DECODERS:
        return sectionKind == SECTION_MEDIA_SOURCES;
    case SECTION_AUDIO_MIDPROCS:
        return sectionKind == 1 || sectionKind == 3 || sectionKind == 5;
    case SECTION_VIDEO_MIDPROCS:
        return sectionKind == 1 || sectionKind == 4 || sectionKind == 6;
    case SECTION_AUDIO_ENCODERS:
        return sectionKind == 3 || sectionKind == 5;
    case SECTION_VIDEO_ENCODERS:
        return sectionKind == 4 || sectionKind == 6;
    case SECTION_MEDIA_WRITERS:
        return sectionKind == 1 || sectionKind == 7 || sectionKind == 8;
    default:
        return false;
    }
}

const std::map<int32_t, std::wstring> &MuxLayoutNameTable()
{
    static const std::map<int32_t, std::wstring> table = [] {
        std::map<int32_t, std::wstring> names{{0, L"Unknown"}, {22, L"Unknown"}};
        for (const stLayout &layout : kLayouts)
            names.emplace(layout.code, layout.word);
        return names;
    }();
    return table;
}

const std::map<int32_t, std::string> &MuxLayoutNameTableA()
{
    static const std::map<int32_t, std::string> table = [] {
        std::map<int32_t, std::string> names;
        for (const auto &[code, name] : MuxLayoutNameTable())
            names.emplace(code, std::string(name.begin(), name.end())); // the names are ASCII
        return names;
    }();
    return table;
}

const std::map<std::wstring, int32_t> &OsdContentTypeNames()
{
    static const std::map<std::wstring, int32_t> table = {{L"Undefined", 0}, {L"Time", 1},       {L"Date", 2},
                                                          {L"Datetime", 4},  {L"StaticText", 6}, {L"DynamicText", 8}};
    return table;
}

const std::map<std::wstring, int32_t> &OsdPositionNames()
{
    static const std::map<std::wstring, int32_t> table = {
        {L"Undefined", 0},         {L"Center", 1},           {L"LeftTopCorner", 2}, {L"RightTopCorner", 4},
        {L"RightBottomCorner", 6}, {L"LeftBottomCorner", 8}, {L"TopMiddle", 10},    {L"BottomMiddle", 12}};
    return table;
}

const std::map<std::wstring, int32_t> &OsdColorNames()
{
    static const std::map<std::wstring, int32_t> table = {{L"Black", 0}, {L"Blue", 1},   {L"Green", 2},
                                                          {L"Red", 4},   {L"Yellow", 8}, {L"White", 16}};
    return table;
}

const std::map<std::wstring, uint16_t> &DecodeEngineNames()
{
    static const std::map<std::wstring, uint16_t> table = {{L"None", 0},     {L"CUDA", 0x100},   {L"AMD", 0x200},
                                                           {L"Intel", 0x400}, {L"FFPG", 0x6500}, {L"Default", 0xFFFF}};
    return table;
}
