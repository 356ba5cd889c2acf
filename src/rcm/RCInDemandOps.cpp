#include "rcm/RCInDemandOps.h"

#include "config/ConfigKeywords.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "platform/Event.h"
#include "rcm/OsgDefinition.h"
#include "vproc/OverlayCommands.h"

#include <filesystem>

namespace {

// The "Section.Alias" reference of the video worker with that alias, looked for by kind in the
// order the overlay commands name their owners; empty when none has it.
std::wstring ReferenceOfAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker)
{
    if (CTYXGVMS::FindDecoderByAlias(alias, worker) > 0 && worker)
        return SectionKindName(TYX_KIND_VIDEO_DECODER) + L"." + alias;
    if (CTYXGVMS::GetVMPByAlias(alias, worker) > 0 && worker)
        return SectionKindName(TYX_KIND_VIDEO_MIDPROC) + L"." + alias;
    if (CTYXGVMS::FindEncoderByAlias(alias, worker) > 0 && worker)
        return SectionKindName(TYX_KIND_VIDEO_ENCODER) + L"." + alias;
    if (CTYXGVMS::FindMReaderByAlias(alias, worker) > 0 && worker)
        return SectionKindName(TYX_KIND_MEDIA_READER) + L"." + alias;
    worker.reset();
    return {};
}

} // namespace

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
int32_t CRCInDemandOps::AddOsd2Worker(const std::wstring &alias, const stRcOsdRequest &request)
{
    stOsdRequest osd;
    osd.OwnerKind = request.OwnerType == 0 ? OSD_OWNER_DECODER : OSD_OWNER_ENCODER;
    osd.OsdType = request.OsdType;
    osd.PosBase = request.PosBase;
    osd.XShift = request.XShift;
    osd.YShift = request.YShift;
    osd.TextColor = request.TextColor;
    if (request.TextHeight > 0)
        osd.FontHeight = request.TextHeight;
    osd.Text = request.Content;
    return ::AddOsd2Worker(alias, osd);
}

int32_t CRCInDemandOps::RemoveOsdFromWorker(uint16_t number)
{
    return ::RemoveOsdFromWorker(number);
}

int32_t CRCInDemandOps::AddOsgGeometry(const std::wstring &alias, int32_t position, const std::string &definition)
{
    std::vector<stOsgGeometry> geometries;
    const int32_t parsed = ParseOsgDefinition(definition, geometries);
    if (parsed < 1) {
        TYX_LOG(3, L"OSG def string(%hs) parsing failed with Error=%d returned!", definition.c_str(), parsed);
        return parsed;
    }
    // A reference names its worker itself; a plain alias is looked for among the kinds that draw.
    std::shared_ptr<CTYXWorker> worker;
    std::wstring reference = alias;
    stTYXWorkerReference named;
    if (ResolveWorkerReference(alias, named) <= 0) {
        reference = ReferenceOfAlias(alias, worker);
        if (!worker)
            return 0;
    }
    std::vector<stOsgItem> items(geometries.size());
    for (size_t i = 0; i < geometries.size(); ++i) {
        items[i].kind = OSG_KIND_GEOMETRY;
        items[i].target = position;
        items[i].record = std::move(geometries[i]);
    }
    return AddOsgs2Worker(reference, position, OSG_KIND_GEOMETRY, std::move(items), worker);
}

int32_t CRCInDemandOps::RemoveOsgFromWorker(uint16_t number)
{
    return ::RemoveOsgFromWorker(number);
}
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
std::wstring CRCInDemandOps::SettingsFile()
{
    const std::wstring &folder = CTYXGVMS::ProgramFolder();
    if (folder.empty())
        return {};
    return (std::filesystem::path(folder) / RCM_SETTINGS_FILE_NAME).wstring();
}
