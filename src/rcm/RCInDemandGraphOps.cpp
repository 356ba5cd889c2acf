#include "rcm/RCInDemandGraphOps.h"

#include "core/debuglog.h"
#include "platform/NetworkAdapters.h"
#include "vproc/VideoMuxWorker.h"
#include "vproc/OverlayCommands.h"

#include <cwchar>

namespace {

template <size_t N>
void CopyWide(wchar_t (&field)[N], const std::wstring &text)
{
    const size_t count = std::min(text.size(), N - 1);
    text.copy(field, count);
    field[count] = L'\0';
}

} // namespace

CRCInDemandGraphOps::CRCInDemandGraphOps(stInDemandGraph graph, std::string hostnameFile)
    : m_graph(std::move(graph)), m_hostnameFile(std::move(hostnameFile))
{
}

int32_t CRCInDemandGraphOps::AddMediaSource2TYX(const stRcSourceRequest &request)
{
    stMediaSourceReadWorkerConfig config = request.Config;
    if (config.Streams.empty()) {
        stTYXStreamConfig &stream = config.Streams[static_cast<int16_t>(request.StreamId == 0 ? 1 : request.StreamId)];
        stream.MediaType = request.Video ? 0 : 1;
        stream.EstmtDly = request.EstimatedDelay;
        stream.ProactiveCache = request.CacheTime;
        stream.CrucailStream = request.SIFRequired ? 1 : 0;
    }
    const int32_t choice = request.DecodeEngine < 0 ? IND_DECODER_NOT_GIVEN : request.DecodeEngine;
    std::list<stMediaStreamLink> streams;
    return ::AddMediaSource2TYX(config, choice, streams, m_graph);
}

int32_t CRCInDemandGraphOps::RemoveMediaSource(uint32_t id, const std::wstring &alias)
{
    std::wstring name = alias;
    return ::RemoveMediaSource(id, name);
}

int32_t CRCInDemandGraphOps::AddVSToMux(int32_t region, const std::wstring &alias, const std::wstring &muxAlias)
{
    return ::AddVSToMux(alias, muxAlias, region);
}

int32_t CRCInDemandGraphOps::RemoveVSFromMux(const std::wstring &alias, const std::wstring &replacement)
{
    return ::RemoveVSFromMux(alias, replacement);
}

int32_t CRCInDemandGraphOps::ChangeMuxLayoutOnDemand(int32_t layout, const std::wstring &sources,
                                                     const std::wstring &childWindows)
{
    return ::ChangeMuxLayoutOnDemand(layout, sources, childWindows);
}

int32_t CRCInDemandGraphOps::ChangeRegionInput(const std::shared_ptr<CTYXWorker> &mux, int32_t region, uint32_t inputId)
{
    auto *worker = dynamic_cast<CVideoMuxWorker *>(mux.get());
    return worker ? worker->ChangeRegionInput(region, static_cast<int32_t>(inputId)) : TYX_RC_NO_OBJECT;
}

int32_t CRCInDemandGraphOps::ChangeFocusInput(const std::shared_ptr<CTYXWorker> &mux, uint32_t inputId)
{
    auto *worker = dynamic_cast<CVideoMuxWorker *>(mux.get());
    return worker ? worker->ChangeFocusInput(static_cast<int32_t>(inputId)) : TYX_RC_NO_OBJECT;
}

int32_t CRCInDemandGraphOps::GetMuxState(const std::shared_ptr<CTYXWorker> &mux, int32_t &layout, uint32_t &focusInputId)
{
    const auto *worker = dynamic_cast<const CVideoMuxWorker *>(mux.get());
    if (!worker)
        return TYX_RC_NO_OBJECT;
    layout = worker->GetLayoutType();
    focusInputId = worker->GetFocusInputId();
    return 0;
}

int32_t CRCInDemandGraphOps::StartDirectOutput(const std::wstring &alias, int32_t monitor)
{
    return ::StartDirectOutput(alias, monitor);
}

int32_t CRCInDemandGraphOps::StopDirectOutput(const std::wstring &alias)
{
    return ::StopDirectOutput(alias);
}

std::wstring CRCInDemandGraphOps::GetRecordSubPath(const std::shared_ptr<CTYXWorker> &writer)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::wstring subPath;
    std::string listName;
    ::GetRecordSubPath(writer, local, subPath, listName);
    return subPath;
}

int32_t CRCInDemandGraphOps::SetOsdTextByNumber(uint16_t number, const std::wstring &text)
{
    return ::SetOsdTextByNumber(number, text);
}

int32_t CRCInDemandGraphOps::AddOsd2Worker(const std::wstring &alias, const stRcOsdRequest &request)
{
    stOsdRequest osd;
    osd.OwnerKind = request.OwnerType;
    osd.OsdType = request.OsdType;
    osd.PosBase = request.PosBase;
    osd.XShift = request.XShift;
    osd.YShift = request.YShift;
    osd.TextColor = request.TextColor;
    osd.FontHeight = request.TextHeight;
    osd.Text = request.Content;
    return ::AddOsd2Worker(alias, osd);
}

int32_t CRCInDemandGraphOps::RemoveOsdFromWorker(uint16_t number)
{
    return ::RemoveOsdFromWorker(number);
}

int32_t CRCInDemandGraphOps::RemoveOsgFromWorker(uint16_t number)
{
    return ::RemoveOsgFromWorker(number);
}

int32_t CRCInDemandGraphOps::SetComputerNameFromRC(const std::string &name)
{
    return ::SetComputerNameFromRC(name.c_str(), m_hostnameFile);
}

int32_t CRCInDemandGraphOps::SetAdapterAddress(const stRcAddressRequest &request)
{
    stAdapterAddressSettings settings;
    settings.DHCPEnabled = request.DHCP ? 1 : 0;
    settings.AddressFamily = request.Family;
    settings.IPv6PrefixLength = request.PrefixLength;
    CopyWide(settings.IPAddress, request.Address);
    CopyWide(settings.SubnetMask, request.Mask);
    CopyWide(settings.DefaultGateway, request.Gateway);
    return ::SetAdapterAddress(settings);
}
