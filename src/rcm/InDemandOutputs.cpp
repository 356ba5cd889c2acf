// Direct displays, overlay texts and record sub-paths on demand.

#include "rcm/InDemandChanges.h"

#include "config/WorkerReference.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/MWrtWorker.h"
#include "vproc/OsdWriter.h"
#include "vproc/OverlayCommands.h"
#include "vproc/RVProcWorker.h"

#include <cstdio>

#define RCPROC_LOG(level, format, ...) \
    DebugLog((level), "RCProcFuncs", __func__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr int32_t MAX_MONITOR = 8;

// The video worker an alias or reference text names, and the output stream it names (0: the worker's).
int32_t FindVideoWorker(const std::wstring &alias, std::shared_ptr<CRVProcWorker> &video, int32_t &streamId)
{
    stTYXWorkerReference reference;
    const int32_t parsed = ResolveWorkerReference(alias, reference);
    if (parsed < 0)
        return parsed;
    std::shared_ptr<CTYXWorker> worker;
    if (parsed == 0 || FindWorkerByKindAndAlias(reference, worker) <= 0 || !worker)
        return IND_WORKER_NOT_FOUND;
    video = std::dynamic_pointer_cast<CRVProcWorker>(worker);
    if (!video)
        return IND_WORKER_NOT_FOUND;
    streamId = reference.StreamId > 0 ? static_cast<int32_t>(worker->GetWorkerId()) + reference.StreamId : 0;
    return 0;
}

} // namespace

int32_t SetOsdTextByNumber(uint16_t number, const std::wstring &text)
{
    return SetOsdTextOfNumber(number, text);
}

int32_t StartDirectOutput(const std::wstring &alias, int32_t monitor)
{
    if (CTYXGVMS::IsMonitorOccupied(monitor)) {
        RCPROC_LOG(3, L"The required Monotor:%d is used by others already!", monitor);
        return IND_MONITOR_IN_USE;
    }
    std::shared_ptr<CRVProcWorker> video;
    int32_t streamId = 0;
    if (const int32_t found = FindVideoWorker(alias, video, streamId); found != 0)
        return found;
    RCPROC_LOG(6, L"[In demand]Starting direct display with monitor(%d) for Worker(%s)...", monitor, alias.c_str());
    if (monitor < 1 || monitor > MAX_MONITOR || !video->IsValidMonitorNo(static_cast<uint16_t>(monitor)))
        return IND_WORKER_NOT_FOUND;
    stDirectOutputConfig settings;
    settings.DirectOutput = 1;
    settings.outputOn = TYX_DISPLAY_MONITOR;
    settings.OutputDeviceNo = static_cast<int16_t>(monitor);
    // Refused when another worker took the monitor since the check above.
    if (!video->EnableDirectOutput(settings, streamId))
        return IND_MONITOR_IN_USE;
    return 0;
}

int32_t StopDirectOutput(const std::wstring &alias)
{
    std::shared_ptr<CRVProcWorker> video;
    int32_t streamId = 0;
    if (const int32_t found = FindVideoWorker(alias, video, streamId); found != 0)
        return found;
    RCPROC_LOG(6, L"[In demand]Switching off direct display of Worker(%s)...", alias.c_str());
    video->StopDirectOutput(streamId);
    stTYXWorkerReference reference;
    ResolveWorkerReference(alias, reference);
    CTYXGVMS::ReleaseMonitor(reference.Alias.empty() ? alias : reference.Alias);
    return 0;
}

bool GetRecordSubPath(const std::shared_ptr<CTYXWorker> &writer, const std::tm &localDate, std::wstring &subPath,
                      std::string &listName)
{
    subPath.clear();
    listName = "RecordFileList.txt";
    const auto recorder = std::dynamic_pointer_cast<CTYXMediaWriteWorker>(writer);
    if (!recorder)
        return false;
    std::shared_ptr<stRecordFileConfig> settings;
    if (const auto *config =
            dynamic_cast<const stMediaWriteWorkerConfig *>(CTYXGVMS::GetWorkerConfigById(recorder->GetWorkerId())))
        settings = config->RecordSettings;
    if (!settings)
        return false;
    // Clients build paths from this text, so it keeps the backslashes they expect.
    if (settings->SubFolderDate) {
        wchar_t month[32];
        std::swprintf(month, 32, L"%d-%2.2d\\", localDate.tm_year + 1900, localDate.tm_mon + 1);
        subPath += month;
    }
    const std::wstring caseNumber = recorder->GetCaseNumber();
    if (settings->SubFolderCaseNo && !caseNumber.empty())
        subPath += caseNumber + L"\\";
    return true;
}
