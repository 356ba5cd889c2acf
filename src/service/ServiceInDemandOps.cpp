#include "service/ServiceInDemandOps.h"

#include "service/dGlobalFuncs.h"

CServiceInDemandOps::CServiceInDemandOps(stInDemandGraph graph, int64_t hostBootTime)
    : CRCInDemandGraphOps(std::move(graph)), m_hostBootTime(hostBootTime)
{
}

int32_t CServiceInDemandOps::SignalMoxExit()
{
    // The companion is this program's child here: asking it to end is its stop signal.
    return StopModuleProcess() > 0 ? 0 : TYX_RC_NO_OBJECT;
}

int32_t CServiceInDemandOps::StartModuleProcess()
{
    return ::StartModuleProcess();
}

int32_t CServiceInDemandOps::StartFfmpegAudio()
{
    return ::StartFfmpegAudio();
}

int32_t CServiceInDemandOps::StopFfmpegAudio()
{
    return ::StopFfmpegAudio();
}
