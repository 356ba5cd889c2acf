// CRVProcWorker: status texts, the clock overlay and the per-picture work that subclasses call.

#include "vproc/RVProcWorker.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "output/RVDOServer.h"
#include "output/RVTPServer.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdItem.h"
#include "vproc/OsdWriter.h"

#include <ctime>
#include <cwchar>

namespace {

constexpr int16_t kInfoStatusBelow = -598; // codes below it are information, not errors
constexpr uint8_t kGb2312CharSet = 134;
constexpr int64_t kUsPerSecond = 1000000;

} // namespace

std::wstring CRVProcWorker::StatusText(int32_t statusCode) const
{
    const auto found = m_statusTexts.find(static_cast<int16_t>(statusCode));
    return found == m_statusTexts.end() ? std::wstring() : found->second;
}

std::shared_ptr<COsdWriter> CRVProcWorker::CreateStatusOsdWriter(int32_t position) const
{
    auto writer = std::make_shared<COsdWriter>();
    stOsdFont font;
    font.height = m_statusTextHeight;
    font.weight = 400;
    font.charSet = kGb2312CharSet;
    font.faceName = L"Arial";
    for (const auto &[code, number] : m_statusItems) {
        const int32_t color = code < kInfoStatusBelow ? m_infoTextColor : m_errTextColor;
        const auto item = static_cast<uint16_t>(number);
        if (writer->AddOsd(item, OSD_CONTENT_STATIC_TEXT, font, color, position, 0, 0, true) < 0) {
            TYX_LOG(3, L"[%s:%x] Status OSD(%d) adding failed!", m_name.c_str(), m_workerId, number);
            continue;
        }
        const std::wstring text = StatusText(code);
        if (!text.empty())
            (void)writer->SetOsdText(item, text);
        writer->SetOsdVisible(item, false);
    }
    return writer;
}

int32_t CRVProcWorker::DrawStatusOnFrame(COsdWriter &writer, FramePackage &frame, int32_t statusCode)
{
    if (!frame.pData || frame.nLength <= 0 || frame.width == 0 || frame.height == 0)
        return -1;
    bool matched = false;
    for (const auto &[code, number] : m_statusItems) {
        const bool show = code == statusCode;
        writer.SetOsdVisible(static_cast<uint16_t>(number), show);
        matched = matched || show;
    }
    if (!matched) {
        TYX_LOG(3, L"[%s:%x]: Frame datalen(%d) indicated its error, But relevant OSD not found!", m_name.c_str(),
                m_workerId, statusCode);
        return 1;
    }
    const auto chromaPitch = static_cast<int32_t>(I420ChromaPitch(frame.width));
    (void)writer.SetFrameSize(frame.width, frame.height, frame.width, chromaPitch);
    const int32_t rc = writer.ProcessFrameUseGpu(frame.pData, frame.nLength, frame.inDevice != 0);
    if (rc < 0) {
        TYX_LOG(3, L"OSD writing Failed with error code=%d!", rc);
        return rc;
    }
    return 0;
}

int32_t CRVProcWorker::DrawOverlaysOnFrame(FramePackage &frame, int32_t target, int32_t streamId)
{
    const std::optional<stOverlaySlot> slot = CopyOverlaySlot(target, streamId);
    if (!slot)
        return -1;
    if (!frame.pData || frame.nLength <= 0 || frame.width == 0 || frame.height == 0)
        return 0;
    const int32_t width = frame.width;
    const int32_t height = frame.height;
    const int32_t pitch = frame.pitch ? frame.pitch : width;
    const auto chromaPitch = static_cast<int32_t>(I420ChromaPitch(pitch));
    if (slot->writer) {
        (void)slot->writer->SetFrameSize(width, height, pitch, chromaPitch);
        const int32_t rc = slot->writer->ProcessFrameUseGpu(frame.pData, frame.nLength, frame.inDevice != 0);
        if (rc < 0)
            TYX_LOG(3, L"OSD writing Failed with error code=%d!", rc);
    }
    if (slot->drawer) {
        (void)slot->drawer->SetFrameSize(width, height, pitch, chromaPitch);
        const int32_t rc = slot->drawer->ProcessFrame(frame.pData, frame.nLength, frame.pts, frame.inDevice != 0);
        if (rc < 0)
            TYX_LOG(3, L"OSG Drawing Failed with error code=%d!", rc);
    }
    return 0;
}

int32_t CRVProcWorker::PushFrameToDirectOutputs(const FramePackage &frame, int32_t outputStreamId)
{
    std::shared_ptr<CRVTPServer> pipe;
    std::shared_ptr<CRVDOServer> display;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        const stVideoOutputRecord *record = ChooseRecord(outputStreamId);
        if (!record)
            return 0;
        pipe = record->pipe.server;
        if (record->display.enabled)
            display = record->display.server;
    }
    if (!frame.pData || frame.nLength <= 0)
        return 0;
    int32_t reached = 0;
    if (pipe && pipe->IsThreadRunning() && pipe->PushFrame(frame))
        ++reached;
    if (display && display->IsThreadRunning() && display->PushFrame(frame))
        ++reached;
    return reached;
}

std::vector<std::shared_ptr<COsdWriter>> CRVProcWorker::CollectClockWriters(int32_t targetBits)
{
    std::vector<std::shared_ptr<COsdWriter>> writers;
    std::lock_guard<std::mutex> lock(m_recordLock);
    const std::pair<int32_t, const stOverlaySlot *> slots[] = {
        {TYX_OVERLAY_INPUT, &m_inputSlot},
        {TYX_OVERLAY_OUTPUT, &m_outputRecord.outputSlot},
        {TYX_OVERLAY_OUTPUT2, &m_outputRecord.outputSlot2},
        {TYX_OVERLAY_DIRECT_DISPLAY, &m_outputRecord.displaySlot},
        {TYX_OVERLAY_FRAME_PIPE, &m_outputRecord.pipeSlot},
    };
    for (const auto &[bit, slot] : slots) {
        if ((targetBits & bit) && slot->writer)
            writers.push_back(slot->writer);
    }
    return writers;
}

int32_t CRVProcWorker::PrepareTimeOsdInNeed(int64_t timeUs, int32_t targetBits)
{
    const std::vector<std::shared_ptr<COsdWriter>> writers = CollectClockWriters(targetBits);
    if (writers.empty())
        return -2;
    if (!m_timeOsdOn)
        return 0;
    const int64_t second = timeUs / kUsPerSecond;
    if (second <= m_lastShownSecond)
        return 0;
    m_lastShownSecond = second;

    // The picture's time as the host's clock reads it: a step of the host's time shows on screen.
    const time_t utc = static_cast<time_t>(WallOfProgramUs(timeUs) / kUsPerSecond);
    std::tm local{};
    if (!localtime_r(&utc, &local)) {
        TYX_LOG(5, L"PrepareTimeOsdInNeed[WID=%d]: Error occured while converting timestamp(%lld) to local-time!",
                static_cast<int32_t>(m_workerId), static_cast<long long>(timeUs));
        return -4;
    }
    wchar_t dateTime[40] = {};
    wchar_t time[16] = {};
    std::swprintf(dateTime, 40, L"%d-%d-%d %2.2d:%2.2d:%2.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
    std::swprintf(time, 16, L"%2.2d:%2.2d:%2.2d", local.tm_hour, local.tm_min, local.tm_sec);

    int32_t set = 0;
    for (const std::shared_ptr<COsdWriter> &writer : writers) {
        for (const auto &[number, kind] : writer->GetOsdKinds()) {
            if (kind != OSD_CONTENT_TIME && kind != OSD_CONTENT_DATETIME)
                continue;
            TYX_LOG(7, L"[PrepareTimeOsdInNeed]Reset OSD text based on new clock...");
            const int32_t rc = writer->SetOsdText(number, kind == OSD_CONTENT_TIME ? time : dateTime);
            TYX_LOG(7, L"OSD text reset.");
            if (rc < 0)
                TYX_LOG(3, L"PrepareTimeOsdInNeed[WID=%d]:(Date)Time OSD text(%s) Setting failed with error=%d!",
                        static_cast<int32_t>(m_workerId), time, rc);
            else
                ++set;
        }
    }
    return set;
}
