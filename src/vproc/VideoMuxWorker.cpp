// CVideoMuxWorker: configuration, set-up and the run-time changes of regions, focus and layout.

#include "vproc/VideoMuxWorker.h"

#include "config/ConfigKeywords.h"
#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "platform/TickCount.h"

#include <algorithm>

namespace {

constexpr int32_t kMuxTypeCode = 1;

bool ConfigSizeFits(int32_t width, int32_t height)
{
    return width >= TYX_MUX_MIN_CONFIG_WIDTH && width <= TYX_MUX_MAX_WIDTH && height >= TYX_MUX_MIN_CONFIG_HEIGHT &&
           height <= TYX_MUX_MAX_HEIGHT;
}

bool OutputSizeFits(int32_t width, int32_t height)
{
    return width >= TYX_MUX_MIN_WIDTH && width <= TYX_MUX_MAX_WIDTH && height >= TYX_MUX_MIN_HEIGHT &&
           height <= TYX_MUX_MAX_HEIGHT;
}

std::vector<stPipWindowInfo> PipWindowsOf(const stVMuxConfig &mux)
{
    std::vector<stPipWindowInfo> windows;
    for (const stChildWindowConfig &child : mux.ChildWindows) {
        stPipWindowInfo window;
        window.anchor = static_cast<uint8_t>(child.posBase);
        window.kind = child.onLayer;
        window.x = child.xShift;
        window.y = child.yShift;
        window.width = static_cast<uint16_t>(std::max<int16_t>(child.Width, 0));
        window.height = static_cast<uint16_t>(std::max<int16_t>(child.Height, 0));
        windows.push_back(window);
    }
    return windows;
}

bool IsPictureInPicture(int32_t type)
{
    return type == TYX_MUX_LAYOUT_PIP_1_ON_1 || type == TYX_MUX_LAYOUT_PIP_2_ON_1 || type == TYX_MUX_LAYOUT_PIP_4_ON_1;
}

std::wstring LayoutName(int32_t type)
{
    const auto &names = MuxLayoutNameTable();
    const auto found = names.find(type);
    return found == names.end() ? std::wstring() : found->second;
}

} // namespace

CVideoMuxWorker::CVideoMuxWorker(uint32_t workerId, const InputLinkMap *inputLinks,
                                 const ConsumerLinkMap *consumerLinks)
    : CMultiIn_VMP(workerId, inputLinks, consumerLinks, false)
{
    m_typeCode = kMuxTypeCode;
    m_outputOnDevice = 1;
}

CVideoMuxWorker::~CVideoMuxWorker()
{
    FreeRing();
}

// ---- configuration ----

int32_t CVideoMuxWorker::SetMuxLayout(int32_t layoutType, const std::map<int32_t, int16_t> &regions,
                                      const std::vector<stPipWindowInfo> *windows, int32_t threadsPerInput,
                                      int32_t ringLength)
{
    if (layoutType < 1 || layoutType > TYX_MUX_LAYOUT_MAX)
        return -1;
    if (threadsPerInput >= 1 && threadsPerInput <= 8)
        m_threadsPerInput = threadsPerInput;
    m_ringLength = ringLength >= 6 && ringLength <= 30 ? ringLength : 9;
    if (layoutType == m_layoutType)
        return 0;
    m_layoutType = layoutType;
    {
        CWriteLockGuard guard(m_regionMapLock);
        m_inputRegions = regions;
    }
    if (windows) {
        CWriteLockGuard guard(m_regionListLock);
        m_regionList = *windows;
    }
    return layoutType;
}

int32_t CVideoMuxWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    const auto *mid = dynamic_cast<const stVideoMidProcWorkerConfig *>(config);
    if (!mid || CMultiIn_VMP::CopyInConfiguration(config) < 0)
        return -1;
    const stVMuxConfig &mux = mid->MuxSettings;
    m_requiredInputs = mux.SifInputs;
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        for (int32_t id : mux.SifInputs) {
            const auto found = m_inputLinks.Items().find(static_cast<uint32_t>(id));
            if (found != m_inputLinks.Items().end())
                found->second.required = 1;
        }
    }
    const std::vector<stPipWindowInfo> windows = PipWindowsOf(mux);
    SetMuxLayout(mux.MuxLayout, mux.InputRegions, &windows, mux.IPGNum, mux.CylinderHeight);

    const int32_t width = mux.OutputWidth ? mux.OutputWidth : mid->OutputWidth;
    const int32_t height = mux.OutputHeight ? mux.OutputHeight : mid->OutputHeight;
    if (!ConfigSizeFits(width, height)) {
        TYX_LOG(3, L"VMidProc[WID=%d] Initializing failed with invalid output frame size(W=%d, H=%d)!",
                static_cast<int32_t>(m_workerId), width, height);
        return TYX_MUX_ERR_SIZE;
    }
    stStreamParams output;
    output.mediaType = TYX_MEDIA_VIDEO;
    output.width = static_cast<uint16_t>(width);
    output.height = static_cast<uint16_t>(height);
    output.frameRate = mid->OutputFramerate;
    output.timeBase = {1, 1000000};
    output.frameSize = I420Length(width, height);
    output.pixelFormat = 0; // I420
    SetOutputParameters(output, static_cast<uint32_t>(-1));
    m_configuredFrameRate = mid->OutputFramerate;
    m_outputFrameRate = MuxPaceFrameRate(MuxOutputPace(MuxOutputRate(m_configuredFrameRate, 0.0f)));
    TYX_LOG(6, L"Mid-Proc: Setting Mux-output-frame-size(ouputPams) with configs(W=%d, H=%d).", width, height);

    SetRvtpServerOption(mid->RVTP, 0);
    SetPipeOutputName(m_name, 0); // the pipe is found by the worker's name, as a decoder's is
    m_pipeWanted = mid->RVTP != 0;
    if (mid->DirectOutputSettings.DirectOutput)
        m_displayWanted = EnableDirectOutput(mid->DirectOutputSettings, 0);

    for (const stTYXWorkerItemInfo &item : mid->InputItems)
        UpdateStatistics(true, static_cast<uint32_t>(item.Id), [](stStreamStatistics &) {});
    UpdateStatistics(false, m_workerId + 1, [](stStreamStatistics &) {});
    return 0;
}

// ---- set-up ----

int32_t CVideoMuxWorker::Initialize(uint8_t gpuProcessing, int32_t gpuDevice)
{
    m_outputOnDevice = 1;
    m_cleanThreadWanted = true;
    if (CTYXMPWorker::Initialize(gpuProcessing, gpuDevice) == TYX_MP_ERR_CONTEXT) {
        if (m_screenOutput)
            ConsolePrintf("VMP-Muxer worker[%u] Context creating failed!!. \n", m_workerId);
        return TYX_MP_ERR_CONTEXT;
    }
    const stStreamParams output = GetOutputParameters();
    const int32_t layout = m_layoutType;
    const int32_t wid = static_cast<int32_t>(m_workerId);
    const int32_t width = output.width;
    const int32_t height = output.height;
    if (!OutputSizeFits(width, height)) {
        TYX_LOG(3, L"MidProc[WID=%d] Initializing failed with invalid mux-output frame size(W=%d, H=%d)!", wid, width,
                height);
        return TYX_MUX_ERR_SIZE;
    }
    TYX_LOG(6, L"VMP-Muxer:Mux-output-frame-size copied from outputPams(W=%d, H=%d).", width, height);
    TYX_LOG(6, L"VMP-Muxer: Initializing Mux with layout=%d and output=(W=%d, H=%d).", layout, width, height);
    if (layout >= 1 && layout <= TYX_MUX_LAYOUT_MAX && m_ring.empty()) {
        int32_t size = 0;
        {
            CReadLockGuard guard(m_regionListLock);
            std::vector<stPipWindowInfo> windows = m_regionList;
            size = m_muxer.SetLayout(layout, static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                                     LayoutName(layout), &windows);
        }
        if (size < 0) {
            TYX_LOG(3, L"VMP-Muxer[WID=%d] Mux layout(%d) cannot be set up on output(W=%d, H=%d), error=%d!", wid,
                    layout, width, height, size);
            return size;
        }
        m_outputFrameSize = size;
        m_canvasWidth = static_cast<uint16_t>(width);
        m_canvasHeight = static_cast<uint16_t>(height);
        m_windowCount = m_muxer.WindowCount();
        TYX_LOG(6, L"VMP-Muxer: Mux layout was initialzied to %d with output(W=%d, H=%d).", layout, width, height);
        for (uint16_t i = 0; i < m_muxer.WindowCount(); ++i) {
            stMuxRegion region;
            if (m_muxer.GetRegion(i, region))
                TYX_LOG(6, L"VMP-Muxer: Mux Region[%d] is(L=%d, T=%d, W=%d, H=%d).", static_cast<int32_t>(i),
                        static_cast<int32_t>(region.left), static_cast<int32_t>(region.top),
                        static_cast<int32_t>(region.width), static_cast<int32_t>(region.height));
        }
        for (int32_t n = 1; n <= m_ringLength; ++n) {
            auto group = std::make_unique<stVFramesGroupInfo>();
            group->ringNo = n;
            group->ResizeTasks(m_muxer.WindowCount());
            m_ring.push_back(std::move(group));
        }
        StartThreads();
    }
    const float paced = DeclarePacedFrameRate();
    if (paced > 0.0f) {
        m_frameRateAdjuster.Init({1, 1000000}, paced, paced);
        TYX_LOG(6, L"Video-Mux[%s:%x] Frame rate adjustment parameters initialized.", m_name.c_str(), m_workerId);
    }
    if (m_pipeWanted)
        (void)StartRvtpServer(width, height, 0);
    if (m_displayWanted)
        (void)StartRvdoServer(width, height, 0);
    return 0;
}

// Consumers are told the rate the pictures really leave at (the configured one, else the negotiated
// one): an encoder set for another rate then converts the pictures instead of receiving more than
// its time base can stamp apart (the writer would drop the coded pictures whose stamps meet, and
// the recording would lose references).
float CVideoMuxWorker::DeclarePacedFrameRate()
{
    stStreamParams output = GetOutputParameters();
    const float paced = MuxPaceFrameRate(
        MuxOutputPace(MuxOutputRate(m_configuredFrameRate, CTYXGVMS::NegotiatedInputFrameRate().load())));
    if (output.frameRate == paced)
        return paced;
    TYX_LOG(5, L"Video-Mux[%s:%x] runs at %.2f fps (configured %.2f fps): its output says so.", m_name.c_str(),
            m_workerId, paced, output.frameRate);
    output.frameRate = paced;
    SetOutputParameters(output, static_cast<uint32_t>(-1));
    return paced;
}

void CVideoMuxWorker::unInitialize()
{
    // A thread that outlived its stop budget may still touch the ring: it stays until destruction.
    if (StopChildThreadsOfIdleWorker()) {
        FreeRing();
        DrainDvcMemCleanQueue();
        FreeAllBackupFrames();
    }
    CMultiIn_VMP::unInitialize();
}

int32_t CVideoMuxWorker::OnNewInputAdded(uint32_t)
{
    return 0;
}

std::map<int32_t, int16_t> CVideoMuxWorker::GetInputRegions() const
{
    CReadLockGuard guard(m_regionMapLock);
    return m_inputRegions;
}

uint32_t CVideoMuxWorker::GetFocusInputId() const
{
    CReadLockGuard guard(m_regionMapLock);
    for (const auto &[input, region] : m_inputRegions) {
        if (region == m_focusRegion)
            return static_cast<uint32_t>(input);
    }
    return 0;
}

size_t CVideoMuxWorker::GetInterProcThreadCount() const
{
    std::lock_guard<std::mutex> lock(m_interThreadsLock);
    return m_interThreadIds.size();
}

// ---- run-time changes ----

namespace {

// The input a region shows, 0 when none.
int32_t InputOfRegion(const std::map<int32_t, int16_t> &regions, int16_t region)
{
    for (const auto &[input, shown] : regions) {
        if (shown == region)
            return input;
    }
    return 0;
}

} // namespace

int32_t CVideoMuxWorker::ChangeRegionInput(int32_t region, int32_t inputStreamId)
{
    const auto r = static_cast<int16_t>(region);
    if (r < 1 || static_cast<size_t>(r) > m_windowCount)
        return TYX_MUX_ERR_ARGUMENT;
    TYX_LOG(6, L"Changing Region(%d) with Input(%d)...", static_cast<int32_t>(r), inputStreamId);
    CReadLockGuard links(m_inputLinks.Lock());
    if (m_inputLinks.Items().count(static_cast<uint32_t>(inputStreamId)) == 0)
        return TYX_MUX_ERR_ARGUMENT;
    int32_t previous = 0;
    {
        CWriteLockGuard guard(m_regionMapLock);
        previous = InputOfRegion(m_inputRegions, r);
        if (inputStreamId != previous) {
            const auto had = m_inputRegions.find(inputStreamId);
            const int16_t q = had == m_inputRegions.end() ? 0 : had->second;
            m_inputRegions.erase(previous);
            if (q > 0 && previous != 0)
                m_inputRegions[previous] = q; // the two windows exchange their inputs
            m_inputRegions[inputStreamId] = r;
        }
    }
    TYX_LOG(6, L"Region(%d) Changing returned %d.", static_cast<int32_t>(r), previous);
    return previous;
}

int32_t CVideoMuxWorker::ChangeFocusInput(int32_t inputStreamId)
{
    CReadLockGuard links(m_inputLinks.Lock());
    if (m_inputLinks.Items().count(static_cast<uint32_t>(inputStreamId)) == 0)
        return TYX_MUX_ERR_NO_LINK;
    CWriteLockGuard guard(m_regionMapLock);
    const auto had = m_inputRegions.find(inputStreamId);
    if (had != m_inputRegions.end() && had->second == m_focusRegion)
        return 0;
    const int32_t previous = InputOfRegion(m_inputRegions, m_focusRegion);
    if (had != m_inputRegions.end()) {
        const int16_t q = had->second;
        if (previous != 0)
            m_inputRegions[previous] = q;
    } else if (previous != 0) {
        m_inputRegions.erase(previous);
    }
    m_inputRegions[inputStreamId] = m_focusRegion;
    return previous;
}

int32_t CVideoMuxWorker::ChangeMuxLayout(int32_t layoutType, const std::map<int32_t, int16_t> &regions,
                                         const std::vector<stPipWindowInfo> *windows)
{
    if (layoutType < 1 || layoutType > TYX_MUX_LAYOUT_MAX)
        return TYX_MUX_ERR_ARGUMENT;
    // A type the geometry refuses must not blank the running composition.
    int32_t newWindows = 0;
    {
        CVideoMuxer geometry; // the running composer must not record the probe's id
        stMuxLayout probe;
        probe.canvasWidth = m_canvasWidth;
        probe.canvasHeight = m_canvasHeight;
        std::vector<stPipWindowInfo> list;
        if (windows && !windows->empty()) {
            list = *windows;
        } else {
            CReadLockGuard guard(m_regionListLock);
            list = m_regionList;
        }
        // As at start-up: a picture-in-picture list short of the windows, or with a record that
        // cannot be placed, places what it can and leaves the other windows black.
        if (geometry.BuildLayoutRegions(layoutType, probe, &list) == -1 ||
            (IsPictureInPicture(layoutType) && list.empty()))
            return TYX_MUX_ERR_ARGUMENT;
        newWindows = probe.windowCount;
    }
    m_layoutChanging = true;
    SleepMs(m_layoutChangeWaitMs);
    int32_t previous = 0;
    {
        CReadLockGuard links(m_inputLinks.Lock());
        previous = m_muxer.CurrentLayout();
        if (layoutType != previous) {
            int32_t rc = 0;
            {
                CWriteLockGuard guard(m_regionListLock);
                if (windows && !windows->empty())
                    m_regionList = *windows;
                rc = m_muxer.ChangeLayout(layoutType, &m_regionList);
            }
            if (rc >= 0) {
                m_layoutType = layoutType;
                m_windowCount = static_cast<size_t>(newWindows);
                CWriteLockGuard guard(m_regionMapLock);
                m_inputRegions = regions;
            } else {
                TYX_LOG(3, L"VMP-Muxer[WID=%d] layout changing to %d failed with error=%d!",
                        static_cast<int32_t>(m_workerId), layoutType, rc);
            }
        }
    }
    m_layoutChanging = false;
    return previous;
}

int32_t CVideoMuxWorker::DetachInput(uint32_t inputStreamId, uint32_t replacementId)
{
    const auto input = static_cast<int32_t>(inputStreamId);
    const auto replacement = static_cast<int32_t>(replacementId);
    if (input <= 0)
        return TYX_MUX_ERR_ARGUMENT;
    std::vector<uint32_t> linked;
    {
        CReadLockGuard links(m_inputLinks.Lock());
        for (const auto &[id, link] : m_inputLinks.Items())
            linked.push_back(id);
    }
    if (std::find(linked.begin(), linked.end(), inputStreamId) == linked.end())
        return TYX_MUX_ERR_NO_LINK;
    const std::map<int32_t, int16_t> regions = GetInputRegions();
    const auto shown = regions.find(input);
    if (shown == regions.end() || shown->second <= 0)
        return 0;
    int32_t substitute = 0;
    if (replacement > 0) {
        if (std::find(linked.begin(), linked.end(), replacementId) == linked.end())
            return TYX_MUX_ERR_NO_LINK;
        substitute = replacement;
    } else {
        if (m_windowCount >= linked.size())
            return TYX_MUX_ERR_NO_FREE_INPUT;
        for (uint32_t id : linked) {
            if (regions.count(static_cast<int32_t>(id)) == 0) {
                substitute = static_cast<int32_t>(id);
                break;
            }
        }
        if (substitute == 0)
            return TYX_MUX_ERR_NO_FREE_INPUT;
    }
    (void)ChangeRegionInput(shown->second, substitute);
    // The detached input leaves the map even when it took the replacement's former window.
    CWriteLockGuard guard(m_regionMapLock);
    m_inputRegions.erase(input);
    return 0;
}
