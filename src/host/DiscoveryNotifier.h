#pragma once

#include <cstdint>
#include <map>
#include <string>

// Discovery message types.
constexpr int32_t TYX_DISCOVERY_ANSWER = 4;        // "I-am-KOV;" with the request's sequence text
constexpr int32_t TYX_DISCOVERY_NOTIFICATION = 8;  // no sequence text

// Sends key/value datagrams to the discovery peers on the network. The discoverer of the remote
// control implements it; the event thread and the host only send through it.
class CDiscoveryNotifier
{
public:
    virtual ~CDiscoveryNotifier() = default;

    // Sends one message; the flag is 1 for notifications and 0 for answers; sequence is none for
    // notifications. Any thread may call.
    virtual int32_t SendDiscoveryMessage(int32_t messageType, const std::map<std::string, std::string> &values,
                                         int32_t flag, const std::string *sequence) = 0;
};
