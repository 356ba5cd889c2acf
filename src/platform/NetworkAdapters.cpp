#include "platform/NetworkAdapters.h"

#include "platform/NetlinkSocket.h"
#include "platform/NetworkAdapterDetail.h"
#include "platform/TextCodec.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <linux/if.h>
#include <net/if_arp.h>
#include <linux/rtnetlink.h>
#include <sstream>
#include <unistd.h>

namespace {

std::string HardwareAddressText(const uint8_t *bytes, size_t length)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(part, sizeof(part), i == 0 ? "%02X" : ":%02X", bytes[i]);
        text += part;
    }
    return text;
}

bool PathExists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

stNetworkInterface ReadLink(const nlmsghdr &message, const stAdapterScope &scope)
{
    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(&message));
    stNetworkInterface row;
    row.index = info->ifi_index;
    row.type = info->ifi_type;
    row.flags = info->ifi_flags;
    int length = static_cast<int>(IFLA_PAYLOAD(&message));
    for (const rtattr *a = IFLA_RTA(info); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        const auto *data = static_cast<const uint8_t *>(RTA_DATA(a));
        const size_t size = RTA_PAYLOAD(a);
        if (a->rta_type == IFLA_IFNAME)
            row.name.assign(reinterpret_cast<const char *>(data),
                            strnlen(reinterpret_cast<const char *>(data), size));
        else if (a->rta_type == IFLA_ADDRESS)
            row.macAddress = HardwareAddressText(data, size);
        else if (a->rta_type == IFLA_OPERSTATE && size >= 1)
            row.operState = data[0];
    }
    // Interface names never hold "/", so the path stays inside the folder.
    row.hasDevice = !row.name.empty() && PathExists(scope.sysfsNet + "/" + row.name + "/device");
    return row;
}

bool IsActivePhysical(const stNetworkInterface &row, const stAdapterScope &scope)
{
    const bool kind = row.type == ARPHRD_ETHER || row.type == ARPHRD_FDDI || row.type == ARPHRD_IEEE80211;
    const bool connected = (row.flags & IFF_UP) && (row.flags & IFF_LOWER_UP) && row.operState == IF_OPER_UP;
    return kind && connected && (row.hasDevice || scope.acceptVirtual);
}

std::string FirstLeaseServer(const stAdapterScope &scope, int32_t index)
{
    std::ifstream file(scope.leaseFolder + "/" + std::to_string(index));
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("SERVER_ADDRESS=", 0) == 0)
            return line.substr(15);
    }
    return {};
}

std::string DnsDomain(const stAdapterScope &scope)
{
    std::ifstream file(scope.resolvConf);
    std::string line, search;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string keyword, value;
        words >> keyword >> value;
        if (keyword == "domain" && !value.empty())
            return value;
        if (keyword == "search" && search.empty())
            search = value;
    }
    return search;
}

std::string DriverName(const stAdapterScope &scope, const std::string &name)
{
    std::ifstream file(scope.sysfsNet + "/" + name + "/device/uevent");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("DRIVER=", 0) == 0)
            return line.substr(7);
    }
    return {};
}

// Copies text cut to the field's capacity, always terminated.
template <size_t N>
void CopyField(wchar_t (&field)[N], const std::string &text)
{
    const std::wstring wide = CTextCodec::Utf8ToWide(text).value_or(std::wstring());
    const size_t count = std::min(wide.size(), N - 1);
    wide.copy(field, count);
    field[count] = L'\0';
}

struct stAddressFacts
{
    std::string address;
    std::string mask;
    bool dynamic = false;
};

int32_t ReadFirstIpv4(CNetlinkSocket &socket, int32_t index, stAddressFacts &facts)
{
    ifaddrmsg family{};
    family.ifa_family = AF_INET;
    CNetlinkRequest request(RTM_GETADDR, 0, &family, sizeof(family));
    bool found = false;
    const int32_t result = socket.Dump(request, [&](const nlmsghdr &message) {
        const auto *info = static_cast<const ifaddrmsg *>(NLMSG_DATA(&message));
        if (found || message.nlmsg_type != RTM_NEWADDR || static_cast<int32_t>(info->ifa_index) != index ||
            info->ifa_family != AF_INET)
            return;
        stAddressFacts read;
        int length = static_cast<int>(IFA_PAYLOAD(&message));
        for (const rtattr *a = IFA_RTA(info); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
            if ((a->rta_type == IFA_LOCAL || (a->rta_type == IFA_ADDRESS && read.address.empty())) &&
                RTA_PAYLOAD(a) >= 4)
                read.address = Ipv4Text(RTA_DATA(a));
            else if (a->rta_type == IFA_CACHEINFO && RTA_PAYLOAD(a) >= sizeof(ifa_cacheinfo))
                read.dynamic = static_cast<const ifa_cacheinfo *>(RTA_DATA(a))->ifa_valid != 0xFFFFFFFFu;
        }
        read.mask = PrefixToIpv4Mask(info->ifa_prefixlen);
        facts = read;
        found = !read.address.empty();
    });
    return result != 0 ? ADAPTER_QUERY_FAILED : 0;
}

int32_t ListLinks(CNetlinkSocket &socket, std::vector<stNetworkInterface> &rows, const stAdapterScope &scope)
{
    ifinfomsg family{};
    family.ifi_family = AF_UNSPEC;
    CNetlinkRequest request(RTM_GETLINK, 0, &family, sizeof(family));
    return socket.Dump(request, [&](const nlmsghdr &message) {
        if (message.nlmsg_type == RTM_NEWLINK)
            rows.push_back(ReadLink(message, scope));
    });
}

} // namespace

int32_t ReadDefaultGateway(CNetlinkSocket &socket, int family, int32_t index, std::vector<uint8_t> &gateway)
{
    gateway.clear();
    rtmsg request{};
    request.rtm_family = static_cast<uint8_t>(family);
    CNetlinkRequest dump(RTM_GETROUTE, 0, &request, sizeof(request));
    const int32_t result = socket.Dump(dump, [&](const nlmsghdr &message) {
        const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(&message));
        if (!gateway.empty() || message.nlmsg_type != RTM_NEWROUTE || route->rtm_dst_len != 0 ||
            route->rtm_table != RT_TABLE_MAIN || route->rtm_family != family)
            return;
        std::vector<uint8_t> via;
        int32_t oif = 0;
        int length = static_cast<int>(RTM_PAYLOAD(&message));
        for (const rtattr *a = RTM_RTA(route); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
            const auto *data = static_cast<const uint8_t *>(RTA_DATA(a));
            if (a->rta_type == RTA_GATEWAY)
                via.assign(data, data + RTA_PAYLOAD(a));
            else if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= 4)
                std::memcpy(&oif, data, 4);
        }
        if (oif == index)
            gateway = std::move(via);
    });
    return result != 0 ? ADAPTER_QUERY_FAILED : 0;
}

std::string Ipv4Text(const void *address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, address, text, sizeof(text));
    return text;
}

std::string PrefixToIpv4Mask(uint32_t prefix)
{
    const uint32_t bits = prefix == 0 ? 0 : (prefix >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - prefix)) - 1));
    const uint32_t network = htonl(bits);
    return Ipv4Text(&network);
}

int32_t ListPhysicalInterfaces(std::vector<stNetworkInterface> &list, const stAdapterScope &scope)
{
    list.clear();
    CNetlinkSocket socket;
    std::vector<stNetworkInterface> rows;
    if (socket.Open() != 0 || ListLinks(socket, rows, scope) != 0)
        return ADAPTER_TABLE_UNREADABLE;
    for (stNetworkInterface &row : rows) {
        if (IsActivePhysical(row, scope))
            list.push_back(std::move(row));
    }
    return static_cast<int32_t>(list.size());
}

int32_t FindPhysicalAdapterIndex(int32_t mode, const stAdapterScope &scope)
{
    if (mode != 0)
        return -1;
    std::vector<stNetworkInterface> list;
    if (ListPhysicalInterfaces(list, scope) <= 0)
        return -2;
    return list.front().index;
}

int32_t GetNetworkAdapters(stAdapterAddressSettings &settings, const stAdapterScope &scope)
{
    settings = stAdapterAddressSettings{};
    std::vector<stNetworkInterface> list;
    if (ListPhysicalInterfaces(list, scope) <= 0)
        return -2;
    const stNetworkInterface &adapter = list.front();
    CNetlinkSocket socket;
    if (socket.Open() != 0)
        return ADAPTER_SOCKET_FAILED;
    stAddressFacts facts;
    std::vector<uint8_t> gateway;
    if (const int32_t result = ReadFirstIpv4(socket, adapter.index, facts); result != 0)
        return result;
    if (const int32_t result = ReadDefaultGateway(socket, AF_INET, adapter.index, gateway); result != 0)
        return result;

    const std::string driver = DriverName(scope, adapter.name);
    CopyField(settings.MACAddress, adapter.macAddress);
    CopyField(settings.Description, driver.empty() ? adapter.name : driver + " (" + adapter.name + ")");
    const std::string server = FirstLeaseServer(scope, adapter.index);
    if (facts.dynamic || !server.empty()) {
        settings.DHCPEnabled = 1;
        CopyField(settings.DHCPServer, server.substr(0, 15));
    }
    CopyField(settings.DNSDomain, DnsDomain(scope));
    if (!facts.address.empty()) {
        settings.AddressFamily = ADAPTER_FAMILY_IPV4;
        CopyField(settings.IPAddress, facts.address);
        CopyField(settings.SubnetMask, facts.mask);
    }
    if (gateway.size() == 4)
        CopyField(settings.DefaultGateway, Ipv4Text(gateway.data()));
    return 0;
}
