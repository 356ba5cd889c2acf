// CRVProcWorker: the overlay slots and the direct outputs of the video workers.

#include "vproc/RVProcWorker.h"

#include "config/ConfigText.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/RVDOServer.h"
#include "output/RVTPServer.h"
#include "platform/TickCount.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdWriter.h"

#include <algorithm>
#include <cerrno>
#include <set>

namespace {

constexpr uint32_t kServerStartSettleMs = 75;
constexpr uint32_t kDirectOutputStopMs = 75;
constexpr int32_t kServerStopBudgetMs = 200;
constexpr int32_t kServerEndWaitMs = 10000;
constexpr uint8_t kStreamLinked = 0x01;

struct stStatusEntry
{
    int16_t code;
    const wchar_t *text;
};

constexpr stStatusEntry kStatusTable[] = {
    {-90, L"Connecting..."},
    {-92, L"Closed. Re-connect later."},
    {-96, L"Waiting input..."},
    {-100, L"Standby."},
    {-101, L"Connecting failed! Retry later..."},
    {-102, L"Video reading failed!"},
    {-104, L"video waiting timed out!"},
    {-108, L"Decoding error!"},
    {-202, L"Input not used."},
};

// Any picture with an area; an odd size has its chroma planes rounded up. 16-bit sizes as the
// servers store them.
bool IsUsablePictureSize(int32_t width, int32_t height)
{
    const auto w = static_cast<int16_t>(width);
    const auto h = static_cast<int16_t>(height);
    return w > 0 && h > 0 && w == width && h == height;
}

} // namespace

bool SwapStrings(std::wstring &first, std::wstring &second)
{
    const bool both = !first.empty() && !second.empty();
    first.clear();
    second.clear();
    return both;
}

CRVProcWorker::CRVProcWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
                             int32_t workerKind, bool perInputParams, bool perOutputParams)
    : CTYXWorker(workerId, inputLinks, consumerLinks, workerKind, perInputParams, perOutputParams)
{
    m_inputStreamTypes |= kStreamLinked;
    m_outputStreamTypes |= kStreamLinked;
    int32_t number = TYX_STATUS_OSD_FIRST;
    for (const stStatusEntry &entry : kStatusTable) {
        m_statusTexts[entry.code] = entry.text;
        m_statusItems[entry.code] = number++;
    }
}

CRVProcWorker::~CRVProcWorker()
{
    // Servers are shared with their threads; stopping them here ends those threads in time.
    CRVProcWorker::unInitialize();
}

// ---- records and slots ----

stVideoOutputRecord *CRVProcWorker::ChooseRecord(int32_t outputStreamId)
{
    if (!m_perOutputParams)
        return &m_outputRecord;
    if (outputStreamId <= 0)
        return nullptr;
    const auto found = m_outputRecords.find(outputStreamId);
    return found == m_outputRecords.end() ? nullptr : &found->second;
}

stOverlaySlot *CRVProcWorker::ChooseSlot(int32_t target, int32_t streamId)
{
    if (target == TYX_OVERLAY_INPUT) {
        if (!m_perInputParams)
            return &m_inputSlot;
        if (streamId <= 0)
            return nullptr;
        const auto found = m_inputSlots.find(streamId);
        return found == m_inputSlots.end() ? nullptr : &found->second;
    }
    stVideoOutputRecord *record = ChooseRecord(streamId);
    if (!record)
        return nullptr;
    switch (target) {
    case TYX_OVERLAY_OUTPUT: return &record->outputSlot;
    case TYX_OVERLAY_OUTPUT2: return &record->outputSlot2;
    case TYX_OVERLAY_DIRECT_DISPLAY: return &record->displaySlot;
    case TYX_OVERLAY_FRAME_PIPE: return &record->pipeSlot;
    default: return nullptr;
    }
}

bool CRVProcWorker::AddOutputRecord(int32_t outputStreamId, const std::wstring &pipeOutputName)
{
    if (outputStreamId <= 0)
        return false;
    std::lock_guard<std::mutex> lock(m_recordLock);
    const auto [entry, added] = m_outputRecords.try_emplace(outputStreamId);
    if (added)
        entry->second.pipe.outputName = pipeOutputName;
    return added;
}

bool CRVProcWorker::AddInputSlot(int32_t inputStreamId)
{
    if (inputStreamId <= 0)
        return false;
    std::lock_guard<std::mutex> lock(m_recordLock);
    return m_inputSlots.try_emplace(inputStreamId).second;
}

void CRVProcWorker::SetPipeOutputName(const std::wstring &name, int32_t outputStreamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    if (stVideoOutputRecord *record = ChooseRecord(outputStreamId))
        record->pipe.outputName = name;
}

void CRVProcWorker::SetDisplayOutputName(const std::wstring &name, int32_t outputStreamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    if (stVideoOutputRecord *record = ChooseRecord(outputStreamId))
        record->display.name = name;
}

stOverlaySlot *CRVProcWorker::FindOverlaySlot(int32_t target, int32_t streamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    return ChooseSlot(target, streamId);
}

std::optional<stOverlaySlot> CRVProcWorker::CopyOverlaySlot(int32_t target, int32_t streamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    const stOverlaySlot *slot = ChooseSlot(target, streamId);
    if (!slot)
        return std::nullopt;
    return *slot;
}

std::shared_ptr<COsdWriter> CRVProcWorker::GetOsdWriter(int32_t target, int32_t streamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    const stOverlaySlot *slot = ChooseSlot(target, streamId);
    return slot ? slot->writer : nullptr;
}

stOverlaySlot *CRVProcWorker::UpdateSlot(int32_t target, int32_t streamId,
                                         const std::function<void(stOverlaySlot &)> &update)
{
    std::shared_ptr<CDirectOutputServer> server;
    std::shared_ptr<COsdWriter> writer;
    std::shared_ptr<COsgDrawer> drawer;
    stOverlaySlot *slot = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        slot = ChooseSlot(target, streamId);
        if (!slot)
            return nullptr;
        update(*slot);
        writer = slot->writer;
        drawer = slot->drawer;
        if (stVideoOutputRecord *record = ChooseRecord(streamId); record && target == TYX_OVERLAY_FRAME_PIPE)
            server = record->pipe.server;
        else if (record && target == TYX_OVERLAY_DIRECT_DISPLAY)
            server = record->display.server;
    }
    // A running server draws what its slot holds now.
    if (server)
        server->AttachOverlays(std::move(writer), std::move(drawer));
    return slot;
}

stOverlaySlot *CRVProcWorker::SetOsdWriter(std::shared_ptr<COsdWriter> writer, int32_t target, int32_t streamId)
{
    return UpdateSlot(target, streamId, [&writer](stOverlaySlot &slot) {
        slot.osdOn = writer ? 1 : 0;
        slot.writer = std::move(writer);
    });
}

std::shared_ptr<COsgDrawer> CRVProcWorker::GetOsgDrawer(int32_t target, int32_t streamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    const stOverlaySlot *slot = ChooseSlot(target, streamId);
    return slot ? slot->drawer : nullptr;
}

stOverlaySlot *CRVProcWorker::SetOsgDrawer(std::shared_ptr<COsgDrawer> drawer, int32_t target, int32_t streamId)
{
    return UpdateSlot(target, streamId, [&drawer](stOverlaySlot &slot) {
        slot.osgOn = drawer ? 1 : 0;
        slot.drawer = std::move(drawer);
    });
}

std::shared_ptr<CRVTPServer> CRVProcWorker::GetRvtpServer(int32_t outputStreamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    const stVideoOutputRecord *record = ChooseRecord(outputStreamId);
    return record ? record->pipe.server : nullptr;
}

std::shared_ptr<CRVDOServer> CRVProcWorker::GetRvdoServer(int32_t outputStreamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    const stVideoOutputRecord *record = ChooseRecord(outputStreamId);
    return record ? record->display.server : nullptr;
}

// ---- frame pipe ----

std::shared_ptr<CRVTPServer> CRVProcWorker::PreparePipeServer(stVideoOutputRecord &record, int32_t width,
                                                              int32_t height, int32_t &result)
{
    std::shared_ptr<CRVTPServer> server;
    std::wstring outputName;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        if (!record.pipe.server) {
            record.pipe.server = std::make_shared<CRVTPServer>(record.pipe.outputName, m_workerId, this);
            record.pipe.server->SetOptionValues(record.pipe.optionValues[0], record.pipe.optionValues[1]);
            record.pipe.server->AttachOverlays(record.pipeSlot.writer, record.pipeSlot.drawer);
        }
        server = record.pipe.server;
        outputName = record.pipe.outputName;
    }
    const int32_t wid = static_cast<int32_t>(m_workerId);
    if (!server->IsInitialized()) {
        if (!server->Initialize(TYX_DIRECT_OUTPUT_TYPE, width, height, m_initValue)) {
            TYX_LOG(3, L"[WID=%d] RVTP server(%s) initializing failed!", wid, outputName.c_str());
            result = TYX_RVP_ERR_RECORD;
            return nullptr;
        }
        TYX_LOG(6, L"[WID=%d]RVTP server(%s) initialized.", wid, outputName.c_str());
    }
    if (server->IsThreadRunning()) {
        result = 0;
        return server;
    }
    const int32_t tid = server->StartThread();
    if (tid <= 0) {
        TYX_LOG(3, L"Worker[WID=%d] RVTP server(%s) atarting failed with Err=%d!", wid, outputName.c_str(), -tid);
        result = tid < 0 ? tid : -ESRCH;
        return nullptr;
    }
    TYX_LOG(6, L"Worker[WID=%d]RVTP server(%s) started with ThreadId=%d.", wid, outputName.c_str(), tid);
    SleepMs(kServerStartSettleMs);
    result = 0;
    return server;
}

stVideoOutputRecord *CRVProcWorker::RecordToStart(int32_t width, int32_t height, int32_t outputStreamId,
                                                  int32_t &result)
{
    result = IsUsablePictureSize(width, height) ? 0 : TYX_RVP_ERR_SIZE;
    if (result != 0)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_recordLock);
    stVideoOutputRecord *record = ChooseRecord(outputStreamId);
    result = record ? 0 : TYX_RVP_ERR_RECORD;
    return record;
}

int32_t CRVProcWorker::StartRvtpServer(int32_t width, int32_t height, int32_t outputStreamId)
{
    std::lock_guard<std::mutex> operation(m_serverOpLock);
    int32_t result = 0;
    stVideoOutputRecord *record = RecordToStart(width, height, outputStreamId, result);
    if (!record)
        return result;
    const std::shared_ptr<CRVTPServer> server = PreparePipeServer(*record, width, height, result);
    // Serving starts with the thread: nothing else ever asks for it.
    if (server)
        server->StartEvent().Set();
    return result;
}

int32_t CRVProcWorker::StopRvtpServer(bool destroy, int32_t outputStreamId)
{
    return StopServer(true, destroy, outputStreamId);
}

int32_t CRVProcWorker::StopServer(bool pipe, bool destroy, int32_t outputStreamId)
{
    std::lock_guard<std::mutex> operation(m_serverOpLock);
    std::shared_ptr<CDirectOutputServer> server;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        stVideoOutputRecord *record = ChooseRecord(outputStreamId);
        if (!record)
            return TYX_RVP_ERR_RECORD;
        if (pipe)
            server = record->pipe.server;
        else
            server = record->display.server;
        if (!server)
            return TYX_RVP_ERR_SERVER;
        if (destroy && pipe)
            record->pipe.server.reset();
        else if (destroy)
            record->display.server.reset();
    }
    StopServerForGood(*server);
    if (server->IsThreadRunning())
        ForgetServer(pipe, outputStreamId, server);
    return 0;
}

void CRVProcWorker::ForgetServer(bool pipe, int32_t outputStreamId, const std::shared_ptr<CDirectOutputServer> &server)
{
    // Its thread ran past every wait and still uses it: a later start gets a server of its own.
    std::lock_guard<std::mutex> lock(m_recordLock);
    stVideoOutputRecord *record = ChooseRecord(outputStreamId);
    if (!record)
        return;
    if (pipe && record->pipe.server == server)
        record->pipe.server.reset();
    else if (!pipe && record->display.server == server)
        record->display.server.reset();
}

void CRVProcWorker::SetRvtpServerOption(int32_t value, int32_t outputStreamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    stVideoOutputRecord *record = ChooseRecord(outputStreamId);
    if (record && !record->pipe.server)
        record->pipe.option = value;
}

bool CRVProcWorker::IsRvtpServerOptionOn(int32_t outputStreamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    const stVideoOutputRecord *record = ChooseRecord(outputStreamId);
    return record && record->pipe.option != 0;
}

// ---- direct display ----

std::shared_ptr<CRVDOServer> CRVProcWorker::PrepareDisplayServer(stVideoOutputRecord &record, int32_t width,
                                                                 int32_t height, int32_t &result)
{
    std::shared_ptr<CRVDOServer> server;
    std::wstring name;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        name = DisplayNameOf(record);
        if (!record.display.server) {
            record.display.server = std::make_shared<CRVDOServer>(name, m_workerId, this);
            record.display.server->AttachOverlays(record.displaySlot.writer, record.displaySlot.drawer);
        }
        server = record.display.server;
    }
    const int32_t wid = static_cast<int32_t>(m_workerId);
    if (!server->IsInitialized()) {
        if (!server->Initialize(TYX_DIRECT_OUTPUT_TYPE, width, height, m_initValue, 1)) {
            TYX_LOG(3, L"[WID=%d] RVDO server(%s) initializing failed!", wid, name.c_str());
            result = TYX_RVP_ERR_RECORD;
            return nullptr;
        }
        TYX_LOG(6, L"[WID=%d]RVDO server(%s) initialized.", wid, name.c_str());
    }
    // A display stopped by StopDirectOutput keeps its thread: it is shown again below.
    if (!server->IsThreadRunning()) {
        const int32_t tid = server->StartThread();
        if (tid <= 0) {
            TYX_LOG(3, L"[WID=%d] RVDO server(%s) atarting failed with Err=%d!", wid, name.c_str(), -tid);
            result = tid < 0 ? tid : -ESRCH;
            return nullptr;
        }
        TYX_LOG(6, L"[WID=%d]RVDO server(%s) started with ThreadId=%d.", wid, name.c_str(), tid);
        SleepMs(kServerStartSettleMs);
    }
    result = 0;
    return server;
}

std::wstring CRVProcWorker::DisplayNameOf(const stVideoOutputRecord &record) const
{
    return record.display.name.empty() ? m_name : record.display.name;
}

int32_t CRVProcWorker::ShowOnDisplay(stVideoOutputRecord &record, CRVDOServer &server)
{
    stDirectDisplayHolder settings;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        settings.displayType = record.display.displayType;
        settings.monitorNo = record.display.monitorNo;
        settings.windowWidth = record.display.windowWidth;
        settings.windowHeight = record.display.windowHeight;
        settings.text1 = record.display.text1;
        settings.text2 = record.display.text2;
        settings.name = record.display.name;
    }
    switch (settings.displayType) {
    case TYX_DISPLAY_WINDOW: {
        const std::wstring title = !settings.name.empty() ? settings.name : m_displayName.empty() ? m_name : m_displayName;
        return server.StartDirectOutput(title, settings.windowWidth, settings.windowHeight) ? 0 : TYX_RVP_ERR_DISPLAY;
    }
    case TYX_DISPLAY_NAMED_WINDOW:
        // Showing in another program's window is not built: the texts are only checked.
        return SwapStrings(settings.text1, settings.text2) ? 0 : TYX_RVP_ERR_DISPLAY;
    case TYX_DISPLAY_MONITOR:
        if (settings.monitorNo < 1 || settings.monitorNo > 8)
            return TYX_RVP_ERR_DISPLAY;
        server.SetMonitorOutput(settings.monitorNo);
        server.StartEvent().Set();
        return 0;
    default: return TYX_RVP_ERR_DISPLAY;
    }
}

int32_t CRVProcWorker::StartRvdoServer(int32_t width, int32_t height, int32_t outputStreamId)
{
    std::lock_guard<std::mutex> operation(m_serverOpLock);
    int32_t result = 0;
    stVideoOutputRecord *record = RecordToStart(width, height, outputStreamId, result);
    if (!record)
        return result;
    const std::shared_ptr<CRVDOServer> server = PrepareDisplayServer(*record, width, height, result);
    if (!server)
        return result;
    if (server->IsActive())
        return 0;
    return ShowOnDisplay(*record, *server);
}

int32_t CRVProcWorker::StopRvdoServer(bool destroy, int32_t outputStreamId)
{
    return StopServer(false, destroy, outputStreamId);
}

bool CRVProcWorker::EnableDirectOutput(const stDirectOutputConfig &settings, int32_t outputStreamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    stVideoOutputRecord *record = ChooseRecord(outputStreamId);
    if (!record)
        return false;
    if (settings.outputOn == TYX_DISPLAY_MONITOR) {
        const int16_t monitor = settings.OutputDeviceNo;
        if (monitor < 1 || monitor > 8)
            return false;
        LockRendererSection();
        const std::wstring name = DisplayNameOf(*record);
        std::map<int16_t, std::wstring> &owners = CTYXGVMS::MonitorAliases();
        const auto owner = owners.find(monitor);
        if (owner != owners.end() && !EqualsNoCase(owner->second, name)) {
            TYX_LOG(3, L"The required Monotor:%d is used by %s already!", static_cast<int32_t>(monitor),
                    owner->second.c_str());
            UnlockRendererSection();
            return false;
        }
        if (owner == owners.end())
            owners[monitor] = name;
        UnlockRendererSection();
    }
    stDirectDisplayHolder &display = record->display;
    display.enabled = 1;
    display.displayType = settings.outputOn;
    display.monitorNo = settings.OutputDeviceNo;
    display.windowWidth = settings.WindowWidth;
    display.windowHeight = settings.WindowHeight;
    display.text1 = settings.WindowName;
    display.text2 = settings.WindowClassName;
    return true;
}

void CRVProcWorker::DisableDirectOutput(int32_t outputStreamId)
{
    std::lock_guard<std::mutex> lock(m_recordLock);
    if (stVideoOutputRecord *record = ChooseRecord(outputStreamId))
        record->display.enabled = 0;
    ReleaseMonitors(false);
}

// A monitor this worker took stays taken only while one of its outputs is enabled on it, so that
// another worker can show there once the output stopped or this worker went. Under m_recordLock.
void CRVProcWorker::ReleaseMonitors(bool all)
{
    // A monitor is taken under the display's name, which an output of its own may carry.
    std::vector<std::wstring> ours{m_name};
    std::set<int16_t> kept;
    auto note = [&](const stVideoOutputRecord &record) {
        ours.push_back(DisplayNameOf(record));
        if (!all && record.display.enabled && record.display.displayType == TYX_DISPLAY_MONITOR)
            kept.insert(record.display.monitorNo);
    };
    note(m_outputRecord);
    for (const auto &[id, record] : m_outputRecords)
        note(record);
    const auto isOurs = [&ours](const std::wstring &name) {
        return std::any_of(ours.begin(), ours.end(), [&name](const std::wstring &own) { return EqualsNoCase(own, name); });
    };
    LockRendererSection();
    std::map<int16_t, std::wstring> &owners = CTYXGVMS::MonitorAliases();
    for (auto owner = owners.begin(); owner != owners.end();) {
        if (isOurs(owner->second) && kept.count(owner->first) == 0)
            owner = owners.erase(owner);
        else
            ++owner;
    }
    UnlockRendererSection();
}

void CRVProcWorker::StopDirectOutput(int32_t outputStreamId)
{
    DisableDirectOutput(outputStreamId);
    SleepMs(kDirectOutputStopMs);
    if (const std::shared_ptr<CRVDOServer> server = GetRvdoServer(outputStreamId))
        server->StopEvent().Set();
}

bool CRVProcWorker::IsValidMonitorNo(uint16_t number)
{
    return number < 9;
}

void CRVProcWorker::DestroyServers(stVideoOutputRecord &record)
{
    std::shared_ptr<CRVDOServer> display;
    std::shared_ptr<CRVTPServer> pipe;
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        display = std::move(record.display.server);
        pipe = std::move(record.pipe.server);
    }
    // Every server goes, whatever its flags say: a server left behind would outlive its worker.
    if (display)
        StopServerForGood(*display);
    if (pipe)
        StopServerForGood(*pipe);
}

void CRVProcWorker::StopServerForGood(CDirectOutputServer &server)
{
    // A display closing its window on a busy machine can take longer than the stop budget; left
    // running, its thread could meet the process exit inside the X and GL libraries and hang it.
    if (server.Stop(kServerStopBudgetMs) == static_cast<int32_t>(TYX_STILL_ACTIVE)) {
        TYX_LOG(3, L"[WID=%d] waiting up to %d ms for the thread of output server(%s) to end.",
                static_cast<int32_t>(m_workerId), kServerEndWaitMs, server.Name().c_str());
        server.Stop(kServerEndWaitMs);
    }
    server.unInitialize();
}

void CRVProcWorker::unInitialize()
{
    std::lock_guard<std::mutex> operation(m_serverOpLock);
    for (auto &[id, record] : m_outputRecords)
        DestroyServers(record);
    DestroyServers(m_outputRecord);
    {
        std::lock_guard<std::mutex> lock(m_recordLock);
        ReleaseMonitors(true);
    }
    CTYXWorker::unInitialize();
}
