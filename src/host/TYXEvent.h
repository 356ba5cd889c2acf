#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Event types that ReportTYXEvent accepts.
constexpr int32_t TYX_EVENT_RECORD_FILE_FINISHED = 3;
constexpr int32_t TYX_EVENT_RESERVED_4 = 4;
constexpr int32_t TYX_EVENT_RESERVED_5 = 5;
constexpr int32_t TYX_EVENT_DISK_SPACE_LOW = 21;
constexpr int32_t TYX_EVENT_RECORD_PATH_FAILED = 22;
constexpr int32_t TYX_EVENT_SOURCE_OPEN_FAILED = 25;
constexpr int32_t TYX_EVENT_SOURCE_OPENED = 26;
constexpr int32_t TYX_EVENT_SOURCE_CLOSED = 27;
constexpr int32_t TYX_EVENT_OUTPUT_STARTED = 33;
constexpr int32_t TYX_EVENT_OUTPUT_STOPPED = 34;

// The accepted types other than a writer's start and stop: source and recording events, which are
// queued as reported and never announced.
constexpr bool IsSourceOrRecordEvent(int32_t type)
{
    switch (type) {
    case TYX_EVENT_RECORD_FILE_FINISHED:
    case TYX_EVENT_RESERVED_4:
    case TYX_EVENT_RESERVED_5:
    case TYX_EVENT_DISK_SPACE_LOW:
    case TYX_EVENT_RECORD_PATH_FAILED:
    case TYX_EVENT_SOURCE_OPEN_FAILED:
    case TYX_EVENT_SOURCE_OPENED:
    case TYX_EVENT_SOURCE_CLOSED:
        return true;
    default:
        return false;
    }
}

// Value types of an event attribute.
constexpr int32_t TYX_EVENT_VALUE_BOOL = 1;
constexpr int32_t TYX_EVENT_VALUE_INT32 = 2;
constexpr int32_t TYX_EVENT_VALUE_TIME = 3;   // seconds since 1970
constexpr int32_t TYX_EVENT_VALUE_INT64 = 4;
constexpr int32_t TYX_EVENT_VALUE_TEXT = 5;   // narrow (UTF-8)
constexpr int32_t TYX_EVENT_VALUE_WTEXT = 6;

// One typed attribute value; the value type says which member is meant.
struct stTYXEventValue
{
    int32_t valueType = 0;
    bool boolean = false;
    int32_t int32 = 0;
    int64_t time = 0;
    int64_t int64 = 0;
    std::string text;
    std::wstring wtext;

    static stTYXEventValue Bool(bool value);
    static stTYXEventValue Int32(int32_t value);
    static stTYXEventValue Time(int64_t secondsSince1970);
    static stTYXEventValue Int64(int64_t value);
    static stTYXEventValue Text(const std::string &value);
    static stTYXEventValue WText(const std::wstring &value);
};

// One worker event.
struct stTYXEvent
{
    int32_t id = 0;              // given by ReportTYXEvent
    int32_t type = 0;
    int64_t time = 0;            // seconds since 1970, given by ReportTYXEvent
    int32_t workerId = 0;
    std::map<std::string, stTYXEventValue> attributes; // ordered by the bytes of the key
};

// Completes a copy of the event (time, id; a public writer's tag and event name) and queues it. The
// public writers are LiveBCWriter, RecordWriter and PreviewWriter of the general settings.
// The event's id when queued, 0 for a start or stop event of a writer that is not public, -1 for a
// type that is not accepted. Any thread may call.
int32_t ReportTYXEvent(const stTYXEvent &event);

// The program-wide queue, for the event thread.
size_t QueuedTYXEventCount();
// Moves the front event into out; false when the queue is empty.
bool PopTYXEvent(stTYXEvent &out);
void ClearTYXEventQueue();
