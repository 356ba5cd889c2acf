#pragma once

#include "rcm/RCInDemandGraphOps.h"

#include <cstdint>

// The in-demand operations of the running program: those on the graph, the overlays and the
// network, and the program's own companion, audio push and boot time.
class CServiceInDemandOps : public CRCInDemandGraphOps
{
public:
    CServiceInDemandOps(stInDemandGraph graph, int64_t hostBootTime);

    int32_t SignalMoxExit() override;
    int32_t StartModuleProcess() override;
    int32_t StartFfmpegAudio() override;
    int32_t StopFfmpegAudio() override;
    int64_t HostBootTime() override { return m_hostBootTime; }

private:
    int64_t m_hostBootTime = 0;
};
