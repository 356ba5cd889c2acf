#pragma once

// What a unit tells about itself in discovery answers and the "JustOnline" notification.

#include "rcm/DiscoveryMessage.h"

#include <cstdint>

// Protocol codes of the remote controls.
constexpr uint16_t RC_PROTOCOL_TCP = 0;
constexpr uint16_t RC_PROTOCOL_UDP = 1;
constexpr uint16_t RC_PROTOCOL_HTTP = 2;
constexpr uint16_t RC_PROTOCOL_HTTPS = 4;

struct stServerInfo
{
    char PSN[16] = {};
    char HostName[16] = {};
    char IPAddr[16] = {};
    uint16_t VRCPtc = 0;
    uint16_t VRCPort = 0;
    uint16_t ARCPtc = 0;
    uint16_t ARCPort = 0;
    char TyxVersion[16] = {};
    char MoxVersion[16] = {};
    char FtpRecordPath[32] = {};
    char ftpUN[16] = {};
    char ftpPwd[16] = {};
    char LiveBCUrl[128] = {};
    char PreviewURL[128] = {};
    uint32_t prdModel = 0;
    int64_t UpdateTime = 0; // seconds since 1970
    char macAddr[20] = {};
    char netMask[16] = {};
    char bcAddr[16] = {};
    char DHCPServer[16] = {};
};

// "TCP", "UDP", "HTTP", "HTTPS", or "None" for another code.
const char *RcProtocolName(uint16_t code);
// The code of a protocol name; -2 for another name.
int32_t RcProtocolCode(const std::string &name);

// Fills fields with the 20 keys of the information: 20.
int32_t BuildServerInfoFields(DiscoveryFields &fields, const stServerInfo &info);
// Fills info from the keys it knows, texts cut to their fields: the number of keys recognised.
int32_t ParseServerInfo(const DiscoveryFields &fields, stServerInfo &info);

// The fields of the "JustOnline" notification (the information and the event) and of "TobeOffline".
DiscoveryFields OnlineNotificationFields(const stServerInfo &info);
DiscoveryFields OfflineNotificationFields(const std::string &psn);

// Copies text into a fixed field, cut to its capacity and terminated.
template <size_t N>
void CopyServerInfoText(char (&field)[N], const std::string &text)
{
    const size_t count = text.size() < N - 1 ? text.size() : N - 1;
    text.copy(field, count);
    field[count] = '\0';
}
