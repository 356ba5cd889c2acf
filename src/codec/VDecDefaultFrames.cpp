// CTYXVDecWorker: default pictures for a silent or failing source, and what every outgoing picture
// gets (overlays, the direct outputs).

#include "codec/VDecWorker.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "vproc/OsdWriter.h"

#include <cwctype>
#include <string>

namespace {

constexpr uint32_t kPaceLogEvery = 30;
constexpr const wchar_t *kPaceLoggedWorker = L"VdcdLocalFileVideo";

bool EqualsNoCase(const std::wstring &a, const wchar_t *b)
{
    const std::wstring other(b);
    if (a.size() != other.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(other[i]))
            return false;
    }
    return true;
}

} // namespace

stOutputTimeRecord CTYXVDecWorker::TimeRecord() const
{
    stOutputTimeRecord record;
    record.delay = m_timestampDelay;
    record.interval = m_frameInterval;
    record.lastPts = m_lastPushedPts;
    record.lastPushTime = m_lastPushTime;
    record.paced = 1;
    return record;
}

void CTYXVDecWorker::HandleStatusPackage(stLoopState &state, FramePackage &package)
{
    const int32_t statusCode = package.nLength;
    TYX_LOG(5, L"V-Decoder[%s:%x] Received error(%d) message from upstream(mreader).", m_name.c_str(), m_workerId,
            statusCode);
    int64_t pts = package.pts;
    const int32_t rc = RegulateOutputTimestamp(NowUs(), pts, TimeRecord());
    if (rc > 0) {
        // Too soon after the last picture: the same package is handled again after the wait.
        TYX_LOG(5, L"V-Decoder[%s:%x] Timestamp Calculating suggested push the frame after (%d) us.", m_name.c_str(),
                m_workerId, rc);
        FreeFramePackage(package);
        state.waitMs = static_cast<uint32_t>(rc / 1000);
        return;
    }
    if (rc < 0) {
        TYX_LOG(3, L"V-Decoder[%s:%x] Timestamp Calculating falied with error(%d) returned.", m_name.c_str(),
                m_workerId, rc);
    } else {
        TYX_LOG(5, L"V-Decoder[%s:%x] Timestamp Calculated with new suggested pts[%lld] returned.", m_name.c_str(),
                m_workerId, static_cast<long long>(pts));
        FramePackage frame;
        frame.pts = pts;
        frame.dts = package.dts;
        frame.width = m_defaultWidth;
        frame.height = m_defaultHeight;
        frame.pitch = m_defaultPitch;
        frame.inDevice = m_defaultOnDevice;
        if (CreateDefaultFrameForOutput(frame, statusCode) == 0) {
            const int32_t width = frame.width;
            const int32_t height = frame.height;
            SendDefaultFrame(frame);
            TYX_LOG(5, L"V-Decoder[%s:%x] Default frame with error(%d) OSD pushed to downstream, whose Timestamp[%lld], "
                       L"Width=%d, Height=%d.",
                    m_name.c_str(), m_workerId, statusCode, static_cast<long long>(pts), width, height);
        }
    }
    FreeFramePackage(package);
    PopPaketsFromInputQueue(true, false, 1, 0);
    state.waitMs = kIdleWaitMs;
}

void CTYXVDecWorker::HandleInputTimeout(stLoopState &state)
{
    if (!state.timedOut) {
        state.timedOut = true;
        state.firstDefaultAfterTimeout = true;
        TYX_LOG(5, L"V-Decoder[%s:%x] Timed out in waiting for input data, [%d] ms past since last paket received.",
                m_name.c_str(), m_workerId, static_cast<int32_t>(NowTickMs() - state.lastReceiveTick));
    }
    state.waitMs = kIdleWaitMs;
    const int64_t now = NowUs();
    int64_t pts = -1;
    const int32_t rc = RegulateOutputTimestamp(now, pts, TimeRecord());
    if (rc > 0) {
        TYX_LOG(6, L"V-Decoder[%s:%x] Timestamp Calculating suggested push the frame after (%d) us.", m_name.c_str(),
                m_workerId, rc);
        state.waitMs = static_cast<uint32_t>(rc / 1000);
        return;
    }
    if (rc < 0) {
        TYX_LOG(3, L"V-Decoder[%s:%x] Timestamp Calculating falied with error(%d) returned.", m_name.c_str(),
                m_workerId, rc);
        return;
    }
    TYX_LOG(6, L"V-Decoder[%s:%x] New suggested Timestamp[%lld] Calculated at Time[%lld], with [%d]ms delay.",
            m_name.c_str(), m_workerId, static_cast<long long>(pts), static_cast<long long>(now),
            static_cast<int32_t>((now - pts) / 1000));
    FramePackage frame;
    frame.pts = pts;
    frame.dts = 0;
    frame.duration = m_frameInterval;
    frame.width = m_defaultWidth;
    frame.height = m_defaultHeight;
    frame.pitch = m_defaultPitch;
    frame.inDevice = m_defaultOnDevice;
    const int32_t made = CreateDefaultFrameForOutput(frame, TYX_SRC_WAIT_TIMEOUT);
    if (made != 0) {
        TYX_LOG(3, L"V-Decoder[%s:%x] Default Video Frame creating failed(err=%d), with [W=%d,H=%d,P=%d]!",
                m_name.c_str(), m_workerId, made, m_defaultWidth, m_defaultHeight, m_defaultPitch);
        return;
    }
    LogDefaultFramePace(state);
    const int32_t width = frame.width;
    const int32_t height = frame.height;
    SendDefaultFrame(frame);
    if (state.firstDefaultAfterTimeout) {
        TYX_LOG(5, L"V-Decoder[%s:%x] The 1st Default frame with Timedout-OSD pushed to downstream, whose Timestamp[%lld], "
                   L"Width=%d, Height=%d.",
                m_name.c_str(), m_workerId, static_cast<long long>(pts), width, height);
        state.firstDefaultAfterTimeout = false;
    }
}

void CTYXVDecWorker::LogDefaultFramePace(stLoopState &state)
{
    const uint32_t now = NowTickMs();
    if (state.defaultFrames++ == 0)
        state.firstDefaultTick = now;
    if ((state.defaultFrames - 1) % kPaceLogEvery != 0 || !EqualsNoCase(m_name, kPaceLoggedWorker))
        return;
    const double mean = state.defaultFrames > 1 ? double(now - state.firstDefaultTick) / (state.defaultFrames - 1) : 0.0;
    TYX_LOG(7, L"V-Decoder[%s:%x] Default frame creating/pushing speed is [%f]ms/frame.", m_name.c_str(), m_workerId,
            mean);
}

bool CTYXVDecWorker::SendDefaultFrame(FramePackage &frame)
{
    DrawOsdgOnFrame(frame);
    PushFrameToDirectOutputs(frame);
    const int64_t pts = frame.pts;
    bool taken = false;
    SendPaket2Consumers(taken, frame, true, true, 0);
    if (!taken)
        FreeFramePackage(frame);
    m_lastPushedPts = pts;
    m_lastPushTime = NowUs();
    return taken;
}

int32_t CTYXVDecWorker::CreateDefaultFrameForOutput(FramePackage &package, int32_t statusCode)
{
    if (package.dts < 1)
        package.dts = package.pts;
    if (package.duration < 1)
        package.duration = static_cast<int64_t>(1000000.0 / m_defaultFrameRate);
    package.inDevice = 1;
    package.mediaType = TYX_MEDIA_VIDEO;
    package.kind = TYX_PKT_KIND_RAW_VIDEO;
    package.pData = nullptr;
    package.nLength = 0;
    const int32_t made = CreateBlankVideoFrame(package, m_bgColorYuv);
    if (made < 1) {
        TYX_LOG(3, L"V-Decoder[%s:%x]Error: Default decoded frame creating failed with error=%d while Width=%d, Height=%d!",
                m_name.c_str(), m_workerId, made, package.width, package.height);
        return -1;
    }
    bool matched = false;
    if (statusCode != 0 && m_statusWriter) {
        for (const auto &[code, number] : m_statusItems) {
            const bool show = code == statusCode;
            m_statusWriter->SetOsdVisible(static_cast<uint16_t>(number), show);
            matched = matched || show;
        }
    }
    if (!matched) {
        TYX_LOG(3, L"V-Decoder[%s:%x]: Frame datalen(%d) indicated its error, But relevant OSD not found!",
                m_name.c_str(), m_workerId, statusCode);
        return 0;
    }
    const int32_t pitch = package.pitch ? package.pitch : package.width;
    const auto chromaPitch = static_cast<int32_t>(I420ChromaPitch(pitch));
    (void)m_statusWriter->SetFrameSize(package.width, package.height, pitch, chromaPitch);
    const int32_t drawn = m_statusWriter->ProcessFrameUseGpu(package.pData, package.nLength, package.inDevice != 0);
    if (drawn < 0)
        TYX_LOG(3, L"OSD writing Failed with error code=%d!", drawn);
    return 0;
}

int32_t CTYXVDecWorker::DrawOsdgOnFrame(FramePackage &package)
{
    // The overlays are drawn by the memory the picture lies in, whatever the back-end's draw flag.
    (void)DrawOverlaysOnFrame(package, TYX_OVERLAY_OUTPUT, 0);
    return 0;
}

int32_t CTYXVDecWorker::PushFrameToDirectOutputs(FramePackage &package)
{
    if (!m_pipeEnabled && !m_displayEnabled)
        return 0;
    (void)CRVProcWorker::PushFrameToDirectOutputs(package, 0);
    return 0;
}
