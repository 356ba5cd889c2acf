#include "pipeline/WorkerGraph.h"

#include "host/GlobalVars.h"
#include "vproc/OsdWriter.h"
#include "vproc/OverlayCommands.h"
#include "vproc/RVProcWorker.h"

namespace {

bool IsClockText(const stTYXOSDConfig &osd)
{
    return osd.OsdType == 1 || osd.OsdType == 4;
}

} // namespace

void CWorkerGraph::AttachOverlays(int32_t kind, const std::shared_ptr<CTYXWorker> &worker,
                                  const stTYXWorkerConfig &config)
{
    auto *video = dynamic_cast<CRVProcWorker *>(worker.get());
    if (!video)
        return;
    bool clock = false;
    for (const auto &[number, osd] : CTYXGVMS::OSDConfigs()) {
        if (osd.OwnerWorkerId != static_cast<uint32_t>(config.WorkerId))
            continue;
        std::shared_ptr<COsdWriter> writer = video->GetOsdWriter(osd.DrawTarget, 0);
        if (!writer)
            writer = std::make_shared<COsdWriter>();
        clock = clock || IsClockText(osd);
        writer->CreateFont(static_cast<uint16_t>(number), osd);
        video->SetOsdWriter(writer, osd.DrawTarget, 0);
    }
    if (clock)
        video->SetTimeOsdOn(true);
    AddCfgOsgs2Worker(CTYXGVMS::OSGConfigs(), config.Name, worker, kind);
}
