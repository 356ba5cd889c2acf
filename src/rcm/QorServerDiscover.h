#pragma once

// Discovery on the local network: requests and notifications of other units received on UDP port 1938,
// checked and paced, and handled on a processing thread; answers and this unit's notifications sent to
// port 1937.
//
// Threads: the receive thread queues accepted messages; the processing thread handles them and calls
// the request callback; any thread may send. Sends are serialised, with their pacing waits inside.

#include "host/DiscoveryNotifier.h"
#include "platform/NetworkAdapters.h"
#include "platform/Thread.h"
#include "rcm/DiscoveryMessage.h"
#include "rcm/DiscoveryPacing.h"
#include "rcm/ServerInfo.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CUdpServer;

// How the destination of notifications is chosen.
constexpr int32_t DISCOVERY_MODE_BROADCAST = 1;  // 255.255.255.255
constexpr int32_t DISCOVERY_MODE_DIRECTED = 2;   // the broadcast address of the adapter's network
constexpr int32_t DISCOVERY_MODE_MULTICAST = 8;  // the group 225.100.120.211

// Called on the processing thread with the user value and the message.
using DiscoveryRequestCallback = std::function<int32_t(void *user, const stDiscoveryMessage &message)>;

struct stDiscoveryOptions
{
    uint16_t receivePort = DISCOVERY_REQUEST_PORT; // 0: any free port (tests)
    uint16_t sendPort = DISCOVERY_ANSWER_PORT;
    std::string bindAddress;                       // every local address when empty
    int32_t protocolMode = DISCOVERY_MODE_DIRECTED;
    uint64_t whoAreSendIntervalMs = 2000;
    // The adapter facts (GetNetworkAdapters when none), the clock in milliseconds and the pause of the
    // send pacing (the system's when none).
    std::function<int32_t(stAdapterAddressSettings &)> readAdapter;
    std::function<uint64_t()> tick;
    std::function<void(uint32_t)> sleep;
    DiscoveryRequestCallback onRequest;
    void *user = nullptr;
    // Called on the receive thread after each datagram was taken or dropped (tests pace themselves by it).
    std::function<void()> onDatagramSeen;
};

class CQorServerDiscover : public CDiscoveryNotifier
{
public:
    explicit CQorServerDiscover(const std::string &fallbackDestination, stDiscoveryOptions options = {});
    ~CQorServerDiscover() override;
    CQorServerDiscover(const CQorServerDiscover &) = delete;
    CQorServerDiscover &operator=(const CQorServerDiscover &) = delete;

    // Ends both threads and drops what was queued; sends fail afterwards.
    void Stop();

    // Sends a message of type 1, 2, 4 or 8 with the fields, to the default destination (flag non-zero)
    // or to the address text: the number of bytes sent; 0 for another type; -1 without a destination
    // or a socket; -2 for a text longer than the send buffer; a negative errno when the system refuses.
    int32_t SendDiscoveryMessage(int32_t messageType, const std::map<std::string, std::string> &values,
                                 int32_t flag, const std::string *destination) override;

    // Fills the fields with the 20 keys of the information: 20.
    static int32_t BuildServerInfo(DiscoveryFields &fields, const stServerInfo &info);

    const std::string &DefaultDestination() const { return m_defaultDestination; }
    uint32_t SequenceCounter() const;
    uint16_t ReceivePort() const;
    // The units that told about themselves (test hook; the system itself reads none).
    std::vector<stServerInfo> KnownUnits() const;

private:
    void SetUpFromAdapter(const std::string &fallbackDestination);
    void OnDatagram(const uint8_t *data, size_t length, const std::string &sender);
    void TakeDatagram(const uint8_t *data, size_t length, const std::string &sender);
    uint32_t ProcessThread();
    void HandleMessage(const stDiscoveryMessage &message);
    bool HandleNotification(const stDiscoveryMessage &message);
    bool StoreUnit(const DiscoveryFields &fields);
    void RemoveUnit(const std::string &psn);
    void WaitSendPacing(int32_t type);
    std::string FitDatagram(int32_t type, uint32_t sequence, DiscoveryFields fields) const;

    stDiscoveryOptions m_options;
    std::string m_defaultDestination;

    std::mutex m_queueMutex;
    std::condition_variable m_queueSignal;
    std::deque<stDiscoveryMessage> m_queue;
    bool m_stopping = false;
    CThread m_processThread;

    CDiscoveryPacing m_pacing; // receive thread only

    mutable std::mutex m_unitsMutex;
    std::vector<stServerInfo> m_units;

    mutable std::mutex m_sendMutex;
    uint32_t m_sequence = 0;
    bool m_sentAny = false;
    uint64_t m_lastSend = 0;
    bool m_sentType[3] = {false, false, false};
    uint64_t m_lastTypeSend[3] = {0, 0, 0};

    std::unique_ptr<CUdpServer> m_server;
};
