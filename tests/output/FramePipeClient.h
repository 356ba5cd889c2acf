#pragma once

// A real client of the frame pipe: connects to the Unix socket and reads whole messages.

#include <cstdint>
#include <string>
#include <vector>

struct stFrameMessage
{
    int16_t type = 0;
    bool reservedZero = false; // bytes 2..7 and 40..47 are all zero
    int64_t pts = 0;
    int64_t dts = 0;
    uint32_t duration = 0;
    int32_t flags = 0;
    int32_t length = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint8_t> data;
};

class CFramePipeClient
{
public:
    CFramePipeClient() = default;
    ~CFramePipeClient() { Close(); }
    CFramePipeClient(const CFramePipeClient &) = delete;
    CFramePipeClient &operator=(const CFramePipeClient &) = delete;

    bool Connect(const std::string &path);
    void Close();
    // Reads exactly length bytes within timeoutMs; false at the end of the stream or on time-out.
    bool ReadExact(void *buffer, size_t length, int timeoutMs);
    bool ReadMessage(stFrameMessage &message, int timeoutMs);
    // True when the server ends the connection within timeoutMs (data before the end is skipped).
    bool SeesEnd(int timeoutMs);
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// Parses the 48-byte header.
stFrameMessage ParseFrameHeader(const uint8_t *header);
