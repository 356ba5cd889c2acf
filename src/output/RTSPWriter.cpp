#include "output/RTSPWriter.h"

#include "core/debuglog.h"

namespace {

constexpr int32_t kErrNoContext = -32;
constexpr int32_t kErrHeader = -64;
constexpr int64_t kMaxInterleaveDeltaUs = 100000;

} // namespace

CRTSPWriter::CRTSPWriter(const std::string &url, bool overTcp) : CStreamWriter(url), m_overTcp(overTcp)
{
}

CRTSPWriter::~CRTSPWriter()
{
    Close();
}

int32_t CRTSPWriter::Open(const std::string *destination, std::vector<stWriterStreamParams> *params, int32_t count)
{
    return OpenPush("rtsp", destination, params, count);
}

int32_t CRTSPWriter::addNewStream(stWriterStreamParams &params, int32_t)
{
    if (!m_context || m_opened)
        return -4;
    return AddStreamToContext(params, "RTSPWriter", "CRTSPWriter::addNewStream");
}

int32_t CRTSPWriter::PrepareForWriting(const stWriterMetadata *)
{
    if (!m_context)
        return kErrNoContext;
    av_dict_free(&m_options);
    if (m_overTcp)
        av_dict_set(&m_options, "rtsp_transport", "tcp", 0);
    av_dict_set(&m_options, "buffer_size", "512000", 0);
    av_dict_set(&m_options, "max_delay", "100", 0);
    // The socket time-out in µs; FFmpeg 5 and later know it as "timeout" only.
    av_dict_set(&m_options, "timeout", "10000000", 0);
    m_context->start_time_realtime = 0;
    m_context->max_interleave_delta = kMaxInterleaveDeltaUs;
    const int result = avformat_write_header(m_context.get(), &m_options);
    if (result < 0) {
        DebugLog(3, "RTSPWriter", "CRTSPWriter::PrepareForWriting", __LINE__,
                 L"RTSP announcing to (%S) failed with error %d(%s)!", m_destination.c_str(), result,
                 AvErrorText(result).c_str());
        // The context of a failed header is of no use to the next Open, which makes its own.
        Close();
        return kErrHeader;
    }
    const AVDictionaryEntry *unused = nullptr;
    while ((unused = av_dict_get(m_options, "", unused, AV_DICT_IGNORE_SUFFIX)))
        DebugLog(6, "RTSPWriter", "CRTSPWriter::PrepareForWriting", __LINE__, L"RTSP option %S=%S not used.",
                 unused->key, unused->value);
    m_opened = true;
    return 0;
}

int32_t CRTSPWriter::Write_Frame(int16_t index, const FramePackage &package, AVRational timeBase)
{
    return WritePushFrame(index, package, timeBase);
}

void CRTSPWriter::Close()
{
    CloseContext(true, "RTSPWriter", "CRTSPWriter::Close");
}
