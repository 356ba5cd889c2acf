#pragma once

// The frame-pipe server of one video output: hands every picture to one local client over a Unix
// stream socket "RVTP_<output name>" in the runtime folder, one message per picture (the 48-byte
// header of SerializeFramePackage, then the I420 picture). The header's length frames the message;
// a message is always finished before the next one starts.
//
// A slow or absent client never holds up the owner: messages wait in an out-buffer of 15 (as the
// pipe's buffer held 15 frames); while it is full, or no client is connected, or serving is off,
// pictures are dropped. The owner's queue holds at most 30.
//
// States: constructed -> Initialize (socket listening) -> thread started -> serving off until the
// start event -> serving: listening <-> client connected -> stop event (serving off) or Stop ->
// unInitialize.

#include "output/DirectOutputServer.h"
#include "platform/UnixSocket.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class CRVTPServer final : public CDirectOutputServer
{
public:
    CRVTPServer(std::wstring outputName, int32_t workerId, CRVProcWorker *owner);
    ~CRVTPServer() override;

    uint32_t WorkingFunc() override;
    // Makes the listening socket for pictures of width x height: the frame queue, or none for an
    // empty, odd or oversized size, a name that cannot name a socket, no GPU context or a socket
    // that cannot be made (each logged). Owner's thread, before the thread starts.
    stDirectOutputQueue *Initialize(int16_t messageType, int32_t width, int32_t height, int32_t gpuNumber);
    // Stops the thread (100 ms) and closes the socket. Resources a still-running thread uses are kept
    // until it ends.
    void unInitialize() override;
    // Stops the thread and releases everything; the holder then drops the server.
    void Release();

    // Values from the owner's pipe-output settings; the server keeps them for its clients' programs.
    void SetOptionValues(int64_t first, int64_t second);
    bool IsInitialized() const { return m_created.load(); }
    bool IsServing() const { return m_serving.load(); }
    bool IsClientConnected() const { return m_connected.load(); }
    int16_t MessageType() const { return m_messageType.load(); }
    // The socket path ("" before Initialize).
    std::string SocketPath() const;
    // Messages written whole since the thread started.
    int64_t MessagesWritten() const { return m_messagesWritten.load(); }

    // The socket name of an output name: "RVTP_" followed by it, or "" when the name is empty, longer
    // than 58 characters or holds a path separator, ".." or a control character.
    static std::string SocketNameFor(const std::wstring &outputName);

private:
    void AcceptClients();
    void DisconnectClient(const wchar_t *why);
    void FlushMessages();
    void HandlePackage(FramePackage &package);
    void RecycleFront();
    void DropBlocked();
    void EndBlockedEpisode();

    std::atomic<int16_t> m_messageType{TYX_DIRECT_OUTPUT_TYPE};
    std::atomic<bool> m_created{false};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_serving{false};
    uint16_t m_width = 0;
    uint16_t m_height = 0;
    int32_t m_frameSize = 0;
    int32_t m_gpuNumber = -1;
    bool m_contextRetained = false;
    int64_t m_optionValues[2] = {0, 0};
    std::atomic<int64_t> m_messagesWritten{0};

    // Used by the server thread only once it runs.
    CUnixListener m_listener;
    CSocketFd m_client;
    struct stOutMessage
    {
        std::vector<uint8_t> bytes;
        int64_t pts = 0;
    };
    std::deque<stOutMessage> m_outgoing; // written front first
    size_t m_frontOffset = 0;            // bytes of the front one the socket has taken
    bool m_frontStalled = false;         // the front one did not go at once
    std::vector<std::vector<uint8_t>> m_spare; // message buffers kept for reuse
    int32_t m_blockedDrops = 0;     // pictures dropped since the client last kept up
};
