#pragma once

#include "host/TYXEvent.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class CDiscoveryNotifier;
class CThread;
struct stEventThreadShared;

// The event thread: takes the reported events out of the program-wide queue one by one, turns the
// start and stop events of the public writers into discovery notifications and drops the rest.
// The host owns one; Start, Stop and the setters run on the host's thread.
class CTYXEventThread
{
public:
    CTYXEventThread();
    ~CTYXEventThread();
    CTYXEventThread(const CTYXEventThread &) = delete;
    CTYXEventThread &operator=(const CTYXEventThread &) = delete;

    // Creates the stop event and starts the thread at once; 0 (also when it runs already) or a
    // negative errno: -EBUSY while a thread that an earlier stop gave up on still runs, since a
    // second one would share its queue and its stop event.
    int32_t Start();
    // Sets the stop event, gives the thread up to about 110 ms, never kills it, and empties the
    // queue; the thread's exit code (TYX_STILL_ACTIVE when it had not ended yet).
    int32_t StopEventProcThread();
    // The discoverer to send through; none drops the notifications. Any thread may call.
    void SetNotifier(std::shared_ptr<CDiscoveryNotifier> notifier);
    // The unit serial text sent as "PSN". Any thread may call.
    void SetUnitSerial(const std::string &serial);
    int ThreadId() const;

    // The thread's routine; 0.
    static uint32_t TyxEventProcThreadFct(const std::shared_ptr<stEventThreadShared> &shared);
    // The notification keys and values of a start or stop event.
    static std::map<std::string, std::string> BuildNotification(const stTYXEvent &event);
    // Local time as "%d-%d-%d %2.2d:%2.2d:%2.2d"; empty when it cannot be converted.
    static std::string FormatEventTime(int64_t secondsSince1970);

private:
    std::shared_ptr<stEventThreadShared> m_shared;
    std::unique_ptr<CThread> m_thread;
    std::unique_ptr<CThread> m_abandoned; // outlived its stop; watched until it ends
};
