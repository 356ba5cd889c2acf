#include "output/MP4Wrapper.h"

#include "output/Mp4Duration.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <filesystem>

namespace {

constexpr int32_t kMaxStreams = 16;
constexpr int32_t kErrNotOpened = -32769;
constexpr int32_t kErrUnknownStream = -32772;
// A fragment at every key frame and at least every second; each written out at once.
constexpr const char *kFragmentFlags = "frag_keyframe+empty_moov+default_base_moof";
constexpr const char *kFragmentDurationUs = "1000000";

#define MP4_LOG(level, method, ...) DebugLog((level), "MP4Wrapper", "CMP4Wrapper::" method, __LINE__, __VA_ARGS__)

void SetMetadataText(AVDictionary **dictionary, const char *key, const std::wstring &value)
{
    if (!value.empty())
        av_dict_set(dictionary, key, WStringToString(value).c_str(), 0);
}

} // namespace

CMP4Wrapper::CMP4Wrapper() = default;

CMP4Wrapper::~CMP4Wrapper()
{
    Close();
}

int32_t CMP4Wrapper::Open(const std::string *destination, std::vector<stWriterStreamParams> *params, int32_t count)
{
    if (destination && !destination->empty()) {
        SetDestination(*destination);
    } else if (m_destination.size() < 4) {
        MP4_LOG(3, "Open", L"[CMP4Wrapper]Invalid file name (%S)!", m_destination.c_str());
        return -1;
    }
    if (count > kMaxStreams) {
        MP4_LOG(3, "Open", L"[CMP4Wrapper]Invalid Stream number(%d)!", count);
        return -2;
    }
    if (count > 0 && (!params || params->size() < static_cast<size_t>(count))) {
        MP4_LOG(3, "Open", L"[CMP4Wrapper]Stream no(%d)>0 but encPars is NULL!", count);
        return -2;
    }
    Close();
    m_addedParams.clear();
    int32_t result = AllocContext(nullptr);
    if (!m_context)
        result = AllocContext("mpeg");
    if (result < 0 && !m_context) {
        MP4_LOG(3, "Open", L"[CMP4Wrapper]Initailizing failed with avformat_alloc_output_context2() returned !");
        return result;
    }
    if (!m_context) {
        MP4_LOG(3, "Open",
                L"[CMP4Wrapper]Initailizing failed with m_OutputContex==NULL after avformat_alloc_output_context2() returned!");
        return -4;
    }
    return AddStreamsAndPrepare(params, count);
}

int32_t CMP4Wrapper::addNewStream(stWriterStreamParams &params, int32_t flag)
{
    if (m_opened)
        return -4;
    if (!m_context)
        return -2;
    const int32_t index = AddStreamToContext(params, "MP4Wrapper", "CMP4Wrapper::addNewStream");
    if (index >= 0 && flag == 0)
        m_addedParams.push_back(params);
    return index;
}

int32_t CMP4Wrapper::PrepareForWriting(const stWriterMetadata *metadata)
{
    if (!m_context)
        return -2;
    // A file this open makes goes again when its header fails: no empty file stays behind.
    const bool makesFile = !(m_context->oformat->flags & AVFMT_NOFILE) && !m_context->pb &&
                           GetFileFacts(m_destination).kind == EFileKind::Missing;
    int32_t result = OpenIoWhenNeeded();
    if (result < 0) {
        MP4_LOG(3, "PrepareForWriting", L"Record file open for writing failed, with avio_open() return error %d!",
                result);
        return -8;
    }
    if (metadata) {
        SetMetadataText(&m_context->metadata, "title", metadata->title);
        SetMetadataText(&m_context->metadata, "subtitle", metadata->subtitle);
        SetMetadataText(&m_context->metadata, "comment", metadata->comment);
        SetMetadataText(&m_context->metadata, "composer", metadata->composer);
    }
    if (!(m_context->oformat->flags & AVFMT_NOFILE))
        m_hold.Take(m_destination);
    m_context->start_time_realtime = 0;
    AVDictionary *options = nullptr;
    m_fragmented = std::string(m_context->oformat->name) == "mp4";
    m_spanFirstUs = TYX_NOPTS_VALUE;
    m_spanEndUs = TYX_NOPTS_VALUE;
    if (m_fragmented) {
        av_dict_set(&options, "movflags", kFragmentFlags, 0);
        av_dict_set(&options, "frag_duration", kFragmentDurationUs, 0);
        av_dict_set(&options, "flush_packets", "1", 0);
    }
    result = avformat_write_header(m_context.get(), &options);
    av_dict_free(&options);
    if (result < 0) {
        MP4_LOG(3, "PrepareForWriting",
                L"Record file initailizing failed, with avformat_write_header() return error %d!", result);
        if (makesFile)
            RemoveUnwrittenFile();
        return -16;
    }
    MP4_LOG(6, "PrepareForWriting", L"Media File header wrote.");
    m_opened = true;
    return result;
}

void CMP4Wrapper::RemoveUnwrittenFile()
{
    avio_closep(&m_context->pb);
    m_hold.Release();
    std::error_code error;
    std::filesystem::remove(m_destination, error);
}

int32_t CMP4Wrapper::Write_Frame(int16_t index, const FramePackage &package, AVRational timeBase)
{
    if (!m_opened)
        return kErrNotOpened;
    stOutputStream *stream = FindStream(index);
    if (!stream)
        return kErrUnknownStream;
    MP4_LOG(7, "Write_Frame", L"Files writer wrting pkt(pts=%lld,dts=%lld,duration=%lld) into stream(%d)...",
            static_cast<long long>(package.pts), static_cast<long long>(package.dts),
            static_cast<long long>(package.duration), static_cast<int32_t>(index));
    const int32_t result = WritePacket(*stream, package, timeBase);
    if (result >= 0)
        NoteSpan(package, timeBase);
    if (result < 0)
        MP4_LOG(3, "Write_Frame", L"Record file writing failed, with av_interleaved_write_frame() return error %d!",
                result);
    return result;
}

void CMP4Wrapper::NoteSpan(const FramePackage &package, AVRational timeBase)
{
    if (package.pts == TYX_NOPTS_VALUE)
        return;
    const int64_t startUs = av_rescale_q(package.pts, timeBase, AVRational{1, 1000000});
    const int64_t endUs = startUs + std::max<int64_t>(av_rescale_q(package.duration, timeBase, AVRational{1, 1000000}), 0);
    if (m_spanFirstUs == TYX_NOPTS_VALUE || startUs < m_spanFirstUs)
        m_spanFirstUs = startUs;
    if (m_spanEndUs == TYX_NOPTS_VALUE || endUs > m_spanEndUs)
        m_spanEndUs = endUs;
}

void CMP4Wrapper::Close()
{
    if (!m_context)
        return;
    const bool hadHeader = m_opened;
    CloseContext(true, "MP4Wrapper", "CMP4Wrapper::Close");
    if (hadHeader && m_fragmented && m_spanFirstUs != TYX_NOPTS_VALUE &&
        !WriteMp4MovieDuration(m_destination, m_spanEndUs - m_spanFirstUs))
        MP4_LOG(3, "Close", L"The length of record file(%S) could not be written into its header.", m_destination.c_str());
    m_fragmented = false;
    m_hold.Release();
    if (hadHeader)
        MP4_LOG(6, "Close", L"Media File tail wrote.");
    MP4_LOG(6, "Close", L"Media File closed.");
}
