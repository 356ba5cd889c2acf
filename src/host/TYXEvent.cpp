#include "host/TYXEvent.h"

#include "core/ReadWriteLock.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"

#include <atomic>
#include <ctime>
#include <deque>

namespace {

// The queue lives for the whole process; it exists before main runs.
struct stEventQueue
{
    CReadWriteLock lock;
    std::deque<stTYXEvent> events;
    std::atomic<int32_t> counter{0};
};

stEventQueue &Queue()
{
    static stEventQueue queue;
    return queue;
}

struct stPublicWriterTag
{
    const char *tag;
    const char *started;
    const char *stopped;
};

// The public writer that the name belongs to, compared exactly in the order live, record, preview.
const stPublicWriterTag *FindPublicWriter(const std::wstring &name)
{
    static const stPublicWriterTag kLive{"LIVE_BROADCAST", "BCLiveStarted", "BCLiveStopped"};
    static const stPublicWriterTag kRecord{"ALLRECORDING", "RecordStarted", "RecordStopped"};
    static const stPublicWriterTag kPreview{"LOCALPREVIEW", "PreviewStarted", "PreviewStopped"};
    const stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    if (name == settings.LiveBCWriter)
        return &kLive;
    if (name == settings.RecordWriter)
        return &kRecord;
    if (name == settings.PreviewWriter)
        return &kPreview;
    return nullptr;
}

} // namespace

stTYXEventValue stTYXEventValue::Bool(bool value)
{
    stTYXEventValue v;
    v.valueType = TYX_EVENT_VALUE_BOOL;
    v.boolean = value;
    return v;
}

stTYXEventValue stTYXEventValue::Int32(int32_t value)
{
    stTYXEventValue v;
    v.valueType = TYX_EVENT_VALUE_INT32;
    v.int32 = value;
    return v;
}

stTYXEventValue stTYXEventValue::Time(int64_t secondsSince1970)
{
    stTYXEventValue v;
    v.valueType = TYX_EVENT_VALUE_TIME;
    v.time = secondsSince1970;
    return v;
}

stTYXEventValue stTYXEventValue::Int64(int64_t value)
{
    stTYXEventValue v;
    v.valueType = TYX_EVENT_VALUE_INT64;
    v.int64 = value;
    return v;
}

stTYXEventValue stTYXEventValue::Text(const std::string &value)
{
    stTYXEventValue v;
    v.valueType = TYX_EVENT_VALUE_TEXT;
    v.text = value;
    return v;
}

stTYXEventValue stTYXEventValue::WText(const std::wstring &value)
{
    stTYXEventValue v;
    v.valueType = TYX_EVENT_VALUE_WTEXT;
    v.wtext = value;
    return v;
}

int32_t ReportTYXEvent(const stTYXEvent &reported)
{
    stTYXEvent event = reported;
    event.time = static_cast<int64_t>(std::time(nullptr));
    event.id = ++Queue().counter;

    std::wstring writerName;
    const auto worker = event.attributes.find("WorkerName");
    if (worker != event.attributes.end())
        writerName = worker->second.wtext;

    if (IsSourceOrRecordEvent(event.type)) {
        if (!writerName.empty())
            event.attributes["WorkerName"] = stTYXEventValue::Text(WStringToString(writerName));
    } else if (event.type == TYX_EVENT_OUTPUT_STARTED || event.type == TYX_EVENT_OUTPUT_STOPPED) {
        const stPublicWriterTag *tag = FindPublicWriter(writerName);
        if (!tag) {
            if (event.type == TYX_EVENT_OUTPUT_STARTED)
                TYX_LOG(3, L"[ReportTYXEvent]The public writer stated Event(Type=%d, Id=%d) is not for known writer, ignore it.",
                        event.type, event.id);
            else
                TYX_LOG(3, L"[ReportTYXEvent]The public writer stopped Event(Type=%d, Id=%d) is not for known writer, ignore it.",
                        event.type, event.id);
            return 0;
        }
        if (worker != event.attributes.end())
            worker->second = stTYXEventValue::Text(tag->tag);
        event.attributes["EventName"] =
            stTYXEventValue::Text(event.type == TYX_EVENT_OUTPUT_STARTED ? tag->started : tag->stopped);
    } else {
        TYX_LOG(3, L"[ReportTYXEvent]Unexpected Event(Type=%d, Id=%d) got, rejected.", event.type, event.id);
        return -1;
    }

    const int32_t id = event.id;
    CWriteLockGuard lock(Queue().lock);
    Queue().events.push_back(std::move(event));
    return id;
}

size_t QueuedTYXEventCount()
{
    CReadLockGuard lock(Queue().lock);
    return Queue().events.size();
}

bool PopTYXEvent(stTYXEvent &out)
{
    CWriteLockGuard lock(Queue().lock);
    if (Queue().events.empty())
        return false;
    out = std::move(Queue().events.front());
    Queue().events.pop_front();
    return true;
}

void ClearTYXEventQueue()
{
    CWriteLockGuard lock(Queue().lock);
    Queue().events.clear();
}
