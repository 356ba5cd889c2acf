#include "output/RVTPServer.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"
#include "platform/RuntimeFolder.h"
#include "platform/TickCount.h"

#include <cerrno>

// Error numbers in the "%d" fields of the log lines are errno values.

namespace {

constexpr size_t kMaxOutputNameLength = 58; // keeps the pipe name of other hosts within 72 characters
constexpr int kPipePrefixLength = 14;       // "\\.\pipe\RVTP_"
constexpr uint32_t kIdleWaitMs = 10;
constexpr size_t kBufferedFrames = 15; // the pipe's out-buffer held 15 frames

bool IsBadNameCharacter(wchar_t c)
{
    return c < 0x20 || c == 0x7F || c == L'/' || c == L'\\';
}

bool IsDisconnect(ssize_t error)
{
    return error == -EPIPE || error == -ECONNRESET || error == -ENOTCONN;
}

} // namespace

CRVTPServer::CRVTPServer(std::wstring outputName, int32_t workerId, CRVProcWorker *owner)
    : CDirectOutputServer(L"CRVTPServer", std::move(outputName), workerId, owner)
{
}

CRVTPServer::~CRVTPServer()
{
    unInitialize();
}

std::string CRVTPServer::SocketNameFor(const std::wstring &outputName)
{
    if (outputName.empty() || outputName.size() > kMaxOutputNameLength)
        return {};
    if (outputName.find(L"..") != std::wstring::npos)
        return {};
    for (wchar_t c : outputName) {
        if (IsBadNameCharacter(c))
            return {};
    }
    const std::string name = WStringToString(outputName);
    return name.empty() ? std::string() : "RVTP_" + name;
}

std::string CRVTPServer::SocketPath() const
{
    return m_listener.Path();
}

void CRVTPServer::SetOptionValues(int64_t first, int64_t second)
{
    if (first != 0)
        m_optionValues[0] = first;
    if (second != 0)
        m_optionValues[1] = second;
}

stDirectOutputQueue *CRVTPServer::Initialize(int16_t messageType, int32_t width, int32_t height, int32_t gpuNumber)
{
    // An odd size carries its chroma planes rounded up; the header says the data length.
    if (width <= 0 || height <= 0 || width > UINT16_MAX || height > UINT16_MAX) {
        TYX_LOG(3, L"RVTP(%s) creating rejected for invalid framesize(w=%d,h=%d)!", m_name.c_str(), width, height);
        return nullptr;
    }
    if (m_created)
        return &m_queue;
    const int32_t device = gpuNumber >= 0 ? gpuNumber : DevCurrentDevice();
    const GpuError contextError = DevRetainPrimaryContext(device);
    if (contextError != GPU_SUCCESS) {
        TYX_LOG(3, L"RVTPServer[WID=%d] GPU Context creating failed with Error=%f! ", m_workerId,
                static_cast<double>(contextError));
        return nullptr;
    }
    m_contextRetained = true;
    m_gpuNumber = device;
    m_messageType = messageType;
    m_width = static_cast<uint16_t>(width);
    m_height = static_cast<uint16_t>(height);
    m_frameSize = I420Length(width, height);

    const std::string socketName = SocketNameFor(m_name);
    const std::string path = GetRuntimeFolder() + "/" + socketName;
    if (socketName.empty()) {
        const bool badLength = m_name.empty() || m_name.size() > kMaxOutputNameLength;
        if (badLength)
            TYX_LOG(3, L"RVTP(%s) creating rejected for invalid RVTP Name(length=%d)!", m_name.c_str(),
                    static_cast<int32_t>(m_name.size()) + kPipePrefixLength);
        else
            TYX_LOG(3, L"RVTP(%s) creating rejected: a path separator, \"..\" or a control character cannot be "
                       L"in a socket name!", m_name.c_str());
        unInitialize();
        return nullptr;
    }
    const int rc = path.size() > UnixSocketPathLimit() ? -ENAMETOOLONG : m_listener.Listen(path);
    if (rc != 0) {
        TYX_LOG(3, L"RVTP(%s) creating failed with last error=%d!", m_name.c_str(), -rc);
        unInitialize();
        return nullptr;
    }
    TYX_LOG(6, L"RVTP(%s) created successfully.", m_name.c_str());
    m_created = true;
    return &m_queue;
}

void CRVTPServer::unInitialize()
{
    Stop(100);
    if (IsThreadRunning())
        return; // abandoned: the socket and context go when the thread lets go of the server
    m_client.Reset();
    m_connected = false;
    if (m_listener.IsOpen()) {
        m_listener.Close();
        TYX_LOG(6, L"RVTP(%s) closed successfully.", m_name.c_str());
    }
    if (m_contextRetained) {
        DevReleasePrimaryContext(m_gpuNumber);
        m_contextRetained = false;
    }
    m_outgoing.clear();
    m_spare.clear();
    m_messageType = TYX_DIRECT_OUTPUT_RELEASED_TYPE;
    m_frameSize = 0;
    m_created = false;
}

void CRVTPServer::Release()
{
    unInitialize();
}

uint32_t CRVTPServer::WorkingFunc()
{
    const int32_t tid = GetCurrentThreadIdInt();
    TYX_LOG(6, L"RVTP server[WID=%d, Alias=%s] working Thread[%d] Starting.", m_workerId, m_name.c_str(), tid);
    const bool pushed = m_contextRetained && DevPushContext(m_gpuNumber) == GPU_SUCCESS;
    m_messagesWritten = 0;
    uint32_t result = 0;
    for (;;) {
        if (m_exitEvent.IsSet()) {
            TYX_LOG(6, L"[WID=%d]RVTP Thread[%d] Received exit signal, exiting...", m_workerId, tid);
            if (m_serving)
                DisconnectClient(nullptr);
            break;
        }
        if (m_startEvent.Wait(0) == TYX_WAIT_OBJECT_0) {
            TYX_LOG(6, L"[WID=%d]RVTP Thread[%d] Received RVTP start signal.", m_workerId, tid);
            if (!m_listener.IsOpen()) {
                TYX_LOG(3, L"RVTP server[WID=%d] not initialized...exit.", m_workerId);
                result = 2;
                break;
            }
            m_serving = true;
            continue;
        }
        if (m_stopEvent.Wait(0) == TYX_WAIT_OBJECT_0) {
            TYX_LOG(6, L"[WID=%d]RVTP Thread[%d] Received direct-output stop signal.", m_workerId, tid);
            m_serving = false;
            continue;
        }
        if (m_serving)
            AcceptClients();
        if (m_client.IsOpen()) {
            if (!m_outgoing.empty())
                FlushMessages();
            else if (WaitSocket(m_client.Fd(), false, 0) & (TYX_SOCK_READABLE | TYX_SOCK_HANGUP) &&
                     !DrainSocket(m_client.Fd()))
                DisconnectClient(L"client disconnected.");
        }
        FramePackage package;
        if (PopFrame(package) == 0) {
            if (m_client.IsOpen() && !m_outgoing.empty())
                (void)WaitSocket(m_client.Fd(), true, static_cast<int>(kIdleWaitMs));
            else
                WaitForFrame(kIdleWaitMs);
            continue;
        }
        HandlePackage(package);
    }
    if (pushed)
        DevPopContext();
    TYX_LOG(6, L"RVTP server[WID=%d, Alias=%s] working Thread[%d] quitting.", m_workerId, m_name.c_str(), tid);
    return result != 0 ? result : static_cast<uint32_t>(m_messagesWritten.load());
}

void CRVTPServer::AcceptClients()
{
    for (;;) {
        CSocketFd client;
        int32_t pid = 0;
        const int rc = m_listener.Accept(client, pid);
        if (rc == -EAGAIN)
            return;
        if (rc != 0) {
            TYX_LOG(3, L"V-decoding worker[WID=%d]RVTP(%s) Failed in ConnectNamedPipe with last error=%d!",
                    m_workerId, m_name.c_str(), -rc);
            return;
        }
        if (m_client.IsOpen()) {
            // One client at a time, as a pipe with one instance has it: the newcomer sees the end.
            TYX_LOG(5, L"[WID=%d]RVTP(%s) client(PID=%d) refused: another client is connected.", m_workerId,
                    m_name.c_str(), pid);
            continue;
        }
        (void)SetSendBufferSize(client.Fd(), (m_frameSize + 64) * static_cast<int>(kBufferedFrames));
        TYX_LOG(5, L"[WID=%d]RVTP(%s) client(PID=%d) connected.", m_workerId, m_name.c_str(), pid);
        m_client = std::move(client);
        m_blockedDrops = 0;
        m_connected = true;
    }
}

void CRVTPServer::DisconnectClient(const wchar_t *why)
{
    if (why && m_client.IsOpen())
        TYX_LOG(5, L"V-decoding worker[WID=%d]RVTP(%s) %s", m_workerId, m_name.c_str(), why);
    m_client.Reset();
    m_connected = false;
    while (!m_outgoing.empty())
        RecycleFront();
    EndBlockedEpisode();
}

void CRVTPServer::RecycleFront()
{
    if (m_spare.size() < 2)
        m_spare.push_back(std::move(m_outgoing.front().bytes));
    m_outgoing.pop_front();
    m_frontOffset = 0;
    m_frontStalled = false;
}

void CRVTPServer::FlushMessages()
{
    while (!m_outgoing.empty()) {
        stOutMessage &front = m_outgoing.front();
        const ssize_t sent = SendNonBlocking(m_client.Fd(), front.bytes.data() + m_frontOffset,
                                             front.bytes.size() - m_frontOffset);
        if (sent == -EAGAIN || (sent >= 0 && m_frontOffset + static_cast<size_t>(sent) < front.bytes.size())) {
            if (sent > 0)
                m_frontOffset += static_cast<size_t>(sent);
            if (!m_frontStalled)
                TYX_LOG(6, L"V-decoding worker[WID=%d]RVTP(%s) data writing in pending.", m_workerId, m_name.c_str());
            m_frontStalled = true;
            return;
        }
        if (IsDisconnect(sent)) {
            DisconnectClient(L"client disconnected.");
            return;
        }
        if (sent < 0) {
            // A message cut short would leave the client unable to find the next header.
            TYX_LOG(3, L"V-decoding worker[WID=%d]RVTP(%s) writing failed with last error=%d!", m_workerId,
                    m_name.c_str(), static_cast<int32_t>(-sent));
            if (m_frontOffset > 0) {
                DisconnectClient(nullptr);
                return;
            }
            RecycleFront();
            continue;
        }
        if (m_frontStalled)
            TYX_LOG(6, L"[WID=%d]RVTP(%s) package(pts=%lld) %d bytes really wrote!", m_workerId, m_name.c_str(),
                    static_cast<long long>(front.pts), static_cast<int32_t>(front.bytes.size()));
        ++m_messagesWritten;
        RecycleFront();
    }
}

void CRVTPServer::HandlePackage(FramePackage &package)
{
    if (!m_client.IsOpen()) {
        FreeFramePackage(package);
        return;
    }
    if (package.nLength <= 0 || !package.pData) {
        TYX_LOG(3, L"RVTP[WID=%d] Pkt with invalid length(%d) or NULL dataPtr received!...Discard it.", m_workerId,
                package.nLength);
        FreeFramePackage(package);
        return;
    }
    if (!m_serving || m_outgoing.size() >= kBufferedFrames) {
        DropBlocked();
        FreeFramePackage(package);
        return;
    }
    EndBlockedEpisode();
    DrawAttachedOverlays(package);
    stOutMessage message;
    message.pts = package.pts;
    if (!m_spare.empty()) {
        message.bytes = std::move(m_spare.back());
        m_spare.pop_back();
    }
    const int32_t length = SerializeFramePackage(package, m_messageType.load(), message.bytes);
    FreeFramePackage(package);
    if (length <= 0)
        return;
    m_outgoing.push_back(std::move(message));
    FlushMessages();
}

void CRVTPServer::DropBlocked()
{
    // Logged once per stall, not once per picture: a stalled client would flood the log.
    if (m_blockedDrops++ == 0)
        TYX_LOG(3, L"V-decoding worker[WID=%d]RVTP(%s) is blocking!", m_workerId, m_name.c_str());
}

void CRVTPServer::EndBlockedEpisode()
{
    if (m_blockedDrops > 1)
        TYX_LOG(5, L"[WID=%d]RVTP(%s) %d pictures dropped while blocking.", m_workerId, m_name.c_str(),
                m_blockedDrops);
    m_blockedDrops = 0;
}
