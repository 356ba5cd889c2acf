#include "config/GTYXConfigXml.h"

#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/ConfigText.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

namespace {

const stConfigSection kMediaSources = {L"/Config/MediaSources", L"MSCount", CFG_SCHEMA_MEDIA_SOURCE,
                                       TYX_ID_BASE_MEDIA_READER};

// Stream numbers share the low 8 bits of the source's worker id.
constexpr int32_t MAX_SOURCE_STREAMS = TYX_MAX_STREAM_NO;

int32_t InRangeOr(int32_t value, int32_t low, int32_t high, int32_t fallback)
{
    return (value >= low && value <= high) ? value : fallback;
}

// A required text key that is there but failed its length bounds reads as empty; such a source
// could only fail later, far from the cause, so it is dropped here with the reason.
bool TakeRequiredText(const ConfigValueMap &item, const wchar_t *key, const stMediaSourceReadWorkerConfig &record,
                      std::wstring &target)
{
    const stConfigValue *value = FindItemValue(item, key);
    if (!value)
        return false;
    if (value->text.empty()) {
        TYX_LOG(3, L"Configuration:%s of MWreader No(%d) is out of its length bounds, Skip it!", key,
                static_cast<int32_t>(record.No));
        return false;
    }
    target = value->text;
    return true;
}

void ReadNtpFreeTiming(const ConfigValueMap &values, stTYXStreamConfig &stream)
{
    stream.EstmtDly = -1;
    int32_t number = 0;
    if (TakeInt(values, L"EstmtDly", number))
        stream.EstmtDly = InRangeOr(number, -1, 10000, -1);
    if (stream.EstmtDly < 1 || stream.EstmtDly > 10000) {
        if (stream.MediaType == 0)
            stream.EstmtDly = 300;
        else if (stream.MediaType == 1)
            stream.EstmtDly = 150;
    }
    stream.PktInBlock = 0;
    TakeBool(values, L"PktInBlock", stream.PktInBlock);
    if (!stream.PktInBlock)
        return;
    number = 0;
    stream.PktItvMax = TakeInt(values, L"PktItvMax", number) ? InRangeOr(number, 1, 200, 50) : 50;
    number = 0;
    stream.PktGrpItvMax = TakeInt(values, L"PktGrpItvMax", number) ? InRangeOr(number, 11, 3000, 800) : 800;
    int16_t skip = 0;
    stream.BlocksSkipAtBegin =
        static_cast<uint16_t>(TakeInt16(values, L"BlocksSkipAtBegin", skip) ? InRangeOr(skip, 1, 60, 6) : 6);
}

void ReadAudioRendering(const ConfigValueMap &values, stTYXStreamConfig &stream)
{
    stream.AudioDirectOutput = 0;
    TakeBool(values, L"DirectOutput", stream.AudioDirectOutput);
    if (!stream.AudioDirectOutput)
        return;
    stream.AudioOutputDevice.clear();
    int16_t device = 0;
    if (!TakeInt16(values, L"OutputDeviceNo", device) || device <= 0)
        return;
    const FixedDeviceMap &devices = CTYXGVMS::FixedAudioOutDevices();
    const auto found = devices.find(static_cast<uint16_t>(device));
    if (found != devices.end())
        stream.AudioOutputDevice = found->second;
    else
        TYX_LOG(3, L"Configuration: Audio renderering device No(%d) referenced not found in RAO list, use default.",
                static_cast<int32_t>(device));
}

// Reads stream n of the source (n 0: the first "Stream" element); false when it is missing or empty.
bool ReadSourceStream(CConfigXmlDocument &document, const stMediaSourceReadWorkerConfig &record, int16_t n,
                      stTYXStreamConfig &stream)
{
    ConfigKeySchema schema;
    GetConfigKeySchema(CFG_SCHEMA_SOURCE_STREAM, schema);
    ConfigValueMap values;
    document.ReadElement(ItemChildPath(kMediaSources, record, L"Stream", n), values, &schema);
    if (values.empty())
        return false;
    GetStreamConfigFromItemValues(stream, record, values);
    return true;
}

// Streams of a demultiplexed source: "STRMCOUNT" of them, each by its id. False when the source is
// to be dropped; error is set where the section result must tell.
bool ReadNumberedStreams(CConfigXmlDocument &document, const ConfigValueMap &item,
                         stMediaSourceReadWorkerConfig &record, bool &error)
{
    int16_t count = 0;
    if (!TakeInt16(item, L"STRMCOUNT", count) || count < 1) {
        TYX_LOG(3, L"Configuration:No stream configured for MWreader No(%d:%s), Skip it!", static_cast<int32_t>(record.No),
                record.Name.c_str());
        error = true;
        return false;
    }
    if (count > MAX_SOURCE_STREAMS) {
        TYX_LOG(3, L"Configuration:STRMCOUNT(%d) of MWreader No(%d) is above %d, only streams 1 to %d are read.",
                static_cast<int32_t>(count), static_cast<int32_t>(record.No), MAX_SOURCE_STREAMS, MAX_SOURCE_STREAMS);
        count = MAX_SOURCE_STREAMS;
    }
    for (int16_t n = 1; n <= count; ++n) {
        stTYXStreamConfig stream;
        if (!ReadSourceStream(document, record, n, stream))
            continue;
        if (stream.MediaType == -1) {
            TYX_LOG(3, L"Configuration:Stream No[%d] of MWreader No(%d) was configured as unkown stream media type, Skip it!",
                    static_cast<int32_t>(n), static_cast<int32_t>(record.No));
            error = true;
            continue;
        }
        stream.StreamId = record.WorkerId + n;
        record.Streams[n] = std::move(stream);
    }
    return true;
}

bool ReadNetworkKeys(const ConfigValueMap &item, stMediaSourceReadWorkerConfig &record)
{
    if (!TakeText(item, L"MSFullPath", record.MSFullPath))
        return false;
    record.UseTCP = 1;
    TakeBool(item, L"UseTCP", record.UseTCP);
    record.Authorization = 0;
    TakeBool(item, L"Authorization", record.Authorization);
    if (!record.Authorization)
        return true;
    record.AuthUN.clear();
    if (!TakeRequiredText(item, L"AuthUN", record, record.AuthUN))
        return false;
    record.AuthPwd.clear();
    return TakeRequiredText(item, L"AuthPwd", record, record.AuthPwd);
}

bool ReadCaptureDevice(const ConfigValueMap &item, stMediaSourceReadWorkerConfig &record, bool &error)
{
    int16_t device = 0;
    if (!TakeInt16(item, L"CapDvcNo", device) || device <= 0) {
        error = true;
        return false;
    }
    const bool video = record.MSTYPE == SOURCE_TYPE_VCAP;
    const FixedDeviceMap &devices = video ? CTYXGVMS::FixedVideoInDevices() : CTYXGVMS::FixedAudioInDevices();
    const auto found = devices.find(static_cast<uint16_t>(device));
    if (found == devices.end()) {
        if (video)
            TYX_LOG(3, L"Configuration: video capture adapter No(%d) referenced by MWreader No(%d) not found in RVI list, give up it.",
                    static_cast<int32_t>(device), static_cast<int32_t>(record.No));
        else
            TYX_LOG(3, L"Configuration: Audio capture adapter No(%d) referenced by MWreader No(%d) not found in RVI list, give up it.",
                    static_cast<int32_t>(device), static_cast<int32_t>(record.No));
        error = true;
        return false;
    }
    record.MSFullPath = found->second;
    return true;
}

// One media source item; false when it is dropped.
bool ReadMediaSource(CConfigXmlDocument &document, const ConfigValueMap &item, stMediaSourceReadWorkerConfig &record,
                     bool &error)
{
    const stConfigValue *type = FindItemValue(item, L"MSTYPE");
    record.MSTYPE = type ? ParseSourceType(type->text.c_str()) : 0;
    if (record.MSTYPE == 0) {
        TYX_LOG(3, L"Configuration:MWreader No(%d) was configed as unkown media type(%s), Skip it!",
                static_cast<int32_t>(record.No), type ? type->text.c_str() : L"");
        error = true;
        return false;
    }
    record.MRType = 1;
    if (const stConfigValue *reader = FindItemValue(item, L"MRType")) {
        const int32_t code = ParseReaderType(reader->text.c_str());
        if (code == 0)
            TYX_LOG(3, L"Configuration:Stream reading driver configured for MWreader No(%d) is unknown(%s)! Use default then.",
                    static_cast<int32_t>(record.No), reader->text.c_str());
        else
            record.MRType = code;
    } else {
        TYX_LOG(6, L"Configuration:Stream reading driver for MWreader No(%d) not configured, Use default then.",
                static_cast<int32_t>(record.No));
    }
    record.UseNTP = 0;
    TakeBool(item, L"UseNTP", record.UseNTP);
    record.UseUTC = 0;
    TakeBool(item, L"UseUTC", record.UseUTC);

    if (record.MSTYPE == SOURCE_TYPE_VCAP || record.MSTYPE == SOURCE_TYPE_ACAP) {
        stTYXStreamConfig stream;
        if (ReadSourceStream(document, record, 0, stream)) {
            stream.StreamId = record.WorkerId + 1;
            record.Streams[1] = std::move(stream);
        }
    } else if (!ReadNumberedStreams(document, item, record, error)) {
        return false;
    }
    TakeBool(item, L"PushAtBegin", record.PushAtBegin);

    switch (record.MSTYPE) {
    case SOURCE_TYPE_FILE:
        if (!TakeText(item, L"MSFullPath", record.MSFullPath))
            return false;
        TakeReal(item, L"StartDelay", record.StartDelay);
        TakeReal(item, L"ShowTime", record.ShowTime);
        TakeReal(item, L"PlayFrom", record.PlayFrom);
        TakeReal(item, L"PlayTo", record.PlayTo);
        TakeBool(item, L"Repeat", record.Repeat);
        return true;
    case SOURCE_TYPE_RTSP:
    case SOURCE_TYPE_RTMP:
        return ReadNetworkKeys(item, record);
    default:
        return ReadCaptureDevice(item, record, error);
    }
}

} // namespace

void GetStreamConfigFromItemValues(stTYXStreamConfig &stream, const stMediaSourceReadWorkerConfig &source,
                                   const ConfigValueMap &values)
{
    const bool capture = source.MSTYPE == SOURCE_TYPE_VCAP || source.MSTYPE == SOURCE_TYPE_ACAP;
    if (capture) {
        stream.StrmAlias = source.Name;
        stream.MediaType = source.MSTYPE == SOURCE_TYPE_VCAP ? 0 : 1;
        stream.avStrmId = -1;
    } else {
        const stConfigValue *type = FindItemValue(values, L"StrmType");
        if (!type) {
            stream.MediaType = -1;
            return;
        }
        stream.MediaType = EqualsNoCase(type->text, L"Video") ? 0 : (EqualsNoCase(type->text, L"Audio") ? 1 : -1);
        // Without an index, the markers by which the readers pick the best stream of the type.
        stream.avStrmId = stream.MediaType == 1 ? -2 : -1;
        TakeInt16(values, L"avStrmId", stream.avStrmId);
        TakeText(values, L"StrmAlias", stream.StrmAlias);
    }
    int16_t cache = 0;
    stream.ProactiveCache = 0;
    if (TakeInt16(values, L"ProactiveCache", cache))
        stream.ProactiveCache = static_cast<uint16_t>(cache) > 60000 ? 0 : static_cast<uint16_t>(cache);
    stream.PiADTC = 0;
    TakeBool(values, L"PiADTC", stream.PiADTC);
    if (source.MSTYPE == SOURCE_TYPE_VCAP)
        ReadDirectOutputKeys(values, stream.DirectOutputSettings);
    else if (source.MSTYPE == SOURCE_TYPE_ACAP)
        ReadAudioRendering(values, stream);
    stream.CrucailStream = 0;
    TakeBool(values, L"CrucailStream", stream.CrucailStream);
    if (source.MSTYPE == SOURCE_TYPE_VCAP && stream.MediaType == 0) {
        stream.FrameWidth = 0;
        stream.FrameHeight = 0;
        TakeInt16(values, L"FrameWidth", stream.FrameWidth);
        TakeInt16(values, L"FrameHeight", stream.FrameHeight);
        stream.OutputFramerate = FrameRateByRule(values, 30.0f);
    } else if (source.MSTYPE == SOURCE_TYPE_ACAP && stream.MediaType == 1) {
        stream.SampleRate = 0;
        stream.ChannelNum = 0;
        TakeInt(values, L"SampleRate", stream.SampleRate);
        TakeInt16(values, L"ChannelNum", stream.ChannelNum);
    }
    stream.BitRate = 0;
    stream.Bitdepth = 0;
    TakeInt(values, L"BitRate", stream.BitRate);
    TakeInt16(values, L"Bitdepth", stream.Bitdepth);
    if (!source.UseNTP)
        ReadNtpFreeTiming(values, stream);
}

int32_t LoadMSReadersConfigXml(const std::wstring &path)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, __func__);
    if (result != 0)
        return result;
    WorkerConfigRegistry<stMediaSourceReadWorkerConfig> &registry = CTYXGVMS::MSReaderConfigs();
    registry.clear();

    std::vector<ConfigValueMap> items;
    const int32_t count = ReadConfigSection(document, kMediaSources, CommonSectionFlags(), items);
    bool error = false;
    for (const ConfigValueMap &item : items) {
        stMediaSourceReadWorkerConfig record;
        if (!BeginUniqueWorkerItem(item, count, kMediaSources.idBase, registry, L"MWreader", record))
            continue;
        if (ReadMediaSource(document, item, record, error))
            RegisterWorkerConfig(registry, std::move(record));
    }
    return error ? -1 : static_cast<int32_t>(registry.size());
}
