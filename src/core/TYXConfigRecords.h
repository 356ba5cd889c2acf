#pragma once

// The records nested in the worker configuration records: reader streams, direct display settings,
// mux child windows, split outputs and the recording settings of a file writer. Plain values; the
// configuration loaders fill them.

#include <cstdint>
#include <string>

// Direct display of a picture stream on a local window or monitor.
struct stDirectOutputConfig
{
    uint8_t DirectOutput = 0;
    int32_t outputOn = 0;        // 1 new window, 2 specified window, 4 full screen
    int16_t OutputDeviceNo = 0;  // monitor number for full screen
    int16_t WindowWidth = 0;
    int16_t WindowHeight = 0;
    std::wstring WindowName;
    std::wstring WindowClassName;
};

// One stream of a media source, keyed by its stream number in the source's record.
struct stTYXStreamConfig
{
    int16_t avStrmId = -1;       // index of the stream as the demuxer numbers it
    int32_t StreamId = 0;        // the source's worker id plus the stream number
    std::wstring StrmAlias;
    int32_t MediaType = -1;      // 0 video, 1 audio, -1 unknown
    uint8_t CrucailStream = 0;
    uint8_t PiADTC = 0;
    int32_t EstmtDly = 0;        // estimated delay in ms
    uint16_t ProactiveCache = 0; // cache length in ms
    int16_t FrameWidth = 0;
    int16_t FrameHeight = 0;
    float OutputFramerate = 0.0f;
    int32_t SampleRate = 0;
    int16_t ChannelNum = 0;
    int32_t BitRate = 0;
    int16_t Bitdepth = 0;
    uint8_t PktInBlock = 0;
    int32_t PktItvMax = 0;
    int32_t PktGrpItvMax = 0;
    uint16_t BlocksSkipAtBegin = 0;
    stDirectOutputConfig DirectOutputSettings; // video streams of capture sources
    uint8_t AudioDirectOutput = 0;
    std::wstring AudioOutputDevice;  // name of the audio rendering device
    int32_t Reserved = -1;
};

// One child window of a picture-in-picture mux layout.
struct stChildWindowConfig
{
    int32_t posBase = 0;         // position base code
    uint8_t onLayer = 0;
    int16_t xShift = 0;
    int16_t yShift = 0;
    int16_t Width = 0;
    int16_t Height = 0;
};

// One output region of a splitter.
struct stSplitOutputConfig
{
    int32_t StreamId = 0;        // the splitter's worker id plus the output number
    int16_t RegionLeft = 0;
    int16_t RegionTop = 0;
    int16_t RegionWidth = 0;
    int16_t RegionHeight = 0;
    std::wstring Alias;
    uint8_t RVTP = 0;
    stDirectOutputConfig DirectOutputSettings;
};

// Recording settings of a file writer.
struct stRecordFileConfig
{
    int32_t Container = 0;       // container code
    uint8_t SubFolderDate = 1;
    uint8_t SubFolderCaseNo = 1;
    uint8_t CaseNamePrefix = 1;
    uint8_t CyclePrefix = 1;
    uint8_t SaveRecordFileList = 1;
    uint16_t SegmentLength = 30;
    uint16_t StorageLife = 30;
    int32_t SpaceWarnLimit = 0;
    std::wstring RootFolder;
    std::wstring ContentsSuffix;
};
