#include "rcm/RCProcFuncs.h"

#include "config/ConfigXmlDocument.h"
#include "config/GTYXConfigXml.h"
#include "core/TYXUtils.h"
#include "core/TextCompare.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "output/MWriterControl.h"
#include "rcm/InDemandChanges.h"
#include "platform/TickCount.h"
#include "vproc/OverlayCommands.h"
#include "vproc/RVProcWorker.h"
#include "output/MWrtWorker.h"
#include "rcm/TYXStatusInfo.h"

#include <algorithm>
#include <cstring>

#include <filesystem>

namespace {

constexpr uint16_t kStartWork = 0x108;
constexpr int32_t kStopTooSoon = -140;

std::wstring Wide(const std::string &text)
{
    return StringToWString(text);
}

void SetReplyText(const std::wstring &text, std::vector<uint8_t> &reply)
{
    const std::string narrow = WStringToString(text);
    reply.assign(narrow.begin(), narrow.end());
    reply.push_back(0);
}

const stMediaWriteWorkerConfig *WriterConfigOf(uint32_t id)
{
    return dynamic_cast<const stMediaWriteWorkerConfig *>(CTYXGVMS::GetWorkerConfigById(id));
}

// The mux of the alias; an empty alias names the system's mux when no mid-processor is unnamed.
std::shared_ptr<CTYXWorker> FindMux(const std::wstring &alias)
{
    std::shared_ptr<CTYXWorker> mux;
    if (CTYXGVMS::GetVMPByAlias(alias, mux) >= 0 && mux)
        return mux;
    if (!alias.empty())
        return nullptr;
    for (const auto &[id, record] : CTYXGVMS::CopyVMPMap()) {
        if (record->MPType == TYX_MP_MUX && record->Worker)
            return record->Worker;
    }
    return nullptr;
}

// The mux input of a raw video reader, or of the decoder with that alias; -1 for none.
int32_t FindInputId(const std::wstring &alias)
{
    std::shared_ptr<CTYXWorker> worker;
    stMediaReadWorkerInstanceInfo reader;
    const int32_t readerId = CTYXGVMS::FindMReaderByAlias(alias, worker, &reader);
    if (readerId >= 0 && reader.MSTYPE == TYX_MS_VCAP && worker)
        return static_cast<int32_t>(VideoOutputOf(*worker, static_cast<uint32_t>(readerId)));
    const int32_t decoderId = CTYXGVMS::FindDecoderByAlias(alias, worker);
    return decoderId > 0 && worker ? static_cast<int32_t>(VideoOutputOf(*worker, static_cast<uint32_t>(decoderId))) : -1;
}

bool IsWritingStep(uint16_t step)
{
    return step == 22 || step == 25 || step == 26 || step == 29 || step == 31;
}

int32_t CountSourceAliases(const std::string &list)
{
    int32_t count = 0;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            ++count;
        start = end + 1;
    }
    return count;
}

void CopyBounded(const std::wstring &text, wchar_t *target, size_t capacity)
{
    const size_t length = std::min(text.size(), capacity - 1);
    std::copy_n(text.begin(), length, target);
    target[length] = 0;
}

} // namespace

CRCCommandExecutor::CRCCommandExecutor(std::shared_ptr<CRCInDemandOps> operations, bool waitForStart)
    : m_ops(operations ? std::move(operations) : std::make_shared<CRCInDemandOps>())
{
    if (!waitForStart)
        m_started.Set();
}

bool CRCCommandExecutor::WaitForStart(uint32_t timeoutMs)
{
    return m_started.Wait(timeoutMs) == TYX_WAIT_OBJECT_0;
}

int32_t CRCCommandExecutor::OnRCCmd(uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply)
{
    TYX_LOG(7, L"TYX service received command(%d) from RCM.", code);
    if (code == kStartWork) {
        m_started.Set();
        return 0;
    }
    if (!m_started.IsSet())
        return TYX_RC_WAITING_START;
    return Dispatch(code, command, reply);
}

int32_t CRCCommandExecutor::Dispatch(uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply)
{
    switch (code) {
    case 0x101: return MediaWriterControl(command, reply);
    case 0x103:
    case 0x10d:
    case 0x126: return TYX_RC_NOT_SUPPORTED;
    case 0x104: return ChangeRegionInput(command);
    case 0x105: return ChangeMuxFocus(command);
    case 0x10a: return OsdControl(command);
    case 0x10b: return OsdSetText(command);
    case 0x10c: return AddNewInputOsd(command);
    case 0x10f: return RemoveOverlay(command, false);
    case 0x110:
        TYX_LOG(6, L"[In demand]Replace VS(Alias=%s) from Mux with VS(Alias=%s)...", Wide(command.Texts[0]).c_str(),
                Wide(command.Texts[1]).c_str());
        return 0;
    case 0x111:
    case 0x112: return MuxMembership(code, command);
    case 0x113: return ChangeMuxLayout(command);
    case 0x115: return AddInput(command, true);
    case 0x119: return AddInput(command, false);
    case 0x116:
    case 0x11a: return DelInput(command);
    case 0x120: {
        TYX_LOG(5, L"Retrieving worker's status...");
        const std::string text = BuildWorkersStatus();
        reply.assign(text.begin(), text.end());
        return 0;
    }
    case 0x121: {
        stTYXStatusInfo status;
        FillStatusInfo(status);
        reply.resize(sizeof(status));
        std::memcpy(reply.data(), &status, sizeof(status));
        return 0;
    }
    case 0x122: return DirectOutput(command, true);
    case 0x123:
        CTYXGVMS::SetCaseInfo(L"", Wide(command.Texts[0]), Wide(command.Texts[2]), Wide(command.Texts[1]));
        TYX_LOG(5, L"Current case info was set to: [%s]-[%s]-[%s]...", Wide(command.Texts[0]).c_str(),
                Wide(command.Texts[1]).c_str(), Wide(command.Texts[2]).c_str());
        return 0;
    case 0x124: return DirectOutput(command, false);
    case 0x171: return m_ops->SetComputerNameFromRC(command.Texts[0]);
    case 0x172: {
        if (command.Texts[0].empty())
            return TYX_RC_NO_SUCH_ALIAS;
        const int32_t result = SetLiveBCUrl(command.Texts[0], m_ops->SettingsFile());
        return result == LIVEBC_URL_REFUSED ? TYX_RC_TEXT_REFUSED : result;
    }
    case 0x173: return SetServerAddr(command);
    case 0x175:
        SetMoxCtrlPort(static_cast<uint16_t>(command.Number1 & 0xFFFF), static_cast<uint16_t>(command.Number2 & 0xFFFF),
                       *m_ops);
        return 0;
    case 0x191:
    case 0x192:
    case 0x196:
    case 0x198:
    case 0x200: return ExitRequest(code, command);
    case 0x201: return Companion(false);
    case 0x202: return Companion(true);
    case 0x221: return AddOsgGeometry(command);
    case 0x222: return RemoveOverlay(command, true);
    default: return 0;
    }
}

int32_t CRCCommandExecutor::MediaWriterControl(const stRCCommand &command, std::vector<uint8_t> &reply)
{
    const uint32_t id = static_cast<uint32_t>(command.Number1);
    const std::wstring alias = Wide(command.Texts[0]);
    std::shared_ptr<CTYXWorker> writer;
    if (id != 0) {
        std::wstring found;
        writer = CTYXGVMS::GetMWriterById(id, found);
        if (!writer) {
            TYX_LOG(3, L"Media-writer controling refused for unknown ID(%d) received.", id);
            return TYX_RC_NO_SUCH_ID;
        }
    } else if (alias.empty()) {
        TYX_LOG(3, L"Media-writer controling refused for zero ID and NULL alias received.");
        return TYX_RC_NO_SUCH_ALIAS;
    } else {
        std::wstring resolved = alias;
        if (EqualsNoCase(alias, L"ALLRECORDING"))
            resolved = CTYXGVMS::GeneralSettings().RecordWriter;
        else if (EqualsNoCase(alias, L"LIVE_BROADCAST"))
            resolved = CTYXGVMS::GeneralSettings().LiveBCWriter;
        if (CTYXGVMS::GetMWriterByAlias(resolved, writer) < 0 || !writer) {
            TYX_LOG(3, L"Media-writer controling refused for unknown alias(%s) received.", alias.c_str());
            return TYX_RC_NO_SUCH_ALIAS;
        }
    }
    const stMediaWriteWorkerConfig *config = WriterConfigOf(writer->GetWorkerId());
    const bool recording = config && config->MWType == TYX_MS_FILE;
    const std::wstring subPath = recording ? m_ops->GetRecordSubPath(writer) : std::wstring();
    const bool sendReply = recording || EqualsNoCase(alias, L"ALLRECORDING");
    const uint32_t action = command.Number2 & 0xFF;
    const std::wstring name = writer->GetName();
    if (action == 1) {
        TYX_LOG(5, L"Starting AV writing of mwriter:%s...", name.c_str());
        writer->StartDataPushing();
    } else if (action == 0) {
        TYX_LOG(5, L"Stoping AV writing of mwriter:%s...", name.c_str());
        if (writer->StopDataPushing() == kStopTooSoon)
            return TYX_RC_STOP_TOO_SOON;
    }
    if (sendReply)
        SetReplyText(action == 1 && !subPath.empty() ? subPath : std::wstring(L"RecordFileList.txt"), reply);
    return 0;
}

int32_t CRCCommandExecutor::ChangeRegionInput(const stRCCommand &command)
{
    const auto mux = FindMux(Wide(command.Texts[1]));
    if (!mux)
        return TYX_RC_NO_SUCH_ALIAS;
    const std::wstring alias = Wide(command.Texts[0]);
    const int32_t input = FindInputId(alias);
    if (input < 0) {
        TYX_LOG(3, L"Mux region switching refused for unknown input alias(%s) received.", alias.c_str());
        return TYX_RC_NO_SUCH_ALIAS;
    }
    const int32_t region = command.Number1 & 0xFFFF;
    TYX_LOG(6, L"[In demand]Switching region [%d] to input(Alias=%s, Id=%d)...", region, alias.c_str(), input);
    return m_ops->ChangeRegionInput(mux, region, static_cast<uint32_t>(input));
}

int32_t CRCCommandExecutor::ChangeMuxFocus(const stRCCommand &command)
{
    const auto mux = FindMux(Wide(command.Texts[1]));
    if (!mux)
        return TYX_RC_NO_SUCH_ALIAS;
    if (command.Number1 != 0) {
        TYX_LOG(6, L"[In demand]Switching mux focus video to input:%d...", command.Number1);
        return m_ops->ChangeFocusInput(mux, static_cast<uint32_t>(command.Number1));
    }
    const std::wstring alias = Wide(command.Texts[0]);
    const int32_t input = FindInputId(alias);
    if (input < 0) {
        TYX_LOG(3, L"Mux focus switching refused for unknown input alias(%s) received.", alias.c_str());
        return TYX_RC_NO_SUCH_ALIAS;
    }
    TYX_LOG(6, L"[In demand]Switching mux focus video to input(Alias=%s, DcdrID=%d)...", alias.c_str(), input);
    return m_ops->ChangeFocusInput(mux, static_cast<uint32_t>(input));
}

int32_t CRCCommandExecutor::OsdControl(const stRCCommand &command)
{
    const uint16_t number = static_cast<uint16_t>(command.Number1 & 0xFFFF);
    return SetOsdVisibleByNumber(number, (command.Number2 & 0xFF) != 0);
}

int32_t CRCCommandExecutor::OsdSetText(const stRCCommand &command)
{
    const int32_t number = command.Number1 & 0xFFFF;
    const std::wstring text = Wide(command.Texts[0]);
    TYX_LOG(6, L"Setting OSD:(%d) contents to(%s)...", number, text.c_str());
    const int32_t result = m_ops->SetOsdTextByNumber(static_cast<uint16_t>(number), text);
    if (result < 0)
        TYX_LOG(3, L"Error(%d) returned while setting OSD:(%d) contents was to(%s).", result, number, text.c_str());
    else
        TYX_LOG(6, L"OSD:(%d) contents was set to(%s).", number, text.c_str());
    return result;
}

int32_t CRCCommandExecutor::AddNewInputOsd(const stRCCommand &command)
{
    const uint32_t packed = static_cast<uint32_t>(command.Number1);
    stRcOsdRequest request;
    request.OwnerType = 0;
    request.OsdType = static_cast<int32_t>(packed & 0xFF);
    request.PosBase = static_cast<int32_t>(packed >> 8 & 0xFF);
    request.TextColor = static_cast<int32_t>(packed >> 16 & 0xFF);
    request.TextHeight = static_cast<int32_t>(packed >> 24 & 0xFF);
    request.XShift = static_cast<int16_t>(command.Number2 & 0xFFFF);
    request.YShift = static_cast<int16_t>(command.Number2 >> 16);
    if (request.OsdType == 6)
        request.Content = Wide(command.Texts[1]);
    const std::wstring alias = Wide(command.Texts[0]);
    TYX_LOG(5, L"Adding new OSD:(OwnerType=%d, osdType= %d, contents=%s) to Video(%s)...", request.OwnerType,
            request.OsdType, request.Content.c_str(), alias.c_str());
    const int32_t result = m_ops->AddOsd2Worker(alias, request);
    if (result < 1)
        TYX_LOG(3, L"New OSD Adding(To Video:%s) failed with Error=%d returned!", alias.c_str(), result);
    else
        TYX_LOG(5, L"New OSD Added to Video(%s) with OSDID=%d returned.", alias.c_str(), result);
    return result;
}

int32_t CRCCommandExecutor::RemoveOverlay(const stRCCommand &command, bool graphics)
{
    const uint16_t number = static_cast<uint16_t>(command.Number1 & 0xFFFF);
    TYX_LOG(5, graphics ? L"Removing OSG:(Id=%d..." : L"Removing OSD:(Id=%d...", number);
    const int32_t result = graphics ? m_ops->RemoveOsgFromWorker(number) : m_ops->RemoveOsdFromWorker(number);
    if (result < 0)
        TYX_LOG(3, L"Error(%d) returned while removing  OSD:%d!", result, number);
    else
        TYX_LOG(5, graphics ? L"[In demand]OSG:%d was removed." : L"[In demand]OSD:%d was removed.", number);
    return result;
}

int32_t CRCCommandExecutor::MuxMembership(uint16_t code, const stRCCommand &command)
{
    const std::wstring first = Wide(command.Texts[0]);
    const std::wstring second = Wide(command.Texts[1]);
    if (code == 0x111) {
        TYX_LOG(5, L"[In demand]Join video source(Alias=%s) into Mux...", first.c_str());
        const int32_t result = m_ops->AddVSToMux(std::max(command.Number1, 0), first, second);
        if (result < 0)
            TYX_LOG(3, L"Failed (Err=%d) while joining  video source(Alias=%s) into Mux!", result, first.c_str());
        else
            TYX_LOG(5, L"[In demand]Video source(Alias=%s) joint into Mux.", first.c_str());
        return result;
    }
    TYX_LOG(5, L"[In demand]Remove video source(Alias=%s) from Mux...", first.c_str());
    const int32_t result = m_ops->RemoveVSFromMux(first, second);
    if (result < 0)
        TYX_LOG(3, L"Failed (Err=%d) while removing video source(Alias=%s) from Mux!", result, first.c_str());
    return result;
}

int32_t CRCCommandExecutor::ChangeMuxLayout(const stRCCommand &command)
{
    const int32_t layout = command.Number1 & 0xFF;
    if (layout < 1 || layout > 21)
        return TYX_RC_NOT_SUPPORTED;
    if (CountSourceAliases(command.Texts[0]) < 1)
        return TYX_RC_NO_SOURCES;
    TYX_LOG(5, L"[In demand]Change mux layout to (%d)...", layout);
    const int32_t result = m_ops->ChangeMuxLayoutOnDemand(layout, Wide(command.Texts[0]), Wide(command.Texts[1]));
    if (result < 0)
        TYX_LOG(3, L"[In demand]Failed with error=%d, while changing Mux layout to (%d)!", result, layout);
    else
        TYX_LOG(5, L"[In demand]Mux layout changed from(%d) to (%d).", result, layout);
    return result;
}

int32_t CRCCommandExecutor::AddInput(const stRCCommand &command, bool video)
{
    stRcSourceRequest request;
    request.Video = video;
    stMediaSourceReadWorkerConfig &config = request.Config;
    config.Name = Wide(command.Texts[0]);
    config.MSFullPath = Wide(command.Texts[1]);
    config.AuthUN = Wide(command.Texts[2]);
    config.AuthPwd = Wide(command.Texts[3]);
    const std::wstring &url = config.MSFullPath;
    if (url.size() >= 5 && EqualsNoCase(url.substr(0, 5), L"RTSP:"))
        config.MSTYPE = TYX_MS_RTSP;
    else if (url.size() >= 5 && EqualsNoCase(url.substr(0, 5), L"RTMP:"))
        config.MSTYPE = TYX_MS_RTMP;
    else
        config.MSTYPE = TYX_MS_FILE;
    const uint32_t first = static_cast<uint32_t>(command.Number1);
    request.StreamId = static_cast<uint16_t>(first & 0xFFFF);
    config.Authorization = first > 0xFFFF ? 1 : 0;
    request.EstimatedDelay = static_cast<uint16_t>(command.Number2 & 0xFFFF);
    config.UseNTP = command.Number2 > 0xFFFF ? 1 : 0;
    request.CacheTime = static_cast<uint16_t>(command.Number3 & 0xFFFF);
    request.SIFRequired = command.Number3 > 0xFFFF;
    request.DecodeEngine = (command.Number4 & 0xFFFF) == 0xFFFF ? -1 : static_cast<int32_t>(command.Number4 & 0xFFFF);
    const std::wstring &alias = config.Name;
    TYX_LOG(5, video ? L"[In demand]Add new video source(Alias=%s) into TYX..." : L"[In demand]Add new audio source(Alias=%s) into TYX...",
            alias.c_str());
    const int32_t result = m_ops->AddMediaSource2TYX(request);
    if (result < 0)
        TYX_LOG(3, video ? L"Failed (Err=%d) while Adding new video source(Alias=%s) into TYX!" : L"Failed (Err=%d) while Adding new audio source(Alias=%s) into TYX!",
                result, alias.c_str());
    else
        TYX_LOG(5, video ? L"[In demand]New video source(Alias=%s) added into TYX with VSID=%d." : L"[In demand]New Audio source(Alias=%s) added into TYX with VSID=%d.",
                alias.c_str(), result);
    return result;
}

int32_t CRCCommandExecutor::DelInput(const stRCCommand &command)
{
    const std::wstring alias = command.Number1 == 0 ? Wide(command.Texts[0]) : std::wstring();
    TYX_LOG(5, L"[In demand]Remove audio/Video source(Alias=%s) from TYX...", alias.c_str());
    const int32_t result = m_ops->RemoveMediaSource(static_cast<uint32_t>(command.Number1), alias);
    if (result < 0)
        TYX_LOG(3, L"Failed (Err=%d) while removing audio/Video source(Alias=%s) from TYX!", result, alias.c_str());
    else
        TYX_LOG(5, L"[In demand]Audio/Video source(Alias=%s) removed successfully from TYX...", alias.c_str());
    return result;
}

int32_t CRCCommandExecutor::DirectOutput(const stRCCommand &command, bool start)
{
    const std::wstring alias = Wide(command.Texts[0]);
    if (start) {
        const int32_t monitor = command.Number1 & 0xFFFF;
        TYX_LOG(5, L"[In demand]Switching Raw video:%s to Monotor:%d...", alias.c_str(), monitor);
        const int32_t result = m_ops->StartDirectOutput(alias, monitor);
        if (result < 0)
            TYX_LOG(3, L"Error(%d) returned while Switching Raw video:%s to Monotor:%d...", result, alias.c_str(),
                    monitor);
        else
            TYX_LOG(5, L"[In demand]Raw video:%s was switched to Monotor:%d...", alias.c_str(), monitor);
        return result;
    }
    TYX_LOG(5, L"[In demand]Switching off direct display of raw video:%s...", alias.c_str());
    const int32_t result = m_ops->StopDirectOutput(alias);
    if (result < 0)
        TYX_LOG(3, L"Error(%d) returned while Switching off Direct display of Raw video:%s!", result, alias.c_str());
    else
        TYX_LOG(5, L"[In demand]Direct display of Raw video:%s was switched off.", alias.c_str());
    return result;
}

int32_t CRCCommandExecutor::SetServerAddr(const stRCCommand &command)
{
    stRcAddressRequest request;
    const uint32_t first = static_cast<uint32_t>(command.Number1);
    request.DHCP = (first & 0xFFFF) != 0;
    request.Family = static_cast<uint16_t>(first >> 16);
    size_t limit;
    if (request.Family == 23) {
        limit = 40;
        request.PrefixLength = static_cast<uint8_t>(command.Number2 & 0xFF);
    } else if (request.Family == 2) {
        limit = 16;
    } else {
        return TYX_RC_BAD_FAMILY;
    }
    const auto fit = [limit](const std::wstring &text) { return text.size() < limit ? text : std::wstring(); };
    request.Address = fit(command.WideTexts[0]);
    request.Mask = fit(command.WideTexts[1]);
    request.Gateway = fit(command.WideTexts[2]);
    const int32_t result = m_ops->SetAdapterAddress(request);
    // A failed change is reported, and does not reboot the host for nothing.
    if (result == 0)
        m_ops->RequestServiceExit(2, 0);
    return result;
}

int32_t CRCCommandExecutor::ExitRequest(uint16_t code, const stRCCommand &command)
{
    if (code == 0x198) {
        TYX_LOG(5, L"[In demand]Received system restart command, Notify TYX stopping...");
        m_ops->RequestServiceExit(2, 0);
    } else if (code == 0x200) {
        TYX_LOG(5, L"[In demand]Received system shutdown command, Notify TYX stopping...");
        m_ops->RequestServiceExit(1, 0);
    } else {
        TYX_LOG(5, L"[In demand]Received Service exit command, Notify TYX stopping...");
        const int32_t seconds = std::max(command.Number1, 0);
        m_ops->RequestServiceExit(seconds > 0 ? 3 : 0, static_cast<uint32_t>(seconds));
    }
    return 0;
}

int32_t CRCCommandExecutor::Companion(bool start)
{
    const stMoxConfig &mox = CTYXGVMS::MoxConfig();
    if (mox.MOXInLocal) {
        if (start) {
            TYX_LOG(5, L"[In demand]Received MOX start command, try starting MOX...");
            return m_ops->StartModuleProcess();
        }
        TYX_LOG(5, L"[In demand]Received MOX exit command, Notify MOX stopping...");
        return m_ops->SignalMoxExit();
    }
    if (mox.UseFpgAudio) {
        if (start)
            m_ops->StartFfmpegAudio();
        else
            m_ops->StopFfmpegAudio();
        return 0;
    }
    TYX_LOG(3, start ? L"[In demand]Received MOX start command, But MOX not in local!"
                     : L"[In demand]Received MOX exit command, But MOX not in local!");
    return TYX_RC_NO_COMPANION;
}

int32_t CRCCommandExecutor::AddOsgGeometry(const stRCCommand &command)
{
    const std::wstring alias = Wide(command.Texts[0]);
    const std::wstring definition = Wide(command.Texts[1]);
    TYX_LOG(5, L"Parsing OSG def string(%s) with Expected Gmt-Num=%d...", definition.c_str(), command.Number1 & 0xFFFF);
    int32_t result = m_ops->AddOsgGeometry(alias, static_cast<int32_t>(command.Number2), command.Texts[1]);
    // 0 means that no worker has the alias: nothing was added.
    if (result == 0)
        result = TYX_RC_NO_SUCH_ALIAS;
    if (result < 1)
        TYX_LOG(3, L"New OSG Adding(To Video:%s) failed with Error=%d returned!", alias.c_str(), result);
    else
        TYX_LOG(5, L"New OSG Added to Video(%s) with OSG gourp ID=%d returned.", alias.c_str(), result);
    return result;
}

void CRCCommandExecutor::FillStatusInfo(stTYXStatusInfo &status)
{
    status = stTYXStatusInfo{};
    const stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    bool live = false, record = false;
    for (const auto &[id, writer] : CTYXGVMS::CopyMWriterMap()) {
        if (!writer->Worker)
            continue;
        const bool writing = IsWritingStep(writer->Worker->GetWorkingStep());
        if (!live && !settings.LiveBCWriter.empty() && EqualsNoCase(writer->Name, settings.LiveBCWriter)) {
            live = true;
            status.BCLiving = writing ? 1 : 0;
        }
        if (!record && !settings.RecordWriter.empty() && EqualsNoCase(writer->Name, settings.RecordWriter)) {
            record = true;
            status.Recording = writing ? 1 : 0;
            if (const auto *mwriter = dynamic_cast<const CTYXMediaWriteWorker *>(writer->Worker.get())) {
                CopyBounded(mwriter->GetCaseNumber(), status.CaseNo, std::size(status.CaseNo));
                CopyBounded(mwriter->GetCaseName(), status.CaseName, std::size(status.CaseName));
            }
        }
        if (live && record)
            break;
    }
    const auto vmps = CTYXGVMS::CopyVMPMap();
    if (!vmps.empty() && vmps.begin()->second->MPType == TYX_MP_MUX && vmps.begin()->second->Worker) {
        int32_t layout = 22;
        uint32_t focus = 0;
        if (m_ops->GetMuxState(vmps.begin()->second->Worker, layout, focus) == 0) {
            status.MuxLayout = layout;
            std::wstring alias;
            // The focus input is the decoder's output stream: its registry key names the decoder.
            if (focus != 0 && CTYXGVMS::FindDecoderById(CTYXGVMS::RegistryKeyOfId(focus), alias)) {
                std::string narrow = WStringToString(alias.substr(0, 31));
                narrow.resize(std::min(narrow.size(), sizeof(status.FocusVideo) - 1));
                std::memcpy(status.FocusVideo, narrow.data(), narrow.size());
            }
        }
    }
    status.BootTime = m_ops->HostBootTime();
}

std::string CRCCommandExecutor::BuildWorkersStatus()
{
    std::string text;
    const auto add = [&text](const char *kind, const auto &registry) {
        for (const auto &[id, record] : registry) {
            if (!record->Worker)
                continue;
            int64_t in = 0, out = 0;
            float fps = 0.0f;
            for (const auto &[stream, figures] : record->Worker->GetInputStatistics(0))
                in += figures.packetsIn;
            for (const auto &[stream, figures] : record->Worker->GetOutputStatistics(0)) {
                out += figures.packetsOut;
                fps = std::max(fps, figures.fps);
            }
            char line[512];
            snprintf(line, sizeof(line), "%s=%s; Id=0x%08X; Thread=%u; Step=%u; PacketsIn=%lld; PacketsOut=%lld; Fps=%.2f;\r\n",
                     kind, WStringToString(record->Name).c_str(), id, record->Worker->GetThreadState(),
                     record->Worker->GetWorkingStep(), static_cast<long long>(in), static_cast<long long>(out), fps);
            text += line;
        }
    };
    add("MediaReader", CTYXGVMS::CopyMReaderMap());
    add("VideoDecoder", CTYXGVMS::CopyDecoderMap());
    add("MidProcessor", CTYXGVMS::CopyVMPMap());
    add("VideoEncoder", CTYXGVMS::CopyEncoderMap());
    add("MediaWriter", CTYXGVMS::CopyMWriterMap());
    return "WorkerNumber=" + std::to_string(std::count(text.begin(), text.end(), '\n')) + ";\r\n" + text;
}

void SetMoxCtrlPort(uint16_t controlPort, uint16_t companionPort, CRCInDemandOps &operations)
{
    const stMoxConfig &mox = CTYXGVMS::MoxConfig();
    bool restarted = false;
    if (companionPort != 0 && mox.MOXInLocal) {
        const std::filesystem::path file = std::filesystem::path(WStringToString(mox.MOXPath)) /
                                           WStringToString(mox.MOXConfigFile);
        std::error_code error;
        if (std::filesystem::exists(file, error)) {
            CConfigXmlDocument document;
            if (document.Load(file.wstring()) == 0) {
                stConfigValue value;
                const int32_t current = document.GetNodeValue(L"/config/MOXGeneral", L"CtrlPort", CFG_VALUE_INT32, value) == 0
                                            ? value.integer
                                            : 0;
                if (current != companionPort) {
                    // Restarted only when the new port is really in its file.
                    const bool written = document.WriteMoxCtrlPort(std::to_wstring(companionPort)) == 1 &&
                                         document.Save(file.wstring()) == 0;
                    if (written && operations.SignalMoxExit() == 0) {
                        SleepMs(200);
                        operations.StartModuleProcess();
                        restarted = true;
                    }
                }
            }
        }
    }
    if (controlPort != 0 && controlPort != CTYXGVMS::RcmTcpListenPort().load()) {
        CTYXGVMS::RcmTcpListenPort() = controlPort;
        const std::wstring settings = operations.SettingsFile();
        WriteCtrlPortSetting(settings.empty() ? nullptr : settings.c_str(), controlPort);
    } else if (!restarted) {
        return;
    }
    // The new port takes effect when the program starts again; the host keeps running.
    operations.RequestServiceExit(3, 60);
}
