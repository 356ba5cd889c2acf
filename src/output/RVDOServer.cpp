// CRVDOServer: set-up, the server thread and the per-picture work.

#include "output/RVDOServer.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/FramePresenterGL.h"
#include "output/X11Display.h"
#include "platform/GpuDevice.h"
#include "platform/TickCount.h"
#include "vproc/FormatConvert.h"

#include <algorithm>

namespace {

constexpr uint32_t kIdleWaitMs = 10;
constexpr int64_t kTrackEveryFrames = 15;
constexpr int32_t kFallbackWindowWidth = 640;
constexpr int32_t kFallbackWindowHeight = 360;
constexpr int32_t kColourStandardBt709 = 0;

bool IsMonitorNumber(int32_t monitorNo)
{
    return monitorNo >= 1 && monitorNo <= 8;
}

} // namespace

const wchar_t *const TYX_DEFAULT_BANNER_TEXT = L"-Kestro Zorpa System-";

void LockRendererSection()
{
    CTYXGVMS::LockMonitorMap();
}

void UnlockRendererSection()
{
    CTYXGVMS::UnlockMonitorMap();
}

void SetMonitorInUse(int32_t monitorNo, bool inUse)
{
    CTYXGVMS::SetMonitorPresenting(monitorNo, inUse ? 1 : 0);
}

EMonitorAction DecideMonitorAction(int32_t previousCount, int32_t count, int32_t monitorNo, bool fullscreen)
{
    const bool hasTarget = IsMonitorNumber(monitorNo) && count >= monitorNo;
    if (count != previousCount)
        return hasTarget ? EMonitorAction::Retarget : EMonitorAction::SwitchOff;
    if (hasTarget && !fullscreen)
        return EMonitorAction::EnterFullscreen;
    if (!hasTarget && fullscreen)
        return EMonitorAction::SwitchOff;
    return EMonitorAction::Keep;
}

CRVDOServer::CRVDOServer(std::wstring name, int32_t workerId, CRVProcWorker *owner)
    : CDirectOutputServer(L"CRVDOServer", std::move(name), workerId, owner)
{
}

CRVDOServer::~CRVDOServer()
{
    unInitialize();
}

void CRVDOServer::FitWindowSize(int32_t &width, int32_t &height)
{
    const double factor = std::max(width / 1280.0, height / 720.0);
    if (factor > 1.0) {
        width = static_cast<int32_t>(width / factor);
        height = static_cast<int32_t>(height / factor);
    }
}

void CRVDOServer::WindowSize(int32_t &width, int32_t &height) const
{
    width = m_shownWidth.load();
    height = m_shownHeight.load();
}

stDirectOutputQueue *CRVDOServer::Initialize(int16_t typeCode, int32_t width, int32_t height, int32_t cudaDevice,
                                             int32_t interopFlag)
{
    // An odd size carries its chroma planes rounded up, which the conversion reads as they are.
    if (width <= 0 || height <= 0 || width > UINT16_MAX || height > UINT16_MAX) {
        TYX_LOG(3, L"RVDO(%s) creating rejected for invalid framesize(w=%d,h=%d)!", m_name.c_str(), width, height);
        return nullptr;
    }
    if (m_initialized)
        return &m_queue;
    {
        // Found out now rather than when the first picture should show.
        CX11Display probe;
        if (probe.Open() != 0) {
            TYX_LOG(3, L"RVDO(%s) creating rejected: no X server to show on (DISPLAY is not set or not reachable)!",
                    m_name.c_str());
            return nullptr;
        }
    }
    const int32_t device = cudaDevice >= 0 ? cudaDevice : DevCurrentDevice();
    const GpuError contextError = DevRetainPrimaryContext(device);
    if (contextError != GPU_SUCCESS) {
        TYX_LOG(3, L"RVDO(%s) GPU Context creating failed with Error=%d!", m_name.c_str(), contextError);
        return nullptr;
    }
    m_contextRetained = true;
    m_cudaDevice = device;
    void *bgra = nullptr;
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    if (DevMalloc(&bgra, bytes) != GPU_SUCCESS) {
        TYX_LOG(3, L"RVDO(%s) Device memory allocating failed for [%d X %d]!", m_name.c_str(), width, height);
        unInitialize();
        return nullptr;
    }
    m_bgra = static_cast<uint8_t *>(bgra);
    m_typeCode = typeCode;
    m_width = static_cast<uint16_t>(width);
    m_height = static_cast<uint16_t>(height);
    m_frameLength = I420Length(width, height);
    m_interopFlag = interopFlag;
    {
        std::lock_guard<std::mutex> lock(m_settingsMutex);
        m_windowTitle = m_name;
    }
    m_initialized = true;
    return &m_queue;
}

void CRVDOServer::unInitialize()
{
    Stop(100);
    if (IsThreadRunning())
        return; // abandoned: its window and buffers go when it lets go of the server
    StopRendering();
    DevFree(m_bgra);
    m_bgra = nullptr;
    m_hostBgra.clear();
    if (m_contextRetained) {
        DevReleasePrimaryContext(m_cudaDevice);
        m_contextRetained = false;
    }
    m_typeCode = TYX_DIRECT_OUTPUT_RELEASED_TYPE;
    m_width = 0;
    m_height = 0;
    m_frameLength = 0;
    m_initialized = false;
}

bool CRVDOServer::StartDirectOutput(const std::wstring &title, int32_t width, int32_t height)
{
    {
        std::lock_guard<std::mutex> lock(m_settingsMutex);
        m_displayMode = TYX_RVDO_MODE_WINDOW;
        m_windowTitle = title.empty() ? m_name : title;
        const bool usable = width >= 160 && width <= 1920 && height >= 90 && height <= 1080;
        m_windowWidth = usable ? width : kFallbackWindowWidth;
        m_windowHeight = usable ? height : kFallbackWindowHeight;
        m_monitorNo = -1;
    }
    m_startEvent.Set();
    return true;
}

void CRVDOServer::SetMonitorOutput(int16_t monitorNo)
{
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_enabled = 1;
    m_displayMode = TYX_RVDO_MODE_MONITOR;
    m_monitorNo = monitorNo;
}

uint32_t CRVDOServer::WorkingFunc()
{
    const int32_t tid = GetCurrentThreadIdInt();
    TYX_LOG(6, L"RVDO server[WID=%d, Alias=%s] working Thread[%d] Starting.", m_workerId, m_name.c_str(), tid);
    const bool pushed = m_contextRetained && DevPushContext(m_cudaDevice) == GPU_SUCCESS;
    for (;;) {
        PumpWindowEvents();
        if (m_exitEvent.IsSet()) {
            TYX_LOG(6, L"[WID=%d]RVDO Thread[%d] Received exit signal, exiting...", m_workerId, tid);
            break;
        }
        if (m_startEvent.Wait(0) == TYX_WAIT_OBJECT_0) {
            TYX_LOG(6, L"[WID=%d]RVDO Thread[%d] Received direct-output start signal with monitorNo=%d.", m_workerId,
                    tid, static_cast<int32_t>(m_monitorNo.load()));
            // A start while showing shows again with the settings now given.
            if (m_displaying)
                StopRendering();
            m_displaying = StartRendering();
            m_frameCounter = 0;
            m_framesShown = 0;
            continue;
        }
        if (m_stopEvent.Wait(0) == TYX_WAIT_OBJECT_0) {
            TYX_LOG(6, L"[WID=%d]RVDO Thread[%d] Received direct-output stop signal.", m_workerId, tid);
            m_displaying = false;
            StopRendering();
            continue;
        }
        if (m_display && m_display->IsLost()) {
            TYX_LOG(3, L"RVDO server[Alias=%s] lost its X server; the display stops.", m_name.c_str());
            m_displaying = false;
            StopRendering();
        }
        FramePackage package;
        if (PopFrame(package) == 0) {
            WaitForFrame(kIdleWaitMs);
            continue;
        }
        if (m_displaying && m_presenter)
            PresentPackage(package);
        FreeFramePackage(package);
    }
    // The window and the presenter belong to this thread.
    m_displaying = false;
    StopRendering();
    if (pushed)
        DevPopContext();
    TYX_LOG(3, L"RVDO server[WID=%d, Alias=%s] working Thread[%d] quitting.", m_workerId, m_name.c_str(), tid);
    return 0;
}

void CRVDOServer::PresentPackage(FramePackage &package)
{
    // The conversion reads a whole picture of the output's size: anything else would be read past.
    if (!package.pData || !package.inDevice || package.width != m_width || package.height != m_height ||
        package.nLength < m_frameLength) {
        if (m_droppedPictures++ % 300 == 0) // once, then every 300: a wrong size keeps coming
            TYX_LOG(3, L"RVDO(%s) picture[%d X %d, len=%d] dropped: the display shows [%d X %d].", m_name.c_str(),
                    package.width, package.height, package.nLength, m_width, m_height);
        return;
    }
    if (m_displayMode == TYX_RVDO_MODE_MONITOR && IsMonitorNumber(m_monitorNo) && m_frameCounter % kTrackEveryFrames == 0)
        TrackMonitor();
    DrawAttachedOverlays(package);
    const int32_t width = m_width;
    const int32_t height = m_height;
    TYX_LOG(7, L"[Renderer]Convert the new frame[pts=%lld] from NV12 to BGRA32...", static_cast<long long>(package.pts));
    GpuError error = I420ToBgra32InDvc(package.pData, width, height, m_bgra, width * 4, kColourStandardBt709);
    if (error != GPU_SUCCESS)
        HandleGPUCriticalError(error, L"CRVDOServer: conversion to BGRA");
    if (m_hostCopy) {
        m_hostBgra.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
        error = DevMemcpy(m_hostBgra.data(), m_bgra, m_hostBgra.size(), EGpuCopyKind::DeviceToHost);
        if (error != GPU_SUCCESS) {
            TYX_LOG(3, L"[Thread:%d] GPU memory coping failed with error(%d) returned!", GetCurrentThreadIdInt(), error);
            HandleGPUCriticalError(error, L"CRVDOServer: copy to host");
        }
        m_presenter->PresentHostFrame(m_hostBgra.data(), static_cast<int32_t>(m_hostBgra.size()));
    } else {
        m_presenter->PresentDeviceFrame(m_bgra, width * 4);
    }
    ++m_frameCounter;
    ++m_framesShown;
}

void CRVDOServer::TrackMonitor()
{
    std::vector<stDisplayEntry> displays;
    const int32_t count = m_display->ListMonitors(displays);
    TYX_LOG(7, L"RVDO thread(TID=%d) There [%d] display connected . ", GetCurrentThreadIdInt(), count);
    const int32_t monitor = m_monitorNo;
    const EMonitorAction action = DecideMonitorAction(m_knownDisplayCount, count, monitor, m_presenter->IsFullscreen());
    if (count != m_knownDisplayCount) {
        TYX_LOG(5, L"Connected Display changed from [%d] to [%d]. ", m_knownDisplayCount, count);
        m_knownDisplayCount = count;
    }
    switch (action) {
    case EMonitorAction::SwitchOff:
        TYX_LOG(5, L"RVDO server[Alias=%s] switching off fullscreen Display. ", m_name.c_str());
        m_presenter->SetFullscreen(false);
        break;
    case EMonitorAction::Retarget:
        CorrectDisplaySetting(displays[static_cast<size_t>(monitor - 1)]);
        m_presenter->SetFullscreen(false);
        TYX_LOG(5, L"RVDO server[Alias=%s] Re-Setting fullscreen Display to monitor [%d]. ", m_name.c_str(), monitor);
        PlaceFullscreen(displays[static_cast<size_t>(monitor - 1)]);
        break;
    case EMonitorAction::EnterFullscreen:
        TYX_LOG(7, L"RVDO server[Alias=%s] Setting fullscreen Display to monitor [%d]. ", m_name.c_str(), monitor);
        PlaceFullscreen(displays[static_cast<size_t>(monitor - 1)]);
        break;
    case EMonitorAction::Keep: break;
    }
}
