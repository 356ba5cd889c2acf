#include "input/RawVideoReader.h"

#include "core/TYXUtils.h"
#include "core/TYXWorker.h"
#include "core/debuglog.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstdio>

namespace {

constexpr const wchar_t *kOpenTag = L"[Video-Capture]";
constexpr const wchar_t *kReadTag = L"[RawVideo-Reader]";
constexpr int32_t kOpenDeadlineUs = 1000000;
constexpr int32_t kProbeDeadlineUs = 2000000;
constexpr int64_t kAnalyzeDurationUs = 15000000;
constexpr int32_t kMinReadDeadlineUs = 1000000;

bool ConsoleOn()
{
    return CTYXWorker::IsProcessScreenOutputOn();
}

} // namespace

void CRawVideoReader::SetRequest(int16_t width, int16_t height, float frameRate)
{
    m_requestedWidth = width;
    m_requestedHeight = height;
    m_requestedFrameRate = frameRate;
}

void CRawVideoReader::SetOptions()
{
    char text[64];
    av_dict_set(&m_options, "avioflags", "direct", 0);
    if (m_requestedWidth > 0 && m_requestedHeight > 0) {
        std::snprintf(text, sizeof(text), "%dx%d", m_requestedWidth, m_requestedHeight);
        av_dict_set(&m_options, "video_size", text, 0);
    }
    // A rate of 0 would be refused by the devices; without one they keep their own.
    if (m_requestedFrameRate > 0.0f) {
        std::snprintf(text, sizeof(text), "%2.2f", m_requestedFrameRate);
        av_dict_set(&m_options, "framerate", text, 0);
    }
}

int32_t CRawVideoReader::ReadDeadlineUs() const
{
    const float fps = m_requestedFrameRate > 0.0f ? m_requestedFrameRate : 0.0f;
    const int32_t twoFrames = fps > 0.0f ? static_cast<int32_t>(2000000.0f / fps) : 0;
    return std::max(kMinReadDeadlineUs, twoFrames);
}

int32_t CRawVideoReader::OpenMediaSource(const std::string &deviceName)
{
    if (deviceName.empty())
        return TYX_MSR_NO_SOURCE;
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    CloseLocked();
    CMediaSourceReader::OpenMediaSource(deviceName, nullptr, nullptr);
    const std::wstring name = StringToWString(deviceName);
    SetOptions();
    m_maxRealtimeStart = 0;

    if (ConsoleOn())
        ConsolePrintf("\t\t [Video-Capture] Openning AV source:%s...", deviceName.c_str());
    int32_t result = OpenInput(deviceName, true, kOpenTag, true, kOpenDeadlineUs);
    if (result < 0)
        return result;
    TYX_LOG(5, L"[Video-Capture] Device (%s) openned successfully.", name.c_str());
    if (ConsoleOn())
        ConsolePrintf("Openned successfully.\n");

    m_format->max_analyze_duration = kAnalyzeDurationUs;
    {
        CDeadline deadline(*this, kProbeDeadlineUs);
        result = avformat_find_stream_info(m_format, nullptr);
    }
    if (result < 0) {
        CloseLocked();
        return result;
    }
    if (m_format->nb_streams == 0) {
        TYX_LOG(3, L"[Video-Capture] There NO any stream in (%s)!", name.c_str());
        if (ConsoleOn())
            ConsolePrintf("\t\t\t[Video-Capture] There NO any stream in (%s)!\n", deviceName.c_str());
        CloseLocked();
        return TYX_MSR_NO_STREAM;
    }
    int32_t index;
    {
        CDeadline deadline(*this, kProbeDeadlineUs);
        index = ChooseStream(AVMEDIA_TYPE_VIDEO);
    }
    if (index < 0) {
        TYX_LOG(3, L"[Video-Capture] Failed to retrieve video stream from %s!", name.c_str());
        if (ConsoleOn())
            ConsolePrintf("\t\t\t[Video-Capture] Failed to retrieve video stream from %s!\n", deviceName.c_str());
        CloseLocked();
        return TYX_MSR_STREAM_NOT_FOUND;
    }
    if ((result = TakeStream(index, name)) < 0)
        return result;
    m_opened = true;
    return m_capturedIndex;
}

int32_t CRawVideoReader::TakeStream(int32_t index, const std::wstring &name)
{
    AVStream *stream = m_format->streams[index];
    m_capturedIndex = static_cast<int16_t>(index);
    m_capturedStream = stream;
    m_record.FillFromStream(stream);
    m_record.frameRate = av_guess_frame_rate(m_format, stream, nullptr);
    m_hasRecord = true;
    m_timeBase = m_record.timeBase;
    m_ticksPerFrame = 0;
    if (m_requestedFrameRate > 0.0f && m_timeBase.num > 0)
        m_ticksPerFrame = static_cast<int32_t>((double(m_timeBase.den) / m_timeBase.num) / m_requestedFrameRate);
    TakeRealtimeStart();

    const AVCodecParameters *par = stream->codecpar;
    if (!par) {
        TYX_LOG(3, L"[Video-Capture]  Fatal error: There no codec-parameter for input video stream!");
        if (ConsoleOn())
            ConsolePrintf("\t\t\t[Video-Capture] Fatal error: There no codec-parameter for input video stream!\n");
        CloseLocked();
        return TYX_CAP_NO_CODEC_PARAMETERS;
    }
    if (par->codec_id != AV_CODEC_ID_NONE && par->codec_id != AV_CODEC_ID_RAWVIDEO) {
        TYX_LOG(5, L"[Video-Capture] The input video stream was in encoded frames with codec(%d), which need decoding first.",
                static_cast<int32_t>(par->codec_id));
        if (ConsoleOn())
            ConsolePrintf("\t\t\t[Video-Capture] The input video stream was in encoded frames with codec(%d), which need decoding first.\n",
                          static_cast<int32_t>(par->codec_id));
        m_needsDecoding = 1;
    } else {
        TYX_LOG(5, L"[Video-Capture] The input video stream was in raw format, which need NOT decoding.");
        if (ConsoleOn())
            ConsolePrintf("\t\t\t[Video-Capture] The input video stream was in raw format, which need NOT decoding.\n");
        m_needsDecoding = 0;
    }
    m_width = par->width;
    m_height = par->height;
    m_pixelFormat = par->format;
    const AVRational rate = m_record.frameRate;
    const double fps = rate.den > 0 ? double(rate.num) / rate.den : 0.0;
    if (ConsoleOn())
        ConsolePrintf("\t\t\t[Video-Capture] Stream real inforamtion retrieved from (%s) are:\n\t\t\t\t\tFrameSize:[%dX%d], Format:[%d],codec:[%d],Framerate:[%3.3f]fps,TimeBase:[%d/%d].\r\n",
                      WStringToString(name).c_str(), m_width, m_height, m_pixelFormat, static_cast<int32_t>(par->codec_id), fps,
                      m_timeBase.num, m_timeBase.den);
    TYX_LOG(5, L"[Video-Capture]: Stream real inforamtion retrieved from (%s) are:\n\t\t\t\t\t\tFrameSize:[%dX%d], Format:[%d],codec:[%d],Framerate:[%3.3f]fps,TimeBase:[%d/%d].\r\n",
            name.c_str(), m_width, m_height, m_pixelFormat, static_cast<int32_t>(par->codec_id), fps, m_timeBase.num,
            m_timeBase.den);
    m_record.frameSize = PlanarFrameSize(m_record.pixelFormat, m_record.width, m_record.height, &m_record.bitDepth);
    return 0;
}

int32_t CRawVideoReader::ReadPacket(FramePackage &package)
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    if (!m_opened || !m_format)
        return TYX_MSR_NOT_OPENED;
    if (!m_capturePacket)
        return TYX_MSR_NO_PACKET;
    av_packet_unref(m_capturePacket);
    package.nLength = -9999;
    package.inDevice = 0;
    const int32_t result = ReadCapturedPacket(kReadTag, 3, ReadDeadlineUs());
    if (result <= 0)
        return result;
    package.mediaType = TYX_MEDIA_VIDEO;
    FillCommonFields(package);
    return package.nLength;
}
