#pragma once

// The configured on-screen texts (OSDs) and graphics (OSGs) of "StreamCfg.xml": plain records that
// the loaders fill and the registries own. The overlay code turns them into its own runtime items.

#include <cstdint>
#include <map>
#include <string>

// Overlay slots of a video worker that a configured item draws on, from the role of its reference.
constexpr uint8_t OVERLAY_TARGET_NONE = 0;
constexpr uint8_t OVERLAY_TARGET_INPUT = 2;
constexpr uint8_t OVERLAY_TARGET_OUTPUT = 4;
constexpr uint8_t OVERLAY_TARGET_DOWNSTREAM = 8;
constexpr uint8_t OVERLAY_TARGET_RENDERING = 16;

// Where an item is drawn: the owner named by "DrawOn" and the resolved ids.
struct stTYXOverlayOwner
{
    std::wstring DrawOn;         // the worker reference text
    std::wstring Section;        // the first three fields of the parsed reference
    std::wstring Alias;
    std::wstring Role;
    uint32_t OwnerWorkerId = 0;  // OwnerStreamId with its low 8 bits cleared
    uint32_t OwnerStreamId = 0;  // the resolved output stream id, or the worker id
    uint8_t DrawTarget = OVERLAY_TARGET_NONE;
};

struct stTYXOSDConfig : stTYXOverlayOwner
{
    int32_t OsdType = 0;         // 1 Time, 2 Date, 4 Datetime, 6 StaticText, 8 DynamicText
    int32_t PosBase = 0;         // position base code
    int16_t XShift = 0;
    int16_t YShift = 0;
    int32_t TextColor = 0;       // colour code, Black 0 .. White 16
    int32_t TextHeight = 8;      // pixels
    std::wstring Content;        // the text of a static text
    uint8_t ClockExcluded = 0;   // keeps a clock kind out of the clock updates; no key sets it
};

// Where an animation comes from.
constexpr int32_t OSG_SOURCE_FILE = 1;
constexpr int32_t OSG_SOURCE_MEMORY = 2;
constexpr int32_t OSG_SOURCE_PREPARED = 3;

struct stTYXOSGConfig : stTYXOverlayOwner
{
    std::wstring OSGType;        // "Geometry", "PICTURE" or "ANIMATE"
    std::wstring CordOrgPos;     // origin of the coordinates; "Specify" uses the centre below
    uint16_t CntrCrdX = 0;
    uint16_t CntrCrdY = 0;

    // Geometry
    std::wstring posUnit;
    int32_t weight = 1;          // line width
    std::wstring lineColor;
    std::wstring lineType;
    uint8_t Transparent = 1;     // hollow: not filled
    std::wstring fillingColor;
    std::wstring GmtType;
    int16_t XRangeL = 0;
    int16_t XRangeR = 0;

    // Picture and animation
    uint8_t SourceFileOk = 1;
    std::wstring SourceFile;
    int16_t PosX = 0;
    int16_t PosY = 0;
    float Resize = 1.0f;
    uint16_t StartDelay = 0;     // seconds, 0 none
    uint16_t ShowTime = 0;       // seconds, 0 none
    uint8_t Repeat = 1;
    int32_t FromFrame = 0;
    int32_t ToFrame = 0;
    // An animation given by a memory block instead of a file; the block is lent, never owned.
    int32_t SourceKind = OSG_SOURCE_FILE;
    const uint8_t *SourceAddress = nullptr;
    uint64_t SourceSize = 0;

    std::map<std::wstring, std::wstring> Parameters; // named figure parameters
};

// The registries: item number to record.
using OsdConfigRegistry = std::map<int16_t, stTYXOSDConfig>;
using OsgConfigRegistry = std::map<int16_t, stTYXOSGConfig>;
