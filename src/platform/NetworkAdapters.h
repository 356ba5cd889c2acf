#pragma once

// The network adapter this system works with (the first connected physical Ethernet, FDDI or wireless
// interface in index order): its address settings read from the kernel, address and gateway changes
// through route netlink, and the computer name. Any thread may call; the functions share no state.

#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t ADAPTER_FAMILY_IPV4 = 2;
constexpr uint16_t ADAPTER_FAMILY_IPV6 = 23;

// Results besides 0, -1 (bad arguments) and -2 (no active physical interface).
constexpr int32_t ADAPTER_TABLE_UNREADABLE = -4;   // the interface table cannot be read
constexpr int32_t ADAPTER_SOCKET_FAILED = -8;      // no route netlink socket
constexpr int32_t ADAPTER_QUERY_FAILED = -50;      // the kernel refused a dump
constexpr int32_t ADAPTER_DHCP_UNAVAILABLE = -71;  // no DHCP client this program can switch on
constexpr int32_t ADAPTER_CHANGE_FAILED = -80;     // the kernel refused an address or route change

struct stAdapterAddressSettings
{
    uint8_t DHCPEnabled = 0;
    uint16_t AddressFamily = 0;
    wchar_t IPAddress[40] = {};
    wchar_t SubnetMask[40] = {};
    wchar_t DefaultGateway[40] = {};
    wchar_t MACAddress[20] = {};
    wchar_t Description[64] = {};
    wchar_t DHCPServer[40] = {}; // 16 characters used
    wchar_t DNSDomain[32] = {};
    uint8_t IPv6PrefixLength = 0;
};

// One row of the interface table.
struct stNetworkInterface
{
    int32_t index = 0;
    std::string name;
    uint16_t type = 0;      // ARPHRD_* hardware type
    uint32_t flags = 0;     // IFF_* flags
    uint8_t operState = 0;  // IF_OPER_*
    std::string macAddress; // upper case with colons
    bool hasDevice = false; // backed by hardware with a connector
};

// Where the adapter facts come from. Tests accept the virtual interfaces of a namespace they made.
struct stAdapterScope
{
    std::string sysfsNet = "/sys/class/net";
    std::string resolvConf = "/etc/resolv.conf";
    std::string leaseFolder = "/run/systemd/netif/leases";
    bool acceptVirtual = false;
};

// The number of active physical interfaces (copied into list in index order), or -4.
int32_t ListPhysicalInterfaces(std::vector<stNetworkInterface> &list, const stAdapterScope &scope = {});
// 0, -2 without an active physical interface, -8 or -50.
int32_t GetNetworkAdapters(stAdapterAddressSettings &settings, const stAdapterScope &scope = {});
// The adapter's interface index; -1 for a mode other than 0; -2 without an active physical interface.
int32_t FindPhysicalAdapterIndex(int32_t mode, const stAdapterScope &scope = {});
// 0 when the address (and the gateway, when one is given) was applied; -1 for a bad family or a bad
// address, mask or gateway text; -2 without an adapter; -8, -50, -71 (DHCP) or -80.
int32_t SetAdapterAddress(const stAdapterAddressSettings &settings, const stAdapterScope &scope = {});
// Names the host "KOV_" and the name (1 to 10 letters, digits or "-"), now and in hostnameFile (not
// written when empty): 0; -1 for no name; -2 for a name of the wrong length or characters; otherwise
// the negative errno of the renaming or of writing the file.
int32_t SetComputerNameFromRC(const char *name, const std::string &hostnameFile = "/etc/hostname");
