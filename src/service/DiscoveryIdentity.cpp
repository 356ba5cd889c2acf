#include "service/DiscoveryIdentity.h"

#include "config/ConfigXmlDocument.h"
#include "core/TYXUtils.h"
#include "host/DiscoveryNotifier.h"
#include "host/GlobalVars.h"
#include "service/ServiceLog.h"
#include "service/dGlobalFuncs.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <strings.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr size_t URL_LIMIT = 127;

template <size_t N>
void CopyText(char (&field)[N], const std::string &text)
{
    const size_t count = std::min(text.size(), N - 1);
    text.copy(field, count);
    field[count] = '\0';
}

template <size_t N>
std::string WideField(const wchar_t (&field)[N])
{
    return WStringToString(std::wstring(field, wcsnlen(field, N)));
}

std::string SystemHostName()
{
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    return name;
}

std::string VersionText(const stProgramVersion &version)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d.", version.major, version.minor, version.build,
                  version.revision);
    return text;
}

void FillAdapter(stDiscoveryIdentity &identity, const stDiscoverySources &sources)
{
    stAdapterAddressSettings adapter;
    const int32_t read = sources.readAdapter ? sources.readAdapter(adapter) : GetNetworkAdapters(adapter);
    if (read != 0)
        return;
    CopyText(identity.ipAddress, WideField(adapter.IPAddress));
    CopyText(identity.subnetMask, WideField(adapter.SubnetMask));
    CopyText(identity.macAddress, WideField(adapter.MACAddress));
    CopyText(identity.dhcpServer, WideField(adapter.DHCPServer));
}

void FillCompanion(stDiscoveryIdentity &identity)
{
    const stMoxConfig config = CTYXGVMS::MoxConfig();
    if (!config.MOXInLocal || config.MOXPath.empty())
        return;
    const fs::path folder(WStringToString(config.MOXPath));
    std::error_code error;
    if (!config.MOXConfigFile.empty()) {
        const fs::path file = folder / WStringToString(config.MOXConfigFile);
        CConfigXmlDocument document;
        stConfigValue value;
        if (fs::is_regular_file(file, error) && document.Load(file.wstring()) == 0 &&
            document.GetNodeValue(L"/config/MOXGeneral", L"CtrlPort", CFG_DEFAULT_TYPE_CODE, value) == 0) {
            const long port = value.type == CFG_VALUE_INT32 ? value.integer : std::wcstol(value.text.c_str(), nullptr, 10);
            if (port > 0 && port <= 65535)
                identity.moxControlPort = static_cast<uint16_t>(port);
        }
    }
    if (!config.MOXMainPE.empty()) {
        const fs::path program = folder / WStringToString(config.MOXMainPE);
        stProgramVersion version;
        if (fs::exists(program, error) && GetFileProductVersion(program.wstring(), version) == 0)
            CopyText(identity.moxVersion, VersionText(version));
    }
}

void FillWriterUrls(stDiscoveryIdentity &identity, const stTYXGeneralSettings &settings)
{
    std::string live, preview;
    {
        CReadWriteLock &lock = CTYXGVMS::ConfigRegistryLock();
        lock.LockRead();
        for (const auto &[key, writer] : CTYXGVMS::MWriterConfigs()) {
            if (live.empty() && !settings.LiveBCWriter.empty() && writer.Name == settings.LiveBCWriter)
                live = WStringToString(writer.outputURL);
            if (preview.empty() && !settings.PreviewWriter.empty() && writer.Name == settings.PreviewWriter)
                preview = WStringToString(writer.outputURL);
        }
        lock.UnlockRead();
    }
    CopyText(identity.liveBroadcastUrl, ReplaceLocalHost(live, identity.ipAddress, true));
    CopyText(identity.previewUrl, ReplaceLocalHost(preview, identity.ipAddress, false));
}

// The position of the first needle; with afterSlash only when a "/" stands right before it.
size_t FindHost(const std::string &url, const std::string &needle, bool afterSlash)
{
    const size_t at = url.find(needle);
    if (at == std::string::npos || !afterSlash || (at > 0 && url[at - 1] == '/'))
        return at;
    return std::string::npos;
}

} // namespace

std::string ReplaceLocalHost(const std::string &url, const std::string &address, bool loopbackAnywhere)
{
    std::string result = url;
    // Both host texts have nine characters.
    size_t at = FindHost(result, "127.0.0.1", !loopbackAnywhere);
    if (at == std::string::npos)
        at = FindHost(result, "localhost", loopbackAnywhere);
    if (at != std::string::npos)
        result.replace(at, 9, address);
    if (result.size() > URL_LIMIT)
        result.resize(URL_LIMIT);
    return result;
}

void FillDiscoveryIdentity(stDiscoveryIdentity &identity, const stDiscoverySources &sources)
{
    identity = stDiscoveryIdentity{};
    CopyText(identity.hostName, (sources.hostName ? sources.hostName() : SystemHostName()).substr(0, 15));
    FillAdapter(identity, sources);
    identity.modelNumber = static_cast<uint32_t>(std::strtoul(sources.modelText.c_str(), nullptr, 10));
    identity.videoControlProtocol = RC_PROTOCOL_TCP;
    identity.audioControlProtocol = RC_PROTOCOL_UDP;
    identity.tcpControlPort = sources.tcpListenPort;
    FillCompanion(identity);
    identity.updateTime = static_cast<int64_t>(sources.clock ? sources.clock() : std::time(nullptr));
    CopyText(identity.serial, sources.serialText);
    CopyText(identity.programVersion, VersionText(TyxProgramVersion()));
    const stTYXGeneralSettings settings = CTYXGVMS::GeneralSettings();
    FillWriterUrls(identity, settings);
    CopyText(identity.ftpRecordPath, WStringToString(settings.FtpRecordPath));
    CopyText(identity.ftpUser, WStringToString(settings.FtpUser));
    CopyText(identity.ftpPassword, WStringToString(settings.FtpPwd));
}

stServerInfo ToServerInfo(const stDiscoveryIdentity &identity)
{
    stServerInfo info;
    CopyServerInfoText(info.PSN, identity.serial);
    CopyServerInfoText(info.HostName, identity.hostName);
    CopyServerInfoText(info.IPAddr, identity.ipAddress);
    info.VRCPtc = identity.videoControlProtocol;
    info.VRCPort = identity.tcpControlPort;
    info.ARCPtc = identity.audioControlProtocol;
    info.ARCPort = identity.moxControlPort;
    CopyServerInfoText(info.TyxVersion, identity.programVersion);
    CopyServerInfoText(info.MoxVersion, identity.moxVersion);
    CopyServerInfoText(info.FtpRecordPath, identity.ftpRecordPath);
    CopyServerInfoText(info.ftpUN, identity.ftpUser);
    CopyServerInfoText(info.ftpPwd, identity.ftpPassword);
    CopyServerInfoText(info.LiveBCUrl, identity.liveBroadcastUrl);
    CopyServerInfoText(info.PreviewURL, identity.previewUrl);
    info.prdModel = identity.modelNumber;
    info.UpdateTime = identity.updateTime;
    CopyServerInfoText(info.macAddr, identity.macAddress);
    CopyServerInfoText(info.netMask, identity.subnetMask);
    CopyServerInfoText(info.DHCPServer, identity.dhcpServer);
    in_addr address{}, mask{};
    if (inet_pton(AF_INET, identity.ipAddress, &address) == 1 && inet_pton(AF_INET, identity.subnetMask, &mask) == 1) {
        in_addr broadcast{};
        broadcast.s_addr = address.s_addr | ~mask.s_addr;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &broadcast, text, sizeof(text));
        CopyServerInfoText(info.bcAddr, text);
    }
    return info;
}

int32_t OnSDBCMsgRcvd(void *context, const stDiscoveryMessage &message)
{
    if (message.type != DISCOVERY_WHO_ARE && message.type != DISCOVERY_WHOSE_IS)
        return 1;
    auto *answer = static_cast<stDiscoveryAnswerContext *>(context);
    stDiscoveryIdentity identity;
    if (message.type == DISCOVERY_WHOSE_IS) {
        if (message.fields.empty())
            return 2;
        FillDiscoveryIdentity(identity, answer ? answer->sources : stDiscoverySources{});
        const auto psn = message.fields.find("PSN");
        const auto ip = message.fields.find("IPAddr");
        const bool named = psn != message.fields.end()  ? strcasecmp(psn->second.c_str(), identity.serial) == 0
                           : ip != message.fields.end() ? strcasecmp(ip->second.c_str(), identity.ipAddress) == 0
                                                        : false;
        if (!named)
            return 2;
    }
    if (answer == nullptr || answer->discoverer == nullptr)
        return 4;
    FillDiscoveryIdentity(identity, answer->sources);
    DiscoveryFields fields;
    BuildServerInfoFields(fields, ToServerInfo(identity));
    answer->discoverer->SendDiscoveryMessage(DISCOVERY_I_AM, fields, 0, &message.sender);
    TYX_GLOBAL_LOG(6, L"[SDBC]KOV finding response sent.");
    return 0;
}
