// Changes of the adapter's addresses and of the computer name.

#include "platform/NetworkAdapters.h"

#include "platform/NetlinkSocket.h"
#include "platform/NetworkAdapterDetail.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t IPV4_TEXT_LIMIT = 16;
constexpr size_t IPV6_TEXT_LIMIT = 40;
constexpr uint8_t DEFAULT_IPV6_PREFIX = 64;

template <size_t N>
std::string FieldText(const wchar_t (&field)[N])
{
    std::string text;
    for (size_t i = 0; i < N && field[i] != L'\0'; ++i) {
        // Address texts are plain ASCII; anything else makes them invalid.
        text += field[i] > 0 && field[i] < 0x7F ? static_cast<char>(field[i]) : '\x7F';
    }
    return text;
}

struct stStaticChange
{
    int family = AF_INET;
    uint8_t address[16] = {};
    size_t addressSize = 4;
    int32_t prefix = -1; // -1 keeps the prefix the interface has, else a sensible default
    bool hasGateway = false;
    uint8_t gateway[16] = {};
};

// A mask made of leading one bits only: its prefix length, else -1.
int32_t MaskPrefix(const std::string &text)
{
    in_addr mask{};
    if (inet_pton(AF_INET, text.c_str(), &mask) != 1)
        return -1;
    const uint32_t bits = ntohl(mask.s_addr);
    const uint32_t inverted = ~bits;
    if ((inverted & (inverted + 1)) != 0)
        return -1;
    return __builtin_popcount(bits);
}

// Checks the texts and turns them into the change: 0 or -1.
int32_t PrepareStatic(const stAdapterAddressSettings &settings, stStaticChange &change)
{
    const bool v4 = settings.AddressFamily == ADAPTER_FAMILY_IPV4;
    const size_t limit = v4 ? IPV4_TEXT_LIMIT : IPV6_TEXT_LIMIT;
    change.family = v4 ? AF_INET : AF_INET6;
    change.addressSize = v4 ? 4 : 16;
    const std::string address = FieldText(settings.IPAddress);
    if (address.empty() || address.size() >= limit || inet_pton(change.family, address.c_str(), change.address) != 1)
        return -1;
    const std::string mask = FieldText(settings.SubnetMask);
    if (v4 && !mask.empty() && mask.size() < limit) {
        change.prefix = MaskPrefix(mask);
        if (change.prefix < 0)
            return -1;
    }
    if (!v4)
        change.prefix = settings.IPv6PrefixLength > 0 && settings.IPv6PrefixLength <= 128 ? settings.IPv6PrefixLength
                                                                                          : DEFAULT_IPV6_PREFIX;
    const std::string gateway = FieldText(settings.DefaultGateway);
    if (!gateway.empty() && gateway.size() < limit) {
        if (inet_pton(change.family, gateway.c_str(), change.gateway) != 1)
            return -1;
        change.hasGateway = true;
    }
    return 0;
}

struct stExistingAddress
{
    uint8_t address[16] = {};
    uint8_t prefix = 0;
};

int32_t ListAddresses(CNetlinkSocket &socket, int32_t index, int family, size_t size,
                      std::vector<stExistingAddress> &found)
{
    ifaddrmsg request{};
    request.ifa_family = static_cast<uint8_t>(family);
    CNetlinkRequest dump(RTM_GETADDR, 0, &request, sizeof(request));
    return socket.Dump(dump, [&](const nlmsghdr &message) {
        const auto *info = static_cast<const ifaddrmsg *>(NLMSG_DATA(&message));
        if (message.nlmsg_type != RTM_NEWADDR || static_cast<int32_t>(info->ifa_index) != index ||
            info->ifa_family != family || info->ifa_scope == RT_SCOPE_LINK)
            return;
        int length = static_cast<int>(IFA_PAYLOAD(&message));
        for (const rtattr *a = IFA_RTA(info); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
            if (a->rta_type == IFA_ADDRESS && RTA_PAYLOAD(a) >= size) {
                stExistingAddress entry;
                std::memcpy(entry.address, RTA_DATA(a), size);
                entry.prefix = info->ifa_prefixlen;
                found.push_back(entry);
            }
        }
    });
}

int32_t ChangeAddress(CNetlinkSocket &socket, uint16_t type, int32_t index, const stStaticChange &change,
                      const uint8_t *address, uint8_t prefix)
{
    ifaddrmsg info{};
    info.ifa_family = static_cast<uint8_t>(change.family);
    info.ifa_prefixlen = prefix;
    info.ifa_index = static_cast<uint32_t>(index);
    const uint16_t flags = type == RTM_NEWADDR ? NLM_F_CREATE | NLM_F_REPLACE : 0;
    CNetlinkRequest request(type, flags, &info, sizeof(info));
    request.Attribute(IFA_LOCAL, address, change.addressSize);
    request.Attribute(IFA_ADDRESS, address, change.addressSize);
    if (change.family == AF_INET && type == RTM_NEWADDR && prefix < 31) {
        uint32_t broadcast = 0;
        std::memcpy(&broadcast, address, 4);
        broadcast |= htonl(prefix == 0 ? 0xFFFFFFFFu : (1u << (32 - prefix)) - 1);
        request.Attribute(IFA_BROADCAST, &broadcast, 4);
    }
    return socket.Change(request);
}

// The new address goes on before the old ones come off, so a refused change leaves the old ones.
int32_t ApplyAddress(CNetlinkSocket &socket, int32_t index, stStaticChange &change)
{
    std::vector<stExistingAddress> existing;
    if (ListAddresses(socket, index, change.family, change.addressSize, existing) != 0)
        return ADAPTER_QUERY_FAILED;
    if (change.prefix < 0)
        change.prefix = existing.empty() ? 24 : existing.front().prefix;
    const auto prefix = static_cast<uint8_t>(change.prefix);
    if (ChangeAddress(socket, RTM_NEWADDR, index, change, change.address, prefix) != 0)
        return ADAPTER_CHANGE_FAILED;
    for (const stExistingAddress &old : existing) {
        const bool same = std::memcmp(old.address, change.address, change.addressSize) == 0 && old.prefix == prefix;
        if (!same && ChangeAddress(socket, RTM_DELADDR, index, change, old.address, old.prefix) != 0)
            return ADAPTER_CHANGE_FAILED;
    }
    // Removing a primary address takes the secondaries of its network with it: the new one among them.
    std::vector<stExistingAddress> now;
    if (ListAddresses(socket, index, change.family, change.addressSize, now) != 0)
        return ADAPTER_QUERY_FAILED;
    for (const stExistingAddress &entry : now) {
        if (std::memcmp(entry.address, change.address, change.addressSize) == 0)
            return 0;
    }
    return ChangeAddress(socket, RTM_NEWADDR, index, change, change.address, prefix) == 0 ? 0 : ADAPTER_CHANGE_FAILED;
}

int32_t ApplyGateway(CNetlinkSocket &socket, int32_t index, const stStaticChange &change, const uint8_t *gateway)
{
    rtmsg route{};
    route.rtm_family = static_cast<uint8_t>(change.family);
    route.rtm_table = RT_TABLE_MAIN;
    route.rtm_protocol = RTPROT_STATIC;
    route.rtm_scope = RT_SCOPE_UNIVERSE;
    route.rtm_type = RTN_UNICAST;
    CNetlinkRequest request(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE, &route, sizeof(route));
    request.Attribute(RTA_GATEWAY, gateway, change.addressSize);
    request.Attribute(RTA_OIF, &index, sizeof(index));
    return socket.Change(request) == 0 ? 0 : ADAPTER_CHANGE_FAILED;
}

bool IsNameCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

int WriteHostnameFile(const std::string &path, const std::string &hostName)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    const std::string line = hostName + "\n";
    const ssize_t written = write(fd, line.data(), line.size());
    const int error = written == static_cast<ssize_t>(line.size()) ? 0 : (written < 0 ? errno : EIO);
    const int closed = close(fd) == 0 ? 0 : errno;
    return error != 0 ? error : closed;
}

} // namespace

int32_t SetAdapterAddress(const stAdapterAddressSettings &settings, const stAdapterScope &scope)
{
    if (settings.AddressFamily != ADAPTER_FAMILY_IPV4 && settings.AddressFamily != ADAPTER_FAMILY_IPV6)
        return -1;
    stStaticChange change;
    if (!settings.DHCPEnabled && PrepareStatic(settings, change) != 0)
        return -1;
    const int32_t index = FindPhysicalAdapterIndex(0, scope);
    if (index < 1)
        return -2;
    // Switching to DHCP needs a DHCP client, which the kernel alone does not have.
    if (settings.DHCPEnabled)
        return ADAPTER_DHCP_UNAVAILABLE;
    CNetlinkSocket socket;
    if (socket.Open() != 0)
        return ADAPTER_SOCKET_FAILED;
    std::vector<uint8_t> previous;
    if (ReadDefaultGateway(socket, change.family, index, previous) != 0)
        return ADAPTER_QUERY_FAILED;
    if (const int32_t result = ApplyAddress(socket, index, change); result != 0)
        return result;
    if (change.hasGateway)
        return ApplyGateway(socket, index, change, change.gateway);
    // The kernel drops a route whose gateway lost its network for a moment; an address change without
    // a gateway keeps the one there was, where it is still reachable.
    std::vector<uint8_t> now;
    if (previous.size() == change.addressSize && ReadDefaultGateway(socket, change.family, index, now) == 0 &&
        now.empty())
        ApplyGateway(socket, index, change, previous.data());
    return 0;
}

int32_t SetComputerNameFromRC(const char *name, const std::string &hostnameFile)
{
    if (name == nullptr || name[0] == '\0')
        return -1;
    const size_t length = strnlen(name, 11);
    if (length > 10)
        return -2;
    for (size_t i = 0; i < length; ++i) {
        if (!IsNameCharacter(name[i]))
            return -2;
    }
    const std::string hostName = std::string("KOV_") + name;
    // Negative, as every other failure here: a positive code would read as success to the caller.
    if (sethostname(hostName.c_str(), hostName.size()) != 0)
        return -errno;
    return hostnameFile.empty() ? 0 : -WriteHostnameFile(hostnameFile, hostName);
}
