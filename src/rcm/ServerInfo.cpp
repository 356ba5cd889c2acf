#include "rcm/ServerInfo.h"

#include <cstring>
#include <limits>
#include <type_traits>
#include <string>

namespace {

template <size_t N>
std::string Text(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

// Numbers from a peer: digits only, within the field's range, else the field keeps 0.
template <typename T>
T ReadNumber(const std::string &text)
{
    const bool negative = !text.empty() && text[0] == '-' && std::is_signed_v<T>;
    unsigned long long value = 0;
    size_t i = negative ? 1 : 0;
    if (i >= text.size())
        return 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || value > (std::numeric_limits<unsigned long long>::max() - 9) / 10)
            return 0;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (value > static_cast<unsigned long long>(std::numeric_limits<T>::max()))
        return 0;
    return negative ? static_cast<T>(-static_cast<long long>(value)) : static_cast<T>(value);
}

} // namespace

const char *RcProtocolName(uint16_t code)
{
    switch (code) {
    case RC_PROTOCOL_TCP: return "TCP";
    case RC_PROTOCOL_UDP: return "UDP";
    case RC_PROTOCOL_HTTP: return "HTTP";
    case RC_PROTOCOL_HTTPS: return "HTTPS";
    default: return "None";
    }
}

int32_t RcProtocolCode(const std::string &name)
{
    if (name == "TCP")
        return RC_PROTOCOL_TCP;
    if (name == "UDP")
        return RC_PROTOCOL_UDP;
    if (name == "HTTP")
        return RC_PROTOCOL_HTTP;
    if (name == "HTTPS")
        return RC_PROTOCOL_HTTPS;
    return -2;
}

int32_t BuildServerInfoFields(DiscoveryFields &fields, const stServerInfo &info)
{
    fields["PSN"] = Text(info.PSN);
    fields["HostName"] = Text(info.HostName);
    fields["IPAddr"] = Text(info.IPAddr);
    fields["VRCPtc"] = RcProtocolName(info.VRCPtc);
    fields["VRCPort"] = std::to_string(info.VRCPort);
    fields["ARCPtc"] = RcProtocolName(info.ARCPtc);
    fields["ARCPort"] = std::to_string(info.ARCPort);
    fields["TyxVersion"] = Text(info.TyxVersion);
    fields["MoxVersion"] = Text(info.MoxVersion);
    fields["FtpRecordPath"] = Text(info.FtpRecordPath);
    fields["ftpUN"] = Text(info.ftpUN);
    fields["ftpPwd"] = Text(info.ftpPwd);
    fields["LiveBCUrl"] = Text(info.LiveBCUrl);
    fields["PreviewURL"] = Text(info.PreviewURL);
    fields["prdModel"] = std::to_string(info.prdModel);
    fields["UpdateTime"] = std::to_string(info.UpdateTime);
    fields["macAddr"] = Text(info.macAddr);
    fields["netMask"] = Text(info.netMask);
    fields["bcAddr"] = Text(info.bcAddr);
    fields["DHCPServer"] = Text(info.DHCPServer);
    return 20;
}

int32_t ParseServerInfo(const DiscoveryFields &fields, stServerInfo &info)
{
    int32_t recognised = 0;
    for (const auto &[key, value] : fields) {
        ++recognised;
        if (key == "PSN") CopyServerInfoText(info.PSN, value);
        else if (key == "HostName") CopyServerInfoText(info.HostName, value);
        else if (key == "IPAddr") CopyServerInfoText(info.IPAddr, value);
        else if (key == "VRCPtc") info.VRCPtc = static_cast<uint16_t>(RcProtocolCode(value));
        else if (key == "VRCPort") info.VRCPort = ReadNumber<uint16_t>(value);
        else if (key == "ARCPtc") info.ARCPtc = static_cast<uint16_t>(RcProtocolCode(value));
        else if (key == "ARCPort") info.ARCPort = ReadNumber<uint16_t>(value);
        else if (key == "TyxVersion") CopyServerInfoText(info.TyxVersion, value);
        else if (key == "MoxVersion") CopyServerInfoText(info.MoxVersion, value);
        else if (key == "FtpRecordPath") CopyServerInfoText(info.FtpRecordPath, value);
        else if (key == "ftpUN") CopyServerInfoText(info.ftpUN, value);
        else if (key == "ftpPwd") CopyServerInfoText(info.ftpPwd, value);
        else if (key == "LiveBCUrl") CopyServerInfoText(info.LiveBCUrl, value);
        else if (key == "PreviewURL") CopyServerInfoText(info.PreviewURL, value);
        else if (key == "prdModel") info.prdModel = ReadNumber<uint32_t>(value);
        else if (key == "UpdateTime") info.UpdateTime = ReadNumber<int64_t>(value);
        else if (key == "macAddr") CopyServerInfoText(info.macAddr, value);
        else if (key == "netMask") CopyServerInfoText(info.netMask, value);
        else if (key == "bcAddr") CopyServerInfoText(info.bcAddr, value);
        else if (key == "DHCPServer") CopyServerInfoText(info.DHCPServer, value);
        else --recognised;
    }
    return recognised;
}

DiscoveryFields OnlineNotificationFields(const stServerInfo &info)
{
    DiscoveryFields fields;
    BuildServerInfoFields(fields, info);
    fields["Event"] = "JustOnline";
    return fields;
}

DiscoveryFields OfflineNotificationFields(const std::string &psn)
{
    return {{"Event", "TobeOffline"}, {"PSN", psn}, {"Reason", "maintain"}};
}
