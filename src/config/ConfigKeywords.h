#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

// Keyword tables of the configuration: configured words to small codes and back. Words are
// compared ignoring letter case unless a table marks one as exact; a text that matches nothing, or
// no text at all, gives 0. The tables are constant, so any thread may call.

// Section kinds; the same numbers as the worker kinds of the registries.
constexpr int32_t SECTION_MEDIA_SOURCES = 1;
constexpr int32_t SECTION_AUDIO_DECODERS = 3;
constexpr int32_t SECTION_VIDEO_DECODERS = 4;
constexpr int32_t SECTION_AUDIO_MIDPROCS = 5;
constexpr int32_t SECTION_VIDEO_MIDPROCS = 6;
constexpr int32_t SECTION_AUDIO_ENCODERS = 7;
constexpr int32_t SECTION_VIDEO_ENCODERS = 8;
constexpr int32_t SECTION_MEDIA_WRITERS = 9;

// Roles of a worker reference.
constexpr int32_t ROLE_AUDIO_INPUT = 1;
constexpr int32_t ROLE_VIDEO_INPUT = 2;
constexpr int32_t ROLE_AUDIO_OUTPUT = 3;
constexpr int32_t ROLE_VIDEO_OUTPUT = 4;
constexpr int32_t ROLE_TO_DOWNSTREAM = 5;
constexpr int32_t ROLE_TO_RENDERING = 6;

// Source types ("MSTYPE", "MWType").
constexpr int32_t SOURCE_TYPE_FILE = 1;
constexpr int32_t SOURCE_TYPE_RTSP = 2;
constexpr int32_t SOURCE_TYPE_RTMP = 3;
constexpr int32_t SOURCE_TYPE_VCAP = 9;
constexpr int32_t SOURCE_TYPE_ACAP = 10;

// Window modes of a direct output ("outputOn").
constexpr int32_t WINDOW_MODE_NEW = 1;
constexpr int32_t WINDOW_MODE_SPECIFY = 2;
constexpr int32_t WINDOW_MODE_FULLSCREEN = 4;

// Codec identifiers (FFmpeg's).
constexpr int32_t CODEC_ID_H264 = 27;
constexpr int32_t CODEC_ID_HEVC = 173;
constexpr int32_t CODEC_ID_AAC = 86018;

int32_t ParseColor(const wchar_t *text);          // Black 0, Blue 1, Green 2, Red 4, Yellow 8, White 16
int32_t SectionKindFromName(const wchar_t *text); // "MediaSources" 1 ... "MediaWriters" 9
int32_t ParseSourceType(const wchar_t *text);     // FILE, RTSP, RTMP, VCAP, ACAP
int32_t ParseReaderType(const wchar_t *text);     // FMPGAV 1, MR-SDK 2, HK-SDK 3, DH-SDK 4, VHDSDK 5
int32_t ParseWindowMode(const wchar_t *text);     // NewWindow 1, SpecifyWindow 2, FullScreen 4
int32_t ParseDecodeEngine(const wchar_t *text);   // NVGPU 1, FFMPG 0, ITLGPU 2, AMDGPU 4
int32_t ParseMidProcType(const wchar_t *text);    // VMux 1, VMtx 3, VSplt 5, VUnify 7
int32_t ParseContainer(const wchar_t *text);      // ASF 1 (exact), AVI 2, FLV 3, MOV 5, MP4 4, MP3 10
int32_t ParseRole(const wchar_t *text);           // AudioInput 1 (exact) ... ToRendering 6
int32_t ParseOsdContent(const wchar_t *text);     // Time 1 (exact), Date 2, Datetime 4, StaticText 6, DynamicText 8
int32_t ParsePositionBase(const wchar_t *text);   // Center 1 (exact) ... Specified 13
int32_t CodecIdFromName(const wchar_t *text);     // H.264 27, H.265 173, AAC 86018
// "HwAcclrt": NVCODEC 1, LIBMFX 2, AMDAMF 8, and DIRECTX 32 only where allowDirectX is set.
int32_t ParseHwAcclrt(const wchar_t *text, bool allowDirectX);
// The layout code of a "MuxLayout" word; windows gets the number of windows of the layout (0 when unknown).
int32_t ParseMuxLayout(const wchar_t *text, int32_t &windows);

std::wstring SectionKindName(int32_t kind); // empty for a kind that is no section
std::wstring HwCodecName(int32_t type);     // NVCODEC, LIBMFX, AMDAMF, DIRECTX, else NONE
bool IsProfileValid(const wchar_t *profile, int32_t codecId);

// The role's row of the reference rules holds the section kind.
bool IsRoleAllowedForSection(int32_t sectionKind, int32_t roleCode);
// A consumer of the kind may take input from a producer of sectionKind.
bool IsFeedingKindAllowed(int32_t sectionKind, int32_t consumerKind);

// Code-name tables for the remote control.
const std::map<int32_t, std::string> &MuxLayoutNameTableA();   // 0 and 22 "Unknown", 1..21 the layouts
const std::map<int32_t, std::wstring> &MuxLayoutNameTable();
const std::map<std::wstring, int32_t> &OsdContentTypeNames();
const std::map<std::wstring, int32_t> &OsdPositionNames();
const std::map<std::wstring, int32_t> &OsdColorNames();
const std::map<std::wstring, uint16_t> &DecodeEngineNames();
// Role code to the section kinds a reference with that role may name.
const std::map<int32_t, std::set<int32_t>> &RoleSectionKinds();
