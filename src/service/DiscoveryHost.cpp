#include "service/DiscoveryHost.h"

#include "core/debuglog.h"
#include "host/EventThread.h"

CDiscoveryHost::CDiscoveryHost(std::string fallbackDestination, stDiscoveryOptions options)
    : m_fallbackDestination(std::move(fallbackDestination)), m_options(std::move(options))
{
}

CDiscoveryHost::~CDiscoveryHost()
{
    StopDiscoverer();
}

int32_t CDiscoveryHost::AnnounceOnline(const stDiscoverySources &sources, CTYXEventThread &events)
{
    if (m_discoverer)
        return 0;
    m_sources = sources;
    stDiscoveryOptions options = m_options;
    options.onRequest = [this](void *, const stDiscoveryMessage &message) { return Answer(message); };
    m_discoverer = std::make_shared<CQorServerDiscover>(m_fallbackDestination, std::move(options));
    m_answering = m_discoverer.get();

    stDiscoveryIdentity identity;
    FillDiscoveryIdentity(identity, m_sources);
    const DiscoveryFields fields = OnlineNotificationFields(ToServerInfo(identity));
    const int32_t sent = SendNotice(fields, L"online");
    events.SetUnitSerial(m_sources.serialText);
    events.SetNotifier(m_discoverer);
    return sent;
}

int32_t CDiscoveryHost::AnnounceOffline(CTYXEventThread &events)
{
    if (!m_discoverer)
        return 0;
    // Writer notifications stop before the offline notice, so none follows it.
    events.SetNotifier(nullptr);
    const DiscoveryFields fields = OfflineNotificationFields(m_sources.serialText);
    const int32_t sent = SendNotice(fields, L"offline");
    StopDiscoverer();
    return sent;
}

int32_t CDiscoveryHost::SendNotice(const DiscoveryFields &fields, const wchar_t *which)
{
    const int32_t sent = m_discoverer->SendDiscoveryMessage(DISCOVERY_NOTIFICATION, fields, 1, nullptr);
    if (sent > 0)
        TYX_LOG(6, L"[SDBC]KOV %s notificaton sent.", which);
    else
        TYX_LOG(3, L"[SDBC]KOV %s notification could not be sent (error=%d).", which, sent);
    return sent;
}

void CDiscoveryHost::StopDiscoverer()
{
    if (!m_discoverer)
        return;
    std::shared_ptr<CQorServerDiscover> discoverer = std::move(m_discoverer);
    m_answering = nullptr;
    discoverer->Stop();
}

uint16_t CDiscoveryHost::ReceivePort() const
{
    return m_discoverer ? m_discoverer->ReceivePort() : 0;
}

int32_t CDiscoveryHost::Answer(const stDiscoveryMessage &message)
{
    // The discoverer calls this on its own processing thread, which its Stop ends: while it runs,
    // the discoverer it names is alive.
    stDiscoveryAnswerContext context;
    context.discoverer = m_answering.load();
    context.sources = m_sources;
    return OnSDBCMsgRcvd(&context, message);
}
