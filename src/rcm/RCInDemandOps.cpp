#include "rcm/RCInDemandOps.h"

#include "host/GlobalVars.h"
#include "platform/Event.h"

int32_t CRCInDemandOps::AddMediaSource2TYX(const stRcSourceRequest &) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::RemoveMediaSource(uint32_t, const std::wstring &) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::AddVSToMux(int32_t, const std::wstring &, const std::wstring &) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::RemoveVSFromMux(const std::wstring &, const std::wstring &) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::ChangeMuxLayoutOnDemand(int32_t, const std::wstring &, const std::wstring &)
{
    return TYX_RC_NOT_SUPPORTED;
}
int32_t CRCInDemandOps::ChangeRegionInput(const std::shared_ptr<CTYXWorker> &, int32_t, uint32_t)
{
    return TYX_RC_NOT_SUPPORTED;
}
int32_t CRCInDemandOps::ChangeFocusInput(const std::shared_ptr<CTYXWorker> &, uint32_t) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::GetMuxState(const std::shared_ptr<CTYXWorker> &, int32_t &, uint32_t &)
{
    return TYX_RC_NOT_SUPPORTED;
}
int32_t CRCInDemandOps::StartDirectOutput(const std::wstring &, int32_t) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::StopDirectOutput(const std::wstring &) { return TYX_RC_NOT_SUPPORTED; }
std::wstring CRCInDemandOps::GetRecordSubPath(const std::shared_ptr<CTYXWorker> &) { return {}; }
int32_t CRCInDemandOps::SetOsdTextByNumber(uint16_t, const std::wstring &) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::AddOsd2Worker(const std::wstring &, const stRcOsdRequest &) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::RemoveOsdFromWorker(uint16_t) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::AddOsgGeometry(const std::wstring &, int32_t, const std::string &) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::RemoveOsgFromWorker(uint16_t) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::SetComputerNameFromRC(const std::string &) { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::SetAdapterAddress(const stRcAddressRequest &) { return TYX_RC_NOT_SUPPORTED; }

void CRCInDemandOps::RequestServiceExit(int32_t action, uint32_t delaySeconds)
{
    CTYXGVMS::ExitAction() = action;
    CTYXGVMS::ExitDelay() = static_cast<int32_t>(delaySeconds);
    if (const auto event = CTYXGVMS::ExitRequestEvent())
        event->Set();
}

int32_t CRCInDemandOps::SignalMoxExit() { return TYX_RC_NO_OBJECT; }
int32_t CRCInDemandOps::StartModuleProcess() { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::StartFfmpegAudio() { return TYX_RC_NOT_SUPPORTED; }
int32_t CRCInDemandOps::StopFfmpegAudio() { return TYX_RC_NOT_SUPPORTED; }
int64_t CRCInDemandOps::HostBootTime() { return 0; }
std::wstring CRCInDemandOps::SettingsFile() { return {}; }
