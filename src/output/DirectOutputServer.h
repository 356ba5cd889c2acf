#pragma once

// What the direct display server and the frame-pipe server share: the exit, start and stop events,
// the frame queue that the owning worker fills with device copies of its pictures, and the server
// thread with its stop protocol.
//
// Ownership: servers are held by std::shared_ptr. The running thread holds a reference too, so a
// thread abandoned after its stop budget never touches a freed server, and a server whose thread
// is still alive keeps every resource that thread uses until it ends.

#include "core/FramePackage.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class COsdWriter;
class COsgDrawer;
class CRVProcWorker;

// Message and type code of the servers while they run, and after unInitialize.
constexpr int16_t TYX_DIRECT_OUTPUT_TYPE = 1537;
constexpr int16_t TYX_DIRECT_OUTPUT_RELEASED_TYPE = 500;
// The most pictures a server queue holds; producers drop what does not fit.
constexpr size_t TYX_DIRECT_OUTPUT_QUEUE_LIMIT = 30;

// The frame queue of a server, as producers see it.
struct stDirectOutputQueue
{
    FramePackageQueue queue;
    CCriticalSection cs;
};

class CDirectOutputServer : public std::enable_shared_from_this<CDirectOutputServer>
{
public:
    virtual ~CDirectOutputServer();
    CDirectOutputServer(const CDirectOutputServer &) = delete;
    CDirectOutputServer &operator=(const CDirectOutputServer &) = delete;

    // The thread body; its result is the thread's exit code.
    virtual uint32_t WorkingFunc() = 0;
    virtual void unInitialize() = 0;

    // Starts the server thread at once on ThreadProc: its id, or a negative errno (-EEXIST while one
    // runs, -EINVAL for a server not held by a shared pointer). Owner's thread.
    int32_t StartThread();
    bool IsThreadRunning() const;
    int32_t ThreadId() const;
    // Sets the exit event and waits up to max(budget, 50) ms, polling every 10 ms: the exit code, 0
    // without a thread, or TYX_STILL_ACTIVE when the thread runs on past the budget; it then stays
    // the running thread (IsThreadRunning) until it ends, and a later Stop joins it.
    int32_t Stop(int32_t budgetMs);

    // Producers: appends a device copy of the picture while fewer than 30 are queued; false when it
    // was dropped (queue full or copy failed). Any thread.
    bool PushFrame(const FramePackage &package);
    // The server thread: moves the oldest package into package; the number queued before, 0 when
    // empty.
    int32_t PopFrame(FramePackage &package);
    int32_t QueuedFrames() const;
    stDirectOutputQueue &Queue() { return m_queue; }

    // The overlays drawn on every picture this server shows (either may be none); not owned alone:
    // the owner's overlay slot shares them. Any thread.
    void AttachOverlays(std::shared_ptr<COsdWriter> writer, std::shared_ptr<COsgDrawer> drawer);

    CEvent &ExitEvent() { return m_exitEvent; }
    CEvent &StartEvent() { return m_startEvent; }
    CEvent &StopEvent() { return m_stopEvent; }
    const std::wstring &Name() const { return m_name; }
    int32_t WorkerId() const { return m_workerId; }
    CRVProcWorker *Owner() const { return m_owner; }

    // Runs the server's WorkingFunc; an escaping exception is logged, printed with screen output on,
    // and gives 20. -1 (as unsigned) for no server.
    static uint32_t ThreadProc(CDirectOutputServer *server);

protected:
    // className names the server in the stop protocol's log lines.
    CDirectOutputServer(const wchar_t *className, std::wstring name, int32_t workerId, CRVProcWorker *owner);
    void ClearQueue();
    // Waits up to timeoutMs for a picture to be pushed (the server thread's idle wait).
    void WaitForFrame(uint32_t timeoutMs) { (void)m_frameEvent.Wait(timeoutMs); }
    // Draws the attached text overlays, then the graphics, onto the server's own copy of a picture;
    // failures are logged and the picture goes on. Server thread.
    void DrawAttachedOverlays(FramePackage &package);

    const wchar_t *const m_className;
    const std::wstring m_name;
    const int32_t m_workerId;
    CRVProcWorker *const m_owner; // a loan for logs; the thread never reaches it
    CEvent m_exitEvent{true};
    CEvent m_startEvent{false};
    CEvent m_stopEvent{false};
    CEvent m_frameEvent{false}; // set by every push
    std::atomic<int32_t> m_stopBudget{0};
    mutable stDirectOutputQueue m_queue;

private:
    std::mutex m_overlayMutex;
    std::shared_ptr<COsdWriter> m_osdWriter;
    std::shared_ptr<COsgDrawer> m_osgDrawer;
    std::unique_ptr<CThread> m_thread;
    std::atomic<int32_t> m_threadId{0};
};
