#include "core/TYXWorkerConfig.h"

#include "core/FramePackage.h"
#include "core/debuglog.h"

#include <algorithm>
#include <cwctype>

namespace {

// A stream number that does not fit the low 8 bits of an id would name another producer's stream.
bool IsValidStreamNo(const stTYXWorkerConfig &config, int32_t number)
{
    if (number >= 1 && number <= TYX_MAX_STREAM_NO)
        return true;
    TYX_LOG(3, L"Configuration:Stream No[%d] of worker[%s:%x] is outside 1..255, Skip it!", number,
            config.Name.c_str(), static_cast<uint32_t>(config.WorkerId));
    return false;
}

int32_t KindOfMediaType(int32_t mediaType)
{
    switch (mediaType) {
    case 0: return TYX_PKT_KIND_CODED_VIDEO;
    case 1: return TYX_PKT_KIND_CODED_AUDIO;
    default: return TYX_PKT_KIND_NONE;
    }
}

stTYXWorkerItemInfo MakeItem(int32_t id, int32_t number, int32_t kind, const std::wstring &name)
{
    stTYXWorkerItemInfo item;
    item.Id = id;
    item.No = static_cast<int16_t>(number);
    item.Kind = kind;
    item.Name = name;
    return item;
}

std::wstring NameOf(const std::map<int32_t, std::wstring> &names, int32_t streamId)
{
    const auto found = names.find(streamId);
    return found != names.end() ? found->second : std::wstring();
}

} // namespace

bool TYXEqualNoCase(const std::wstring &a, const std::wstring &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
        return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
    });
}

// ---- base record ----

int32_t stTYXWorkerConfig::FindOutputItemId(int32_t number, const std::wstring &name) const
{
    if (number <= 0 && name.empty())
        return -2;
    for (const stTYXWorkerItemInfo &item : OutputItems) {
        const bool match = number <= 0 ? TYXEqualNoCase(item.Name, name) : item.No == number;
        if (match)
            return item.Id;
    }
    return 0;
}

int32_t stTYXWorkerConfig::OwnStreamId(int32_t number) const
{
    // Unsigned, because writer ids run above the signed range.
    return static_cast<int32_t>(static_cast<uint32_t>(WorkerId) + static_cast<uint32_t>(number));
}

// ---- media source reader ----

stMediaSourceReadWorkerConfig::stMediaSourceReadWorkerConfig()
{
    InputStreamTypes = 0x1E;
    OutputStreamTypes = 0x1F;
    MultiInput = 1;
    MultiOutput = 1;
}

void stMediaSourceReadWorkerConfig::BuildIOItems()
{
    InputItems.clear();
    for (const auto &[number, stream] : Streams) {
        if (IsValidStreamNo(*this, number))
            InputItems.push_back(MakeItem(stream.StreamId, number, KindOfMediaType(stream.MediaType), stream.StrmAlias));
    }
    OutputItems = InputItems;

    constexpr uint8_t av = TYX_STRM_RAW_VIDEO | TYX_STRM_RAW_AUDIO;
    InputStreamTypes &= static_cast<uint8_t>(~av);
    OutputStreamTypes &= static_cast<uint8_t>(~av);
    if (MSTYPE == TYX_MS_VCAP || MSTYPE == TYX_MS_ACAP) {
        const uint8_t raw = MSTYPE == TYX_MS_VCAP ? TYX_STRM_RAW_VIDEO : TYX_STRM_RAW_AUDIO;
        InputStreamTypes |= raw;
        OutputStreamTypes |= raw;
        MultiInput = 0;
        MultiOutput = 0;
    }
}

stTYXStreamConfig stMediaSourceReadWorkerConfig::GetStreamConfig(int32_t streamId) const
{
    const int64_t number = static_cast<int64_t>(static_cast<uint32_t>(streamId)) -
                           static_cast<int64_t>(static_cast<uint32_t>(WorkerId));
    if (number < 0 || number > INT16_MAX)
        return {};
    const auto found = Streams.find(static_cast<int16_t>(number));
    return found != Streams.end() ? found->second : stTYXStreamConfig{};
}

// ---- decoders and encoders: one input, one output ----

stVideoDecodeWorkerConfig::stVideoDecodeWorkerConfig()
{
    InputStreamTypes = 0x05;
    OutputStreamTypes = 0x03;
}

void stVideoDecodeWorkerConfig::BuildIOItems()
{
    InputItems = {MakeItem(VideoSource, 1, TYX_PKT_KIND_CODED_VIDEO, VideoSourceName)};
    OutputItems = {MakeItem(OwnStreamId(1), 1, TYX_PKT_KIND_RAW_VIDEO, Name)};
}

stAudioDecodeWorkerConfig::stAudioDecodeWorkerConfig()
{
    InputStreamTypes = 0x11;
    OutputStreamTypes = 0x09;
}

void stAudioDecodeWorkerConfig::BuildIOItems()
{
    InputItems = {MakeItem(AudioSource, 1, TYX_PKT_KIND_CODED_AUDIO, AudioSourceName)};
    OutputItems = {MakeItem(OwnStreamId(1), 1, TYX_PKT_KIND_RAW_AUDIO, Name)};
}

stVideoEncodeWorkerConfig::stVideoEncodeWorkerConfig()
{
    InputStreamTypes = 0x03;
    OutputStreamTypes = 0x05;
}

void stVideoEncodeWorkerConfig::BuildIOItems()
{
    InputItems = {MakeItem(VideoSource, 1, TYX_PKT_KIND_RAW_VIDEO, VideoSourceName)};
    OutputItems = {MakeItem(OwnStreamId(1), 1, TYX_PKT_KIND_CODED_VIDEO, Name)};
}

stAudioEncodeWorkerConfig::stAudioEncodeWorkerConfig()
{
    InputStreamTypes = 0x09;
    OutputStreamTypes = 0x11;
}

void stAudioEncodeWorkerConfig::BuildIOItems()
{
    InputItems = {MakeItem(AudioSource, 1, TYX_PKT_KIND_RAW_AUDIO, AudioSourceName)};
    OutputItems = {MakeItem(OwnStreamId(1), 1, TYX_PKT_KIND_CODED_AUDIO, Name)};
}

// ---- mid-processors ----

stVideoMidProcWorkerConfig::stVideoMidProcWorkerConfig()
{
    InputStreamTypes = 0x03;
    OutputStreamTypes = 0x03;
    MultiInput = 1;
    MultiOutput = 1;
}

void stVideoMidProcWorkerConfig::BuildIOItems()
{
    InputItems.clear();
    OutputItems.clear();
    switch (MPType) {
    case TYX_MP_MUX:
        for (const auto &[number, streamId] : MuxSettings.MuxInputs)
            InputItems.push_back(MakeItem(streamId, number, TYX_PKT_KIND_RAW_VIDEO, NameOf(MuxSettings.MuxInputNames, streamId)));
        OutputItems.push_back(MakeItem(OwnStreamId(1), 1, TYX_PKT_KIND_RAW_VIDEO, Name));
        MultiInput = 1;
        MultiOutput = 0;
        break;
    case TYX_MP_MATRIX:
        for (const auto &[number, streamId] : MatrixInputs)
            InputItems.push_back(MakeItem(streamId, number, TYX_PKT_KIND_RAW_VIDEO, NameOf(MatrixInputNames, streamId)));
        for (const auto &output : MatrixOutputs) {
            if (IsValidStreamNo(*this, output.first))
                OutputItems.push_back(MakeItem(OwnStreamId(output.first), output.first, TYX_PKT_KIND_RAW_VIDEO, L""));
        }
        MultiInput = 1;
        MultiOutput = 1;
        break;
    case TYX_MP_SPLIT:
        InputItems.push_back(MakeItem(SingleInput.VideoSource, 1, TYX_PKT_KIND_RAW_VIDEO, SingleInput.SourceName));
        for (const auto &[number, output] : SingleInput.Outputs) {
            if (IsValidStreamNo(*this, number))
                OutputItems.push_back(MakeItem(output.StreamId, number, TYX_PKT_KIND_RAW_VIDEO, output.Alias));
        }
        MultiInput = 0;
        MultiOutput = 1;
        break;
    case TYX_MP_UNIFY:
        InputItems.push_back(MakeItem(SingleInput.VideoSource, 1, TYX_PKT_KIND_RAW_VIDEO, SingleInput.SourceName));
        OutputItems.push_back(MakeItem(OwnStreamId(1), 0, TYX_PKT_KIND_RAW_VIDEO, Name));
        MultiInput = 0;
        MultiOutput = 0;
        break;
    default:
        break;
    }
}

// ---- media writer ----

stMediaWriteWorkerConfig::stMediaWriteWorkerConfig()
{
    InputStreamTypes = 0x15;
    OutputStreamTypes = 0x14;
    MultiInput = 1;
    MultiOutput = 0;
}

void stMediaWriteWorkerConfig::BuildIOItems()
{
    InputItems.clear();
    for (const auto &[streamId, name] : VideoStreams)
        InputItems.push_back(MakeItem(streamId, 1, TYX_PKT_KIND_CODED_VIDEO, name));
    for (const auto &[streamId, name] : AudioStreams)
        InputItems.push_back(MakeItem(streamId, 1, TYX_PKT_KIND_CODED_AUDIO, name));
    OutputItems = InputItems;
}
