#include "rcm/QorServerDiscover.h"

#include "core/debuglog.h"
#include "platform/TickCount.h"
#include "rcm/UdpServer.h"

#include <arpa/inet.h>
#include <cstring>
#include <strings.h>

namespace {

constexpr size_t QUEUE_LIMIT = 256;
constexpr size_t KNOWN_UNITS_LIMIT = 1024;
constexpr uint64_t ANY_SEND_INTERVAL_MS = 50;
constexpr uint32_t PROCESS_STOP_BUDGET_MS = 1000;
constexpr const char *MULTICAST_GROUP = "225.100.120.211";
constexpr const char *LIMITED_BROADCAST = "255.255.255.255";
// Left out, in this order, of a datagram that would not fit the peers' 512 bytes.
constexpr const char *OPTIONAL_FIELDS[] = {"PreviewURL", "LiveBCUrl", "FtpRecordPath"};

template <size_t N>
std::string Narrow(const wchar_t (&field)[N])
{
    std::string text;
    for (size_t i = 0; i < N && field[i] != L'\0'; ++i)
        text += field[i] > 0 && field[i] < 0x80 ? static_cast<char>(field[i]) : '?';
    return text;
}

// The 32-bit value of an address as it lies in memory, read little-endian.
uint32_t MemoryValue(const in_addr &address)
{
    uint8_t bytes[4];
    std::memcpy(bytes, &address.s_addr, 4);
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool SlotOfType(int32_t type, int &slot)
{
    switch (type) {
    case DISCOVERY_WHO_ARE: slot = 0; return true;
    case DISCOVERY_WHOSE_IS: slot = 1; return true;
    case DISCOVERY_NOTIFICATION: slot = 2; return true;
    default: return false;
    }
}

bool IsWriterEvent(const std::string &event)
{
    static const char *const events[] = {"RecordStarted",  "RecordStopped",  "BCLiveStarted",
                                         "BCLiveStopped",  "PreviewStarted", "PreviewStopped"};
    for (const char *name : events) {
        if (event == name)
            return true;
    }
    return false;
}

} // namespace

CQorServerDiscover::CQorServerDiscover(const std::string &fallbackDestination, stDiscoveryOptions options)
    : m_options(std::move(options)), m_defaultDestination(fallbackDestination)
{
    if (!m_options.tick)
        m_options.tick = GetTickCount64Ms;
    if (!m_options.sleep)
        m_options.sleep = SleepMs;
    if (!m_options.readAdapter)
        m_options.readAdapter = [](stAdapterAddressSettings &settings) { return GetNetworkAdapters(settings); };
    if (m_processThread.CreateSuspended([this] { return ProcessThread(); }) == 0)
        m_processThread.Resume();
    SetUpFromAdapter(fallbackDestination);

    m_server = std::make_unique<CUdpServer>(
        [this](const uint8_t *data, size_t length, const std::string &sender, uint16_t) {
            OnDatagram(data, length, sender);
        },
        [](int32_t, int32_t error) { TYX_LOG(3, L"Discovery socket failed with error %d, receiving ended.", error); });
    if (!m_server->IsOpen())
        TYX_LOG(2, L"Discovery socket cannot be opened: nothing is received or sent.");
    else if (!m_server->Start(m_options.receivePort, m_options.bindAddress))
        TYX_LOG(2, L"Discovery cannot listen on UDP port %d: requests are not received.", m_options.receivePort);
    else
        TYX_LOG(6, L"Discovery listens on UDP port %d, notifications go to %hs:%d.", m_server->BoundPort(),
                m_defaultDestination.c_str(), m_options.sendPort);
}

CQorServerDiscover::~CQorServerDiscover()
{
    Stop();
}

void CQorServerDiscover::SetUpFromAdapter(const std::string &fallbackDestination)
{
    stAdapterAddressSettings adapter;
    in_addr address{}, mask{};
    const bool known = m_options.readAdapter(adapter) == 0 &&
                       inet_pton(AF_INET, Narrow(adapter.IPAddress).c_str(), &address) == 1 &&
                       inet_pton(AF_INET, Narrow(adapter.SubnetMask).c_str(), &mask) == 1;
    // The host's number in its network, moved up two bytes: units of one network start far apart.
    m_sequence = known ? (MemoryValue(address) & ~MemoryValue(mask)) >> 8 : 0;
    if (m_options.protocolMode == DISCOVERY_MODE_BROADCAST) {
        m_defaultDestination = LIMITED_BROADCAST;
    } else if (m_options.protocolMode == DISCOVERY_MODE_MULTICAST) {
        m_defaultDestination = MULTICAST_GROUP;
    } else if (known) {
        in_addr broadcast{};
        broadcast.s_addr = address.s_addr | ~mask.s_addr;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &broadcast, text, sizeof(text));
        m_defaultDestination = text;
    } else {
        m_defaultDestination = fallbackDestination;
    }
}

void CQorServerDiscover::Stop()
{
    if (m_server)
        m_server->Stop();
    {
        std::lock_guard lock(m_queueMutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_queueSignal.notify_all();
    if (m_processThread.IsCreated() && !m_processThread.WaitForEnd(PROCESS_STOP_BUDGET_MS)) {
        // It is inside the request callback, which uses this object: wait for it.
        TYX_LOG(3, L"Discovery processing thread is slow to end, waiting for it.");
        m_processThread.Join();
    }
    {
        std::lock_guard lock(m_sendMutex);
        m_server.reset();
    }
    std::lock_guard lock(m_unitsMutex);
    m_units.clear();
}

void CQorServerDiscover::OnDatagram(const uint8_t *data, size_t length, const std::string &sender)
{
    TakeDatagram(data, length, sender);
    if (m_options.onDatagramSeen)
        m_options.onDatagramSeen();
}

void CQorServerDiscover::TakeDatagram(const uint8_t *data, size_t length, const std::string &sender)
{
    if (!IsDiscoveryDatagram(data, length))
        return;
    const uint64_t now = m_options.tick();
    if (!m_pacing.AcceptDatagram(sender, now))
        return;
    stDiscoveryMessage message;
    if (ParseDiscoveryDatagram(data, length, message) == 0 || !m_pacing.AcceptType(sender, message.type, now))
        return;
    message.sender = sender;
    {
        std::lock_guard lock(m_queueMutex);
        if (m_stopping || m_queue.size() >= QUEUE_LIMIT)
            return;
        m_queue.push_back(std::move(message));
    }
    m_queueSignal.notify_one();
}

uint32_t CQorServerDiscover::ProcessThread()
{
    for (;;) {
        stDiscoveryMessage message;
        {
            std::unique_lock lock(m_queueMutex);
            m_queueSignal.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                break;
            message = std::move(m_queue.front());
            m_queue.pop_front();
        }
        HandleMessage(message);
    }
    TYX_LOG(6, L"Message processing Thread[%d] Recieved exit signal, exiting...", GetCurrentThreadIdInt());
    return 0;
}

void CQorServerDiscover::HandleMessage(const stDiscoveryMessage &message)
{
    bool callBack = false;
    if (message.type == DISCOVERY_WHO_ARE || message.type == DISCOVERY_WHOSE_IS)
        callBack = true;
    else if (message.type == DISCOVERY_I_AM)
        StoreUnit(message.fields);
    else if (message.type == DISCOVERY_NOTIFICATION)
        callBack = HandleNotification(message);
    if (callBack && m_options.onRequest)
        m_options.onRequest(m_options.user, message);
}

bool CQorServerDiscover::HandleNotification(const stDiscoveryMessage &message)
{
    const auto event = message.fields.find("Event");
    const auto psn = message.fields.find("PSN");
    if (event == message.fields.end() || psn == message.fields.end())
        return false;
    if (event->second == "TobeOffline") {
        RemoveUnit(psn->second);
        return true;
    }
    if (event->second == "JustOnline")
        return StoreUnit(message.fields);
    return IsWriterEvent(event->second);
}

bool CQorServerDiscover::StoreUnit(const DiscoveryFields &fields)
{
    const auto psn = fields.find("PSN");
    if (psn == fields.end() || psn->second.empty() || psn->second.size() > 15)
        return false;
    stServerInfo info;
    if (ParseServerInfo(fields, info) < 1)
        return false;
    info.UpdateTime = static_cast<int64_t>(GetSystemTimeUs() / 1000000);
    std::lock_guard lock(m_unitsMutex);
    for (stServerInfo &unit : m_units) {
        if (strcasecmp(unit.PSN, info.PSN) == 0) {
            unit = info;
            return true;
        }
    }
    // The list is bounded against peers that invent serial numbers: the stalest entry goes.
    if (m_units.size() >= KNOWN_UNITS_LIMIT)
        m_units.erase(m_units.begin());
    m_units.push_back(info);
    return true;
}

void CQorServerDiscover::RemoveUnit(const std::string &psn)
{
    std::lock_guard lock(m_unitsMutex);
    std::erase_if(m_units, [&](const stServerInfo &unit) { return strcasecmp(unit.PSN, psn.c_str()) == 0; });
}

void CQorServerDiscover::WaitSendPacing(int32_t type)
{
    uint64_t wait = 0;
    const uint64_t now = m_options.tick();
    if (m_sentAny && now - m_lastSend < ANY_SEND_INTERVAL_MS)
        wait = ANY_SEND_INTERVAL_MS - (now - m_lastSend);
    int slot = 0;
    if (SlotOfType(type, slot) && m_sentType[slot]) {
        const uint64_t interval = type == DISCOVERY_WHO_ARE ? m_options.whoAreSendIntervalMs
                                  : type == DISCOVERY_WHOSE_IS ? 200
                                                               : 400;
        const uint64_t since = now - m_lastTypeSend[slot];
        if (since < interval)
            wait = std::max(wait, interval - since);
    }
    if (wait > 0)
        m_options.sleep(static_cast<uint32_t>(wait));
}

std::string CQorServerDiscover::FitDatagram(int32_t type, uint32_t sequence, DiscoveryFields fields) const
{
    std::string text = ComposeDiscoveryText(type, sequence, fields);
    for (const char *key : OPTIONAL_FIELDS) {
        if (text.size() <= DISCOVERY_MAX_DATAGRAM)
            break;
        if (fields.erase(key) == 0)
            continue;
        TYX_LOG(4, L"Discovery message left out %hs to fit %d bytes.", key, static_cast<int>(DISCOVERY_MAX_DATAGRAM));
        text = ComposeDiscoveryText(type, sequence, fields);
    }
    return text;
}

int32_t CQorServerDiscover::SendDiscoveryMessage(int32_t messageType, const std::map<std::string, std::string> &values,
                                                 int32_t flag, const std::string *destination)
{
    if (flag == 0 && (destination == nullptr || destination->empty()))
        return -1;
    std::lock_guard lock(m_sendMutex);
    if (!m_server || !m_server->IsOpen())
        return -1;
    if (DiscoveryTypeWord(messageType) == nullptr)
        return 0;
    WaitSendPacing(messageType);
    int slot = 0;
    const bool counted = SlotOfType(messageType, slot);
    if (counted)
        ++m_sequence;
    const std::string text = FitDatagram(messageType, m_sequence, values);
    const std::string &target = flag != 0 ? m_defaultDestination : *destination;
    const int32_t result = m_server->SendTo(target, m_options.sendPort, text);
    const uint64_t now = m_options.tick();
    m_sentAny = true;
    m_lastSend = now;
    if (counted) {
        m_sentType[slot] = true;
        m_lastTypeSend[slot] = now;
    }
    return result;
}

int32_t CQorServerDiscover::BuildServerInfo(DiscoveryFields &fields, const stServerInfo &info)
{
    return BuildServerInfoFields(fields, info);
}

uint32_t CQorServerDiscover::SequenceCounter() const
{
    std::lock_guard lock(m_sendMutex);
    return m_sequence;
}

uint16_t CQorServerDiscover::ReceivePort() const
{
    std::lock_guard lock(m_sendMutex);
    return m_server ? m_server->BoundPort() : 0;
}

std::vector<stServerInfo> CQorServerDiscover::KnownUnits() const
{
    std::lock_guard lock(m_unitsMutex);
    return m_units;
}
