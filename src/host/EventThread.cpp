#include "host/EventThread.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/DiscoveryNotifier.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

// What the thread and its owner share. The thread holds its own reference, so an abandoned thread
// never touches freed state.
struct stEventThreadShared
{
    CEvent stop{true};
    std::mutex mutex;
    std::shared_ptr<CDiscoveryNotifier> notifier;
    std::string serial;
};

CTYXEventThread::CTYXEventThread()
    : m_shared(std::make_shared<stEventThreadShared>())
{
}

CTYXEventThread::~CTYXEventThread()
{
    if (m_thread && m_thread->IsCreated())
        StopEventProcThread();
}

int CTYXEventThread::ThreadId() const
{
    return m_thread ? m_thread->ThreadId() : 0;
}

void CTYXEventThread::SetNotifier(std::shared_ptr<CDiscoveryNotifier> notifier)
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->notifier = std::move(notifier);
}

void CTYXEventThread::SetUnitSerial(const std::string &serial)
{
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->serial = serial;
}

int32_t CTYXEventThread::Start()
{
    if (m_thread && m_thread->IsCreated())
        return 0;
    if (m_abandoned) {
        if (!m_abandoned->WaitForEnd(0)) {
            TYX_LOG(3, L"[TyxEventProcThread]Thread[%d] from the last stop still runs; not started again.",
                    m_abandoned->ThreadId());
            return -EBUSY;
        }
        m_abandoned.reset();
    }
    m_shared->stop.Reset();
    m_thread = std::make_unique<CThread>();
    std::shared_ptr<stEventThreadShared> shared = m_shared;
    const int result = m_thread->CreateSuspended([shared] { return TyxEventProcThreadFct(shared); });
    if (result < 0) {
        m_thread.reset();
        return result;
    }
    m_thread->Resume();
    return 0;
}

int32_t CTYXEventThread::StopEventProcThread()
{
    m_shared->stop.Set();
    SleepMs(10);
    uint32_t code = TYX_STILL_ACTIVE;
    if (m_thread && m_thread->IsCreated()) {
        const bool ended = m_thread->WaitForEnd(100);
        code = m_thread->ExitCode();
        // An ended thread is joined; one still running is left to finish on its own, never killed,
        // and kept in view so that no second one starts beside it.
        if (ended)
            m_thread.reset();
        else
            m_abandoned = std::move(m_thread);
    }
    ClearTYXEventQueue();
    return static_cast<int32_t>(code);
}

std::string CTYXEventThread::FormatEventTime(int64_t secondsSince1970)
{
    const std::time_t time = static_cast<std::time_t>(secondsSince1970);
    std::tm local{};
    if (!localtime_r(&time, &local))
        return {};
    char text[64];
    std::snprintf(text, sizeof(text), "%d-%d-%d %2.2d:%2.2d:%2.2d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::map<std::string, std::string> CTYXEventThread::BuildNotification(const stTYXEvent &event)
{
    std::map<std::string, std::string> values;
    for (const auto &[key, value] : event.attributes) {
        switch (value.valueType) {
        case TYX_EVENT_VALUE_BOOL: values[key] = value.boolean ? "True" : "False"; break;
        case TYX_EVENT_VALUE_INT32: values[key] = std::to_string(value.int32); break;
        case TYX_EVENT_VALUE_TIME: values[key] = FormatEventTime(value.time); break;
        case TYX_EVENT_VALUE_INT64: values[key] = std::to_string(value.int64); break;
        case TYX_EVENT_VALUE_TEXT: values[key] = value.text; break;
        case TYX_EVENT_VALUE_WTEXT: values[key] = WStringToString(value.wtext); break;
        default: break;
        }
    }
    // Peers tell a notification by its "Event" key and drop one without it; the writer's event
    // name goes there too.
    const auto name = values.find("EventName");
    if (name != values.end() && values.count("Event") == 0)
        values["Event"] = name->second;
    values["EventId"] = std::to_string(event.id);
    values["EventTime"] = FormatEventTime(event.time);
    return values;
}

namespace {

// Handles one event; true when one was taken from the queue.
bool HandleNextEvent(stEventThreadShared &shared)
{
    if (QueuedTYXEventCount() == 0)
        return false;
    stTYXEvent event;
    if (!PopTYXEvent(event))
        return false;
    std::shared_ptr<CDiscoveryNotifier> notifier;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        event.attributes["PSN"] = stTYXEventValue::Text(shared.serial);
        notifier = shared.notifier;
    }
    if (event.type == TYX_EVENT_OUTPUT_STARTED || event.type == TYX_EVENT_OUTPUT_STOPPED) {
        if (notifier)
            notifier->SendDiscoveryMessage(TYX_DISCOVERY_NOTIFICATION, CTYXEventThread::BuildNotification(event), 1,
                                           nullptr);
    } else if (!IsSourceOrRecordEvent(event.type)) {
        TYX_LOG(3, L"[TyxEventProcThread]Unexpected Event(Type=%d, Id=%d) poped, ignore it.", event.type, event.id);
    }
    return true;
}

} // namespace

uint32_t CTYXEventThread::TyxEventProcThreadFct(const std::shared_ptr<stEventThreadShared> &shared)
{
    TYX_LOG(6, L"Tyx Event Processing Thread[%d] Starting.", GetCurrentThreadIdInt());
    if (shared->stop.IsSet())
        return 0;
    uint32_t wait = 0;
    while (shared->stop.Wait(wait) != TYX_WAIT_OBJECT_0)
        wait = HandleNextEvent(*shared) ? 0 : 50;
    return 0;
}
