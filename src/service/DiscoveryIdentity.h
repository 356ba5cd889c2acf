#pragma once

// This unit's identity in discovery answers and notifications, and the answer to discovery requests.

#include "platform/NetworkAdapters.h"
#include "rcm/DiscoveryMessage.h"
#include "rcm/ServerInfo.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

class CDiscoveryNotifier;

struct stDiscoveryIdentity
{
    uint32_t modelNumber = 0;
    uint16_t videoControlProtocol = 0; // TCP
    uint16_t audioControlProtocol = 1; // UDP
    uint16_t tcpControlPort = 0;
    uint16_t moxControlPort = 0;
    int64_t updateTime = 0; // seconds since 1970
    char serial[16] = {};
    char hostName[16] = {};
    char macAddress[20] = {};
    char ipAddress[16] = {};
    char subnetMask[16] = {};
    char dhcpServer[16] = {};
    char liveBroadcastUrl[128] = {};
    char previewUrl[128] = {};
    char ftpRecordPath[32] = {};
    char ftpUser[16] = {};
    char ftpPassword[16] = {};
    char programVersion[16] = {};
    char moxVersion[16] = {};
};

// What the identity is made from beyond the program-wide settings: the unit's model and serial texts
// and its TCP control port, and the readers of the host (the system's own when none).
struct stDiscoverySources
{
    std::string modelText;
    std::string serialText;
    uint16_t tcpListenPort = 0;
    std::function<int32_t(stAdapterAddressSettings &)> readAdapter;
    std::function<std::string()> hostName;
    std::function<time_t()> clock;
};

// Clears and fills the identity from the sources, the settings, the companion's files and the writer
// configurations.
void FillDiscoveryIdentity(stDiscoveryIdentity &identity, const stDiscoverySources &sources = {});
// The identity in the form the datagrams carry (the broadcast address computed from address and mask).
stServerInfo ToServerInfo(const stDiscoveryIdentity &identity);
// The local host part of a writer URL replaced by address, the result cut to 127 characters: with
// loopbackAnywhere the first "127.0.0.1", else the first "localhost" if a "/" stands right before it;
// without, the first "127.0.0.1" if a "/" stands right before it, else the first "localhost".
std::string ReplaceLocalHost(const std::string &url, const std::string &address, bool loopbackAnywhere);

// The request callback's context: where answers go and what the identity is made from.
struct stDiscoveryAnswerContext
{
    CDiscoveryNotifier *discoverer = nullptr;
    stDiscoverySources sources;
};

// Answers a discovery request: 0 when an answer was sent; 1 for a message type other than 1 and 2;
// 2 when a type 2 message does not name this unit; 4 without a discoverer.
int32_t OnSDBCMsgRcvd(void *context, const stDiscoveryMessage &message);
