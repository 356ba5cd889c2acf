#include "config/ConfigKeySchema.h"

#include <initializer_list>
#include <utility>

namespace {

using Entries = std::initializer_list<std::pair<const wchar_t *, int32_t>>;

// The names of the three places that show a picture directly on a monitor.
const Entries kDirectOutputKeys = {
    {L"DirectOutput", 1}, {L"outputOn", 11},       {L"OutputDeviceNo", 2},  {L"WindowWidth", 2},
    {L"WindowHeight", 2}, {L"WindowClassName", 20}, {L"WindowName", 20},
};

void Fill(ConfigKeySchema &schema, Entries entries)
{
    for (const auto &[name, code] : entries)
        schema.emplace(name, code); // the first entry of a name stays
}

} // namespace

void GetConfigKeySchema(int32_t kind, ConfigKeySchema &schema)
{
    schema.clear();
    switch (kind) {
    case CFG_SCHEMA_MEDIA_SOURCE:
        Fill(schema, {{L"DisplayName", 20}, {L"MSTYPE", 11},       {L"MRType", 11},      {L"CapDvcNo", 2},
                      {L"UseNTP", 1},       {L"UseUTC", 1},        {L"UseTCP", 1},       {L"Authorization", 1},
                      {L"AuthUN", 23},      {L"AuthPwd", 24},      {L"PushAtBegin", 1},  {L"STRMCOUNT", 2},
                      {L"StartDelay", 4},   {L"ShowTime", 4},      {L"PlayFrom", 4},     {L"PlayTo", 4},
                      {L"Repeat", 1}});
        break;
    case CFG_SCHEMA_SOURCE_STREAM:
        Fill(schema, {{L"avStrmId", 2}, {L"StrmAlias", 21}, {L"StrmType", 11}, {L"EstmtDly", 2},
                      {L"ProactiveCache", 2}, {L"FrameWidth", 2}, {L"FrameHeight", 2}, {L"OutputFramerate", 4}});
        Fill(schema, kDirectOutputKeys);
        Fill(schema, {{L"SampleRate", 2}, {L"ChannelNum", 2}, {L"PiADTC", 1}, {L"CrucailStream", 1},
                      {L"BitRate", 2}, {L"Bitdepth", 2}, {L"PktInBlock", 1}, {L"PktItvMax", 2},
                      {L"PktGrpItvMax", 2}, {L"BlocksSkipAtBegin", 2}});
        break;
    case CFG_SCHEMA_AUDIO_DECODER:
        Fill(schema, {{L"AudioSource", 21}, {L"DirectOutput", 1}, {L"OutputDeviceNo", 2}, {L"PushAtBegin", 1}});
        break;
    case CFG_SCHEMA_VIDEO_DECODER:
        Fill(schema, {{L"VideoSource", 21}, {L"DecoderType", 11}, {L"HwAcclrt", 11}, {L"RVTP", 1}});
        Fill(schema, kDirectOutputKeys);
        Fill(schema, {{L"OutputFramerate", 4}, {L"PushAtBegin", 1}});
        break;
    case CFG_SCHEMA_VIDEO_MIDPROC:
        Fill(schema, {{L"MPType", 11}, {L"PushAtBegin", 1}, {L"RVOutCount", 2}, {L"OutputWidth", 2},
                      {L"OutputHeight", 2}, {L"OutputFramerate", 4}, {L"RVTP", 1}});
        Fill(schema, kDirectOutputKeys);
        Fill(schema, {{L"RVSInCount", 2}, {L"IRVS", 21}, {L"VODftVI", 5}, {L"IRVSSIFRequired", 20},
                      {L"MuxLayout", 11}, {L"RgnVs", 2}, {L"IPGNum", 2}, {L"CylinderHeight", 2},
                      {L"VideoSource", 21}, {L"Output", 5}});
        break;
    case CFG_SCHEMA_CHILD_WINDOW:
        Fill(schema, {{L"onLayer", 2}, {L"posBase", 11}, {L"xShift", 2}, {L"yShift", 2}, {L"Width", 2},
                      {L"Height", 2}});
        break;
    case CFG_SCHEMA_SPLIT_OUTPUT:
        Fill(schema, {{L"Alias", 21}, {L"RegionLeft", 2}, {L"RegionTop", 2}, {L"RegionWidth", 2},
                      {L"RegionHeight", 2}, {L"RVTP", 1}});
        Fill(schema, kDirectOutputKeys);
        break;
    case CFG_SCHEMA_AUDIO_ENCODER:
        Fill(schema, {{L"AudioSource", 21}, {L"ACodec", 11}, {L"BitRate", 2}, {L"Channels", 2},
                      {L"Samplerate", 2}, {L"Bitdepth", 2}, {L"PushAtBegin", 1}});
        break;
    case CFG_SCHEMA_VIDEO_ENCODER:
        Fill(schema, {{L"VideoSource", 21}, {L"BitRate", 2}, {L"GopLengh", 2}, {L"Width", 2}, {L"Height", 2},
                      {L"OutputFramerate", 4}, {L"EncoderType", 11}, {L"HwAcclrt", 11}, {L"VCodec", 11},
                      {L"Profile", 11}, {L"LowLatency", 1}, {L"PushAtBegin", 1}, {L"Usage", 11},
                      {L"Preset", 11}});
        break;
    case CFG_SCHEMA_MEDIA_WRITER:
        Fill(schema, {{L"MWType", 11}, {L"VideoStreams", 20}, {L"AudioStreams", 20}, {L"outputURL", 27},
                      {L"Container", 11}, {L"RootFolder", 25}, {L"SubFolderDate", 1}, {L"SubFolderCaseNo", 1},
                      {L"CaseNamePrefix", 1}, {L"CyclePrefix", 1}, {L"ContentsSuffix", 21},
                      {L"SegmentLength", 2}, {L"StorageLife", 2}, {L"SpaceWarnLimit", 2},
                      {L"SaveRecordFileList", 1}, {L"PushAtBegin", 1}});
        break;
    case CFG_SCHEMA_OSD:
        Fill(schema, {{L"OwnerWorker", 21}, {L"OsdType", 11}, {L"Content", 20}, {L"PosBase", 47},
                      {L"XShift", 2}, {L"YShift", 2}, {L"TextColor", 45}, {L"TextHeight", 2}});
        break;
    case CFG_SCHEMA_OSG:
        Fill(schema, {{L"DrawOn", 21}, {L"OSGType", 11}, {L"CordOrgPos", 47}, {L"CntrCrdX", 2},
                      {L"CntrCrdY", 2}, {L"GmtType", 11}, {L"posUnit", 11}, {L"lineType", 11},
                      {L"lineColor", 45}, {L"weight", 2}, {L"fillingColor", 45}, {L"Transparent", 1},
                      {L"XRangeL", 2}, {L"XRangeR", 2}, {L"GmtNeedPrmtrs", 1}, {L"SourceFile", 25},
                      {L"PosX", 2}, {L"PosY", 2}, {L"Resize", 4}, {L"StartDelay", 2}, {L"ShowTime", 2},
                      {L"FromFrame", 2}, {L"ToFrame", 2}, {L"Repeat", 1}});
        break;
    default:
        break;
    }
}
