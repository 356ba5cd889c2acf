#include "output/DirectOutputServer.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/TYXWorker.h"
#include "core/debuglog.h"
#include "platform/TickCount.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdWriter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

constexpr int32_t kMinStopBudgetMs = 50;
constexpr uint32_t kStopPollMs = 10;

} // namespace

CDirectOutputServer::CDirectOutputServer(const wchar_t *className, std::wstring name, int32_t workerId,
                                         CRVProcWorker *owner)
    : m_className(className), m_name(std::move(name)), m_workerId(workerId), m_owner(owner)
{
}

CDirectOutputServer::~CDirectOutputServer()
{
    ClearQueue();
}

void CDirectOutputServer::ClearQueue()
{
    CCsLock lock(m_queue.cs);
    for (FramePackage &package : m_queue.queue)
        FreeFramePackage(package);
    m_queue.queue.clear();
}

uint32_t CDirectOutputServer::ThreadProc(CDirectOutputServer *server)
{
    if (!server)
        return static_cast<uint32_t>(-1);
    try {
        return server->WorkingFunc();
    } catch (...) {
        TYX_LOG(3, L"Working Thread[%d] terminated for exception!!!", GetCurrentThreadIdInt());
        if (CTYXWorker::IsProcessScreenOutputOn())
            ConsolePrintf("\n\n\nWorking Thread[%d] terminated for exception!!!\n\n\n", GetCurrentThreadIdInt());
        return TYX_THREAD_EXCEPTION_EXIT;
    }
}

int32_t CDirectOutputServer::StartThread()
{
    if (IsThreadRunning())
        return -EEXIST;
    std::shared_ptr<CDirectOutputServer> self = weak_from_this().lock();
    if (!self)
        return -EINVAL;
    m_exitEvent.Reset();
    auto thread = std::make_unique<CThread>();
    const int rc = thread->CreateSuspended([self]() mutable {
        // Let go of the server inside the body: its last release may destroy it, and with it the
        // thread object, which must not happen under the thread's own lock.
        const std::shared_ptr<CDirectOutputServer> keep = std::move(self);
        return ThreadProc(keep.get());
    });
    if (rc != 0)
        return rc;
    const int32_t tid = thread->ThreadId();
    thread->Resume();
    m_thread = std::move(thread);
    m_threadId = tid;
    return tid;
}

bool CDirectOutputServer::IsThreadRunning() const
{
    return m_thread && !m_thread->WaitForEnd(0);
}

int32_t CDirectOutputServer::ThreadId() const
{
    return m_threadId.load();
}

int32_t CDirectOutputServer::Stop(int32_t budgetMs)
{
    if (!m_thread)
        return 0;
    if (m_threadId.load() == GetCurrentThreadIdInt()) {
        // The thread's last reference went and the server is being released by the thread itself.
        m_thread->Abandon();
        m_thread.reset();
        m_threadId = 0;
        return static_cast<int32_t>(TYX_STILL_ACTIVE);
    }
    const int32_t budget = std::max(budgetMs, kMinStopBudgetMs);
    m_stopBudget = budget;
    if (m_thread->WaitForEnd(0))
        TYX_LOG(5, L"%s working thread already exited with code(%d) before notify!", m_className,
                static_cast<int32_t>(m_thread->ExitCode()));
    else
        TYX_LOG(6, L"%s working thread is still alive before notify!", m_className);
    m_exitEvent.Set();
    SleepMs(kStopPollMs);

    const auto start = std::chrono::steady_clock::now();
    bool ended = m_thread->WaitForEnd(0);
    while (!ended) {
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (waited >= budget)
            break;
        ended = m_thread->WaitForEnd(kStopPollMs);
    }
    if (!ended) {
        // Never killed: it runs on and keeps this server alive until it ends. It stays this
        // server's thread meanwhile, so that the owner leaves what the thread still uses alone.
        TYX_LOG(3, L"%s working thread was forcedly closed by TerminateThread()!", m_className);
        return static_cast<int32_t>(TYX_STILL_ACTIVE);
    }
    const int32_t code = static_cast<int32_t>(m_thread->ExitCode());
    m_thread->Join();
    m_thread.reset();
    m_threadId = 0;
    return code;
}

bool CDirectOutputServer::PushFrame(const FramePackage &package)
{
    {
        CCsLock lock(m_queue.cs);
        if (m_queue.queue.size() >= TYX_DIRECT_OUTPUT_QUEUE_LIMIT)
            return false;
    }
    // Copied outside the lock so the server thread is never held up by a copy.
    FramePackage copy;
    copy.inDevice = 1;
    if (DuplicateFramePackage(copy, package) <= 0 || !copy.pData) {
        FreeFramePackage(copy);
        return false;
    }
    CCsLock lock(m_queue.cs);
    if (m_queue.queue.size() >= TYX_DIRECT_OUTPUT_QUEUE_LIMIT) {
        FreeFramePackage(copy);
        return false;
    }
    m_queue.queue.push_back(copy);
    m_frameEvent.Set();
    return true;
}

int32_t CDirectOutputServer::PopFrame(FramePackage &package)
{
    CCsLock lock(m_queue.cs);
    const auto count = static_cast<int32_t>(m_queue.queue.size());
    if (count > 0) {
        package = m_queue.queue.front();
        m_queue.queue.pop_front();
    }
    return count;
}

int32_t CDirectOutputServer::QueuedFrames() const
{
    CCsLock lock(m_queue.cs);
    return static_cast<int32_t>(m_queue.queue.size());
}

void CDirectOutputServer::AttachOverlays(std::shared_ptr<COsdWriter> writer, std::shared_ptr<COsgDrawer> drawer)
{
    std::lock_guard<std::mutex> lock(m_overlayMutex);
    m_osdWriter = std::move(writer);
    m_osgDrawer = std::move(drawer);
}

void CDirectOutputServer::DrawAttachedOverlays(FramePackage &package)
{
    std::shared_ptr<COsdWriter> writer;
    std::shared_ptr<COsgDrawer> drawer;
    {
        std::lock_guard<std::mutex> lock(m_overlayMutex);
        writer = m_osdWriter;
        drawer = m_osgDrawer;
    }
    if (!package.pData || package.nLength <= 0 || package.width == 0 || package.height == 0)
        return;
    const int32_t width = package.width;
    const int32_t height = package.height;
    const auto chromaPitch = static_cast<int32_t>(I420ChromaPitch(width));
    if (writer) {
        (void)writer->SetFrameSize(width, height, width, chromaPitch);
        const int32_t rc = writer->ProcessFrameUseGpu(package.pData, package.nLength, package.inDevice != 0);
        if (rc < 0)
            TYX_LOG(3, L"OSD writing Failed with error code=%d!", rc);
    }
    if (drawer) {
        (void)drawer->SetFrameSize(width, height, width, chromaPitch);
        const int32_t rc = drawer->ProcessFrame(package.pData, package.nLength, package.pts, package.inDevice != 0);
        if (rc < 0)
            TYX_LOG(3, L"OSG Drawing Failed with error code=%d!", rc);
    }
}
