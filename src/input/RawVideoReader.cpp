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
    const int32_t result = OpenInput(deviceName, true, kOpenTag, true, kOpenDeadlineUs);
    if (result < 0)
        return result;
    m_format->max_analyze_duration = kAnalyzeDurationUs;
    const int32_t index = FindCapturedStream(deviceName, AVMEDIA_TYPE_VIDEO, kOpenTag, kProbeDeadlineUs);
    if (index < 0)
        return index;
    const int32_t taken = TakeStream(index, name);
    if (taken < 0)
        return taken;
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
    if (!par)
        return RefuseStreamWithoutParameters(AVMEDIA_TYPE_VIDEO, kOpenTag);
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
    const int32_t result = ReadCapturedPackage(package, kReadTag, 3, ReadDeadlineUs());
    if (result <= 0)
        return result;
    package.mediaType = TYX_MEDIA_VIDEO;
    return result;
}
