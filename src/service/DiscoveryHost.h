#pragma once

#include "rcm/QorServerDiscover.h"
#include "service/DiscoveryIdentity.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class CTYXEventThread;

// The run's discovery on the network: the discoverer is made once the workers run and announces the
// unit "JustOnline", answers the requests of other units and carries the event thread's writer
// notifications; at the shutdown it announces "TobeOffline" and is stopped and dropped. Its methods
// run on the main thread; the answers run on the discoverer's processing thread.
class CDiscoveryHost
{
public:
    // The fallback destination and the options are the discoverer's (the system's own when left out).
    explicit CDiscoveryHost(std::string fallbackDestination = std::string(), stDiscoveryOptions options = {});
    ~CDiscoveryHost();
    CDiscoveryHost(const CDiscoveryHost &) = delete;
    CDiscoveryHost &operator=(const CDiscoveryHost &) = delete;

    // Makes the discoverer from what the identity is made of, sends "JustOnline" and hands the
    // discoverer to the event thread: the number of bytes sent, or the send's negative result (the
    // discoverer stays and answers anyway). 0 when it was announced already.
    int32_t AnnounceOnline(const stDiscoverySources &sources, CTYXEventThread &events);
    // Takes the discoverer from the event thread, sends "TobeOffline", stops and drops it: the send's
    // result; 0 without a discoverer.
    int32_t AnnounceOffline(CTYXEventThread &events);
    bool IsOnline() const { return m_discoverer != nullptr; }
    // The port requests are received on; 0 while offline.
    uint16_t ReceivePort() const;

private:
    int32_t Answer(const stDiscoveryMessage &message);
    // Sends the notice, logging whether it went out: the send's result.
    int32_t SendNotice(const DiscoveryFields &fields, const wchar_t *which);
    // Ends the answers before the discoverer stops, then drops it.
    void StopDiscoverer();

    std::string m_fallbackDestination;
    stDiscoveryOptions m_options;
    // Written before the discoverer exists and only read while it does.
    stDiscoverySources m_sources;
    // The discoverer the answers go out through: set once it is made, cleared before it stops.
    std::atomic<CQorServerDiscover *> m_answering{nullptr};
    std::shared_ptr<CQorServerDiscover> m_discoverer;
};
