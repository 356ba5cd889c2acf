#include "input/CaptureReader.h"

#include "core/TYXUtils.h"
#include "core/TYXWorker.h"
#include "core/debuglog.h"
#include "platform/TickCount.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

#include <mutex>

namespace {

constexpr int64_t kProbeBytes = 1048576;

std::once_flag g_devicesRegistered;

bool ConsoleOn()
{
    return CTYXWorker::IsProcessScreenOutputOn();
}

// How the log lines name the captured stream.
const wchar_t *StreamWord(int32_t mediaType)
{
    return mediaType == AVMEDIA_TYPE_AUDIO ? L"Audio" : L"video";
}

} // namespace

CCaptureReader::CCaptureReader()
{
    std::call_once(g_devicesRegistered, [] { avdevice_register_all(); });
    m_capturePacket = av_packet_alloc();
}

CCaptureReader::~CCaptureReader()
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    CCaptureReader::CloseLocked();
    av_packet_free(&m_capturePacket);
}

int32_t CCaptureReader::OpenMediaSource(const std::string &source, StreamRequestMap *, StreamRequestMap *)
{
    return OpenDevice(source);
}

stMediaStreamInfo *CCaptureReader::GetStreamParameters(int16_t)
{
    return m_hasRecord ? &m_record : nullptr;
}

const AVCodecParameters *CCaptureReader::CodecParameters() const
{
    return m_capturedStream ? m_capturedStream->codecpar : nullptr;
}

void CCaptureReader::CloseLocked()
{
    // The record owns copies of what it took from the stream, so the input may go in any order.
    m_opened = false;
    m_capturedIndex = -1;
    m_capturedStream = nullptr;
    m_record = stMediaStreamInfo();
    m_hasRecord = false;
    if (m_capturePacket)
        av_packet_unref(m_capturePacket);
    av_dict_free(&m_options);
    CMediaSourceReader::CloseLocked();
}

int32_t CCaptureReader::OpenInput(const std::string &name, bool video, const wchar_t *tag, bool interrupt,
                                  int32_t openDeadlineUs)
{
    const int32_t mapped = ResolveCaptureSource(name, video, m_allowTestSources, m_deviceFolder, m_source);
    if (mapped < 0) {
        TYX_LOG(3, L"%s Device name (%s) refused with error=%d.", tag, StringToWString(PrintableDeviceName(name)).c_str(), mapped);
        return mapped;
    }
    m_format = avformat_alloc_context();
    if (!m_format) {
        TYX_LOG(3, L"%s avformat_alloc_context Failed  with NULL pointer returned!", tag);
        return -2;
    }
    m_format->probesize = kProbeBytes;
    m_format->format_probesize = static_cast<int>(kProbeBytes);
    if (interrupt) {
        m_format->interrupt_callback.callback = MediaIoInterruptCallback;
        m_format->interrupt_callback.opaque = this;
    }
    const AVInputFormat *format = m_source.format.empty() ? nullptr : av_find_input_format(m_source.format.c_str());
    if (!format && !m_source.format.empty()) {
        TYX_LOG(3, L"%s av_find_input_format for %S Failed !", tag, m_source.format.c_str());
        avformat_free_context(m_format);
        m_format = nullptr;
        return -4;
    }
    int result;
    {
        CDeadline deadline(*this, openDeadlineUs);
        // On failure FFmpeg frees the context and clears the pointer.
        result = avformat_open_input(&m_format, m_source.url.c_str(), format, &m_options);
    }
    if (result < 0) {
        CloseLocked();
        return result;
    }
    TYX_LOG(5, L"%s Device (%s) openned successfully.", tag, StringToWString(name).c_str());
    if (ConsoleOn())
        ConsolePrintf("Openned successfully.\n");
    return 0;
}

int32_t CCaptureReader::FindCapturedStream(const std::string &name, int32_t mediaType, const wchar_t *tag, int32_t deadlineUs)
{
    int result;
    {
        CDeadline deadline(*this, deadlineUs);
        result = avformat_find_stream_info(m_format, nullptr);
    }
    if (result < 0) {
        CloseLocked();
        return result;
    }
    const std::wstring wideName = StringToWString(name);
    if (m_format->nb_streams == 0) {
        TYX_LOG(3, L"%s There NO any stream in (%s)!", tag, wideName.c_str());
        if (ConsoleOn())
            ConsolePrintfW(L"\t\t\t%s There NO any stream in (%s)!\n", tag, wideName.c_str());
        CloseLocked();
        return TYX_MSR_NO_STREAM;
    }
    int32_t index;
    {
        CDeadline deadline(*this, deadlineUs);
        index = ChooseStream(mediaType);
    }
    if (index < 0) {
        TYX_LOG(3, L"%s Failed to retrieve %s stream from %s!", tag, StreamWord(mediaType), wideName.c_str());
        if (ConsoleOn())
            ConsolePrintfW(L"\t\t\t%s Failed to retrieve %s stream from %s!\n", tag, StreamWord(mediaType), wideName.c_str());
        CloseLocked();
        return TYX_MSR_STREAM_NOT_FOUND;
    }
    return index;
}

int32_t CCaptureReader::RefuseStreamWithoutParameters(int32_t mediaType, const wchar_t *tag)
{
    TYX_LOG(3, L"%s  Fatal error: There no codec-parameter for input %s stream!", tag, StreamWord(mediaType));
    if (ConsoleOn())
        ConsolePrintfW(L"\t\t\t%s Fatal error: There no codec-parameter for input %s stream!\n", tag, StreamWord(mediaType));
    CloseLocked();
    return TYX_CAP_NO_CODEC_PARAMETERS;
}

int32_t CCaptureReader::ChooseStream(int32_t mediaType)
{
    const auto type = static_cast<AVMediaType>(mediaType);
    const int best = av_find_best_stream(m_format, type, -1, -1, nullptr, 0);
    if (best >= 0)
        return best;
    for (unsigned i = 0; i < m_format->nb_streams; ++i) {
        if (m_format->streams[i]->codecpar && m_format->streams[i]->codecpar->codec_type == type)
            return static_cast<int32_t>(i);
    }
    return -1;
}

int32_t CCaptureReader::ReadCapturedPacket(const wchar_t *tag, int32_t eagainLevel, int32_t deadlineUs)
{
    for (;;) {
        if (AbortRequested())
            return AVERROR_EXIT;
        const uint32_t started = GetTickCount32();
        int result;
        {
            CDeadline deadline(*this, deadlineUs);
            result = av_read_frame(m_format, m_capturePacket);
        }
        m_lastReadMs = static_cast<int32_t>(GetTickCount32() - started);
        m_lastReadTime = Now();
        if (result == AVERROR(EAGAIN)) {
            av_packet_unref(m_capturePacket);
            TYX_LOG(eagainLevel, L"%s:Frame reading failed with EAGAIN returned at [%lld], retry later...", tag,
                    static_cast<long long>(m_lastReadTime));
            SleepMs(10);
            continue;
        }
        if (result == AVERROR_EOF) {
            TYX_LOG(3, L"%sav_read_frame() got EOF(%d)!", tag, result);
            return 0;
        }
        if (result < 0) {
            TYX_LOG(3, L"%sav_read_frame() got error=%d!", tag, result);
            return result;
        }
        const AVPacket *packet = m_capturePacket;
        if (packet->stream_index != m_capturedIndex) {
            TYX_LOG(3, L"%s: [%lld]Frame discard for its stream id(%d) is invalid.", tag,
                    static_cast<long long>(packet->pts), packet->stream_index);
            av_packet_unref(m_capturePacket);
            continue;
        }
        // An empty packet is read past too: ending the capture for it would stop the source for good.
        if (packet->pts < 0 || packet->dts < 0 || packet->size <= 0 || !packet->data) {
            TYX_LOG(3, L"%s: Invalid Frame with (pts=[%lld],dts=[%lld],size=%d) read and discard at [%lld]!", tag,
                    static_cast<long long>(packet->pts), static_cast<long long>(packet->dts), packet->size,
                    static_cast<long long>(m_lastReadTime));
            av_packet_unref(m_capturePacket);
            continue;
        }
        ++m_readCount;
        m_lastPts = packet->pts;
        TakeRealtimeStart();
        return packet->size;
    }
}

int32_t CCaptureReader::ReadCapturedPackage(FramePackage &package, const wchar_t *tag, int32_t eagainLevel, int32_t deadlineUs)
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    if (!m_opened || !m_format)
        return TYX_MSR_NOT_OPENED;
    if (!m_capturePacket)
        return TYX_MSR_NO_PACKET;
    av_packet_unref(m_capturePacket);
    package.nLength = -9999;
    package.inDevice = 0;
    const int32_t result = ReadCapturedPacket(tag, eagainLevel, deadlineUs);
    if (result <= 0)
        return result;
    const AVPacket *packet = m_capturePacket;
    package.streamIndex = m_capturedIndex;
    package.pData = packet->data;
    package.nLength = packet->size;
    package.pts = packet->pts;
    package.dts = packet->dts;
    package.duration = packet->duration;
    package.flags = packet->flags;
    return package.nLength;
}
