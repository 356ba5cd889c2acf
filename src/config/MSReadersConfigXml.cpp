#include "config/GTYXConfigXml.h"

#include "config/ConfigItem.h"
#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/ConfigText.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

namespace {

const stConfigSection kMediaSources = {L"/Config/MediaSources", L"MSCount", CFG_SCHEMA_MEDIA_SOURCE,
                                       TYX_ID_BASE_MEDIA_READER, 0x01FFFFFFu, L"MWreader"};

// Stream numbers share the low 8 bits of the source's worker id.
constexpr int32_t MAX_SOURCE_STREAMS = TYX_MAX_STREAM_NO;

int32_t InRangeOr(int32_t value, int32_t low, int32_t high, int32_t fallback)
{
    return (value >= low && value <= high) ? value : fallback;
}

const ConfigKeySchema &StreamSchema()
{
    static const ConfigKeySchema schema = [] {
        ConfigKeySchema built;
        GetConfigKeySchema(CFG_SCHEMA_SOURCE_STREAM, built);
        return built;
    }();
    return schema;
}

std::wstring StreamLabel(const stMediaSourceReadWorkerConfig &source, int32_t number)
{
    const std::wstring owner = L"MWreader(No=" + std::to_wstring(source.No) + L", Name=" + source.Name + L")";
    return number > 0 ? L"Stream No[" + std::to_wstring(number) + L"] of " + owner : L"Stream of " + owner;
}

void ReadNtpFreeTiming(const CConfigItem &values, stTYXStreamConfig &stream)
{
    stream.EstmtDly = -1;
    int32_t number = 0;
    if (values.Int(L"EstmtDly", number))
        stream.EstmtDly = InRangeOr(number, -1, 10000, -1);
    if (stream.EstmtDly < 1 || stream.EstmtDly > 10000) {
        if (stream.MediaType == 0)
            stream.EstmtDly = 300;
        else if (stream.MediaType == 1)
            stream.EstmtDly = 150;
    }
    stream.PktInBlock = 0;
    values.Bool(L"PktInBlock", stream.PktInBlock);
    if (!stream.PktInBlock)
        return;
    number = 0;
    stream.PktItvMax = values.Int(L"PktItvMax", number) ? InRangeOr(number, 1, 200, 50) : 50;
    number = 0;
    stream.PktGrpItvMax = values.Int(L"PktGrpItvMax", number) ? InRangeOr(number, 11, 3000, 800) : 800;
    number = 0;
    stream.BlocksSkipAtBegin = static_cast<uint16_t>(values.Int(L"BlocksSkipAtBegin", number) ? InRangeOr(number, 1, 60, 6) : 6);
}

void ReadAudioRendering(const CConfigItem &values, stTYXStreamConfig &stream)
{
    stream.AudioDirectOutput = 0;
    values.Bool(L"DirectOutput", stream.AudioDirectOutput);
    if (!stream.AudioDirectOutput)
        return;
    stream.AudioOutputDevice.clear();
    int16_t device = 0;
    if (values.Int16(L"OutputDeviceNo", device) && device > 0)
        FindAudioRenderingDevice(device, stream.AudioOutputDevice);
}

void FillStreamConfig(stTYXStreamConfig &stream, const stMediaSourceReadWorkerConfig &source, const CConfigItem &values)
{
    const bool capture = source.MSTYPE == SOURCE_TYPE_VCAP || source.MSTYPE == SOURCE_TYPE_ACAP;
    if (capture) {
        stream.StrmAlias = source.Name;
        stream.MediaType = source.MSTYPE == SOURCE_TYPE_VCAP ? 0 : 1;
        stream.avStrmId = -1;
    } else {
        const stConfigValue *type = values.Find(L"StrmType");
        if (!type) {
            stream.MediaType = -1;
            return;
        }
        stream.MediaType = EqualsNoCase(type->text, L"Video") ? 0 : (EqualsNoCase(type->text, L"Audio") ? 1 : -1);
        // Without an index, the markers by which the readers pick the best stream of the type.
        stream.avStrmId = stream.MediaType == 1 ? -2 : -1;
        values.Int16(L"avStrmId", stream.avStrmId);
        values.Text(L"StrmAlias", stream.StrmAlias);
    }
    int32_t cache = 0;
    stream.ProactiveCache = 0;
    if (values.Int(L"ProactiveCache", cache))
        stream.ProactiveCache = (cache < 0 || cache > 60000) ? 0 : static_cast<uint16_t>(cache);
    stream.PiADTC = 0;
    values.Bool(L"PiADTC", stream.PiADTC);
    if (source.MSTYPE == SOURCE_TYPE_VCAP)
        ReadDirectOutputKeys(values, stream.DirectOutputSettings);
    else if (source.MSTYPE == SOURCE_TYPE_ACAP)
        ReadAudioRendering(values, stream);
    stream.CrucailStream = 0;
    values.Bool(L"CrucailStream", stream.CrucailStream);
    if (source.MSTYPE == SOURCE_TYPE_VCAP && stream.MediaType == 0) {
        stream.FrameWidth = 0;
        stream.FrameHeight = 0;
        values.Int16(L"FrameWidth", stream.FrameWidth);
        values.Int16(L"FrameHeight", stream.FrameHeight);
        stream.OutputFramerate = FrameRateByRule(values, 30.0f);
    } else if (source.MSTYPE == SOURCE_TYPE_ACAP && stream.MediaType == 1) {
        stream.SampleRate = 0;
        stream.ChannelNum = 0;
        values.Int(L"SampleRate", stream.SampleRate);
        values.Int16(L"ChannelNum", stream.ChannelNum);
    }
    stream.BitRate = 0;
    stream.Bitdepth = 0;
    values.Int(L"BitRate", stream.BitRate);
    values.Int16(L"Bitdepth", stream.Bitdepth);
    if (!source.UseNTP)
        ReadNtpFreeTiming(values, stream);
}

// Reads stream n of the source from the item's own element (n 0: the first "Stream" element);
// false when it is missing or empty.
bool ReadSourceStream(CConfigXmlDocument &document, const CConfigItem &item, const stMediaSourceReadWorkerConfig &record,
                      int16_t n, stTYXStreamConfig &stream)
{
    ConfigValueMap values;
    ReadNestedElement(document, item, L"Stream", n, StreamSchema(), values);
    if (values.empty())
        return false;
    CConfigItem streamItem(values, nullptr, &StreamSchema(), item.Loader());
    streamItem.SetLabel(StreamLabel(record, n > 0 ? n : 1));
    FillStreamConfig(stream, record, streamItem);
    return true;
}

// Streams of a demultiplexed source: "STRMCOUNT" of them, each by its id. False when the source is
// to be dropped; error is set where the section result must tell.
bool ReadNumberedStreams(CConfigXmlDocument &document, const CConfigItem &item, stMediaSourceReadWorkerConfig &record,
                         bool &error)
{
    int16_t count = 0;
    const bool fits = item.Int16(L"STRMCOUNT", count, L"Skip it!");
    if (!fits || count < 1) {
        if (fits || !item.Has(L"STRMCOUNT"))
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
        if (!ReadSourceStream(document, item, record, n, stream))
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

bool ReadNetworkKeys(const CConfigItem &item, stMediaSourceReadWorkerConfig &record)
{
    if (!item.RequiredText(L"MSFullPath", record.MSFullPath))
        return false;
    record.UseTCP = 1;
    item.Bool(L"UseTCP", record.UseTCP);
    record.Authorization = 0;
    item.Bool(L"Authorization", record.Authorization);
    if (!record.Authorization)
        return true;
    record.AuthUN.clear();
    if (!item.RequiredText(L"AuthUN", record.AuthUN))
        return false;
    record.AuthPwd.clear();
    return item.RequiredText(L"AuthPwd", record.AuthPwd);
}

bool ReadCaptureDevice(const CConfigItem &item, stMediaSourceReadWorkerConfig &record, bool &error)
{
    int32_t device = 0;
    if (!item.RequiredInt(L"CapDvcNo", 1, INT16_MAX, device)) {
        error = true;
        return false;
    }
    const bool video = record.MSTYPE == SOURCE_TYPE_VCAP;
    const FixedDeviceMap &devices = video ? CTYXGVMS::FixedVideoInDevices() : CTYXGVMS::FixedAudioInDevices();
    const auto found = devices.find(static_cast<uint16_t>(device));
    if (found == devices.end()) {
        if (video)
            TYX_LOG(3, L"Configuration: video capture adapter No(%d) referenced by MWreader No(%d) not found in RVI list, give up it.",
                    device, static_cast<int32_t>(record.No));
        else
            TYX_LOG(3, L"Configuration: Audio capture adapter No(%d) referenced by MWreader No(%d) not found in RVI list, give up it.",
                    device, static_cast<int32_t>(record.No));
        error = true;
        return false;
    }
    record.MSFullPath = found->second;
    return true;
}

void ReadReaderType(const CConfigItem &item, stMediaSourceReadWorkerConfig &record)
{
    record.MRType = 1;
    if (const stConfigValue *reader = item.Find(L"MRType")) {
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
}

// One media source item; false when it is dropped.
bool ReadMediaSource(CConfigXmlDocument &document, const CConfigItem &item, stMediaSourceReadWorkerConfig &record,
                     bool &error)
{
    const stConfigValue *type = item.Find(L"MSTYPE");
    record.MSTYPE = type ? ParseSourceType(type->text.c_str()) : 0;
    if (record.MSTYPE == 0) {
        TYX_LOG(3, L"Configuration:MWreader No(%d) was configed as unkown media type(%s), Skip it!",
                static_cast<int32_t>(record.No), type ? type->text.c_str() : L"");
        error = true;
        return false;
    }
    ReadReaderType(item, record);
    record.UseNTP = 0;
    item.Bool(L"UseNTP", record.UseNTP);
    record.UseUTC = 0;
    item.Bool(L"UseUTC", record.UseUTC);

    if (record.MSTYPE == SOURCE_TYPE_VCAP || record.MSTYPE == SOURCE_TYPE_ACAP) {
        stTYXStreamConfig stream;
        if (ReadSourceStream(document, item, record, 0, stream)) {
            stream.StreamId = record.WorkerId + 1;
            record.Streams[1] = std::move(stream);
        }
    } else if (!ReadNumberedStreams(document, item, record, error)) {
        return false;
    }
    item.Bool(L"PushAtBegin", record.PushAtBegin);

    switch (record.MSTYPE) {
    case SOURCE_TYPE_FILE:
        if (!item.RequiredText(L"MSFullPath", record.MSFullPath))
            return false;
        item.Real(L"StartDelay", record.StartDelay);
        item.Real(L"ShowTime", record.ShowTime);
        item.Real(L"PlayFrom", record.PlayFrom);
        item.Real(L"PlayTo", record.PlayTo);
        item.Bool(L"Repeat", record.Repeat);
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
    CConfigItem item(values, nullptr, &StreamSchema(), __func__);
    item.SetLabel(StreamLabel(source, 0));
    FillStreamConfig(stream, source, item);
}

int32_t LoadMSReadersConfigXml(const std::wstring &path)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, __func__);
    if (result != 0)
        return result;
    WorkerConfigRegistry<stMediaSourceReadWorkerConfig> &registry = CTYXGVMS::MSReaderConfigs();
    registry.clear();

    stConfigSectionRead read;
    ReadConfigSection(document, kMediaSources, CommonSectionFlags(), __func__, read);
    CWorkerConfigIndex index(registry);
    bool error = false;
    for (const stConfigSectionItem &entry : read.items) {
        CConfigItem item = MakeSectionItem(read, entry, __func__);
        stMediaSourceReadWorkerConfig record;
        if (!BeginUniqueWorkerItem(item, kMediaSources, read.count, index, record))
            continue;
        if (ReadMediaSource(document, item, record, error))
            RegisterWorkerConfig(registry, index, item, std::move(record));
    }
    return error ? -1 : static_cast<int32_t>(registry.size());
}
