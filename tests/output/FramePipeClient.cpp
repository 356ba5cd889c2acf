#include "output/FramePipeClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <type_traits>

namespace {

template <typename T>
T GetLittleEndian(const uint8_t *at)
{
    std::make_unsigned_t<T> value = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<std::make_unsigned_t<T>>(static_cast<std::make_unsigned_t<T>>(at[i]) << (8 * i));
    return static_cast<T>(value);
}

} // namespace

stFrameMessage ParseFrameHeader(const uint8_t *header)
{
    stFrameMessage message;
    message.type = GetLittleEndian<int16_t>(header);
    message.pts = GetLittleEndian<int64_t>(header + 8);
    message.dts = GetLittleEndian<int64_t>(header + 16);
    message.duration = GetLittleEndian<uint32_t>(header + 24);
    message.flags = GetLittleEndian<int32_t>(header + 28);
    message.length = GetLittleEndian<int32_t>(header + 32);
    message.width = GetLittleEndian<uint16_t>(header + 36);
    message.height = GetLittleEndian<uint16_t>(header + 38);
    message.reservedZero = true;
    for (int i : {2, 3, 4, 5, 6, 7, 40, 41, 42, 43, 44, 45, 46, 47})
        message.reservedZero = message.reservedZero && header[i] == 0;
    return message;
}

bool CFramePipeClient::Connect(const std::string &path)
{
    Close();
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        Close();
        return false;
    }
    return true;
}

void CFramePipeClient::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool CFramePipeClient::ReadExact(void *buffer, size_t length, int timeoutMs)
{
    auto *out = static_cast<uint8_t *>(buffer);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t got = 0;
    while (got < length) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t n = ::recv(m_fd, out + got, length - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool CFramePipeClient::ReadMessage(stFrameMessage &message, int timeoutMs)
{
    uint8_t header[48];
    if (!ReadExact(header, sizeof(header), timeoutMs))
        return false;
    message = ParseFrameHeader(header);
    if (message.length < 0)
        return false;
    message.data.resize(static_cast<size_t>(message.length));
    return ReadExact(message.data.data(), message.data.size(), timeoutMs);
}

bool CFramePipeClient::SeesEnd(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> scrap(65536);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t n = ::recv(m_fd, scrap.data(), scrap.size(), 0);
        if (n <= 0)
            return true;
    }
}
