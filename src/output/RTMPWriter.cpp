#include "output/RTMPWriter.h"

#include "core/debuglog.h"

CRTMPWriter::CRTMPWriter(const std::string &url) : CStreamWriter(url)
{
}

CRTMPWriter::~CRTMPWriter()
{
    Close();
}

int32_t CRTMPWriter::Open(const std::string *destination, std::vector<stWriterStreamParams> *params, int32_t count)
{
    return OpenPush("flv", destination, params, count);
}

int32_t CRTMPWriter::addNewStream(stWriterStreamParams &params, int32_t)
{
    if (!m_context || m_opened)
        return -4;
    return AddStreamToContext(params, "RTMPWriter", "CRTMPWriter::addNewStream");
}

int32_t CRTMPWriter::PrepareForWriting(const stWriterMetadata *)
{
    if (!m_context)
        return -2;
    m_context->start_time_realtime = 0;
    const int result = avformat_write_header(m_context.get(), &m_options);
    if (result < 0) {
        DebugLog(3, "RTMPWriter", "CRTMPWriter::PrepareForWriting", __LINE__,
                 L"RTMP header writing to (%S) failed with error %d(%s)!", m_destination.c_str(), result,
                 AvErrorText(result).c_str());
        Close();
        return result;
    }
    m_opened = true;
    return 0;
}

int32_t CRTMPWriter::Write_Frame(int16_t index, const FramePackage &package, AVRational timeBase)
{
    return WritePushFrame(index, package, timeBase);
}

void CRTMPWriter::Close()
{
    CloseContext(true, "RTMPWriter", "CRTMPWriter::Close");
}
