#include "NamespaceChild.h"

#include "platform/NetworkAdapters.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cwchar>
#include <fstream>
#include <net/if.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

template <size_t N>
void SetField(wchar_t (&field)[N], const wchar_t *text)
{
    std::wcsncpy(field, text, N - 1);
}

template <size_t N>
std::wstring Field(const wchar_t (&field)[N])
{
    return std::wstring(field, wcsnlen(field, N));
}

stAdapterAddressSettings StaticIpv4(const wchar_t *address, const wchar_t *mask, const wchar_t *gateway)
{
    stAdapterAddressSettings settings;
    settings.AddressFamily = ADAPTER_FAMILY_IPV4;
    SetField(settings.IPAddress, address);
    SetField(settings.SubnetMask, mask);
    SetField(settings.DefaultGateway, gateway);
    return settings;
}

stAdapterScope VirtualScope()
{
    stAdapterScope scope;
    scope.acceptVirtual = true;
    scope.resolvConf = "/nonexistent/resolv.conf";
    scope.leaseFolder = "/nonexistent";
    return scope;
}

void ExpectNamespacePassed(const stNamespaceResult &result)
{
    if (result.skipped)
        GTEST_SKIP() << result.reason;
    EXPECT_EQ("", result.failures);
}

TEST(NetworkAdaptersTest, ReadingTheRealHostChangesNothingAndNeverFails)
{
    std::vector<stNetworkInterface> list;
    const int32_t count = ListPhysicalInterfaces(list);
    ASSERT_GE(count, 0);
    stAdapterAddressSettings settings;
    const int32_t result = GetNetworkAdapters(settings);
    if (count == 0) {
        EXPECT_EQ(-2, result);
        EXPECT_EQ(-2, FindPhysicalAdapterIndex(0));
    } else {
        EXPECT_EQ(0, result);
        EXPECT_EQ(list.front().index, FindPhysicalAdapterIndex(0));
    }
    EXPECT_EQ(-1, FindPhysicalAdapterIndex(1));
}

TEST(NetworkAdaptersTest, BadArgumentsAreRefusedBeforeAnyChange)
{
    // Refused before the adapter is looked for, so these are safe on the real host.
    stAdapterAddressSettings family5 = StaticIpv4(L"10.0.0.1", L"255.255.255.0", L"");
    family5.AddressFamily = 5;
    EXPECT_EQ(-1, SetAdapterAddress(family5));
    EXPECT_EQ(-1, SetAdapterAddress(StaticIpv4(L"100.100.100.1000", L"255.255.255.0", L"")));
    EXPECT_EQ(-1, SetAdapterAddress(StaticIpv4(L"", L"255.255.255.0", L"")));
    EXPECT_EQ(-1, SetAdapterAddress(StaticIpv4(L"10.0.0.300", L"", L"")));
    EXPECT_EQ(-1, SetAdapterAddress(StaticIpv4(L"10.0.0.1", L"255.0.255.0", L"")));
    EXPECT_EQ(-1, SetAdapterAddress(StaticIpv4(L"10.0.0.1", L"255.255.255.0", L"10.0.0.x")));
    EXPECT_EQ(-1, SetAdapterAddress(StaticIpv4(L"10.0.0.1\n", L"", L"")));

    EXPECT_EQ(-1, SetComputerNameFromRC(nullptr));
    EXPECT_EQ(-1, SetComputerNameFromRC(""));
    EXPECT_EQ(-2, SetComputerNameFromRC("abcdefghijk"));
    EXPECT_EQ(-2, SetComputerNameFromRC("a/b"));
    EXPECT_EQ(-2, SetComputerNameFromRC("a\nb"));
    EXPECT_EQ(-2, SetComputerNameFromRC("a_b"));
}

TEST(NetworkAdaptersTest, WithoutAnActiveInterfaceEveryOperationGivesMinusTwo)
{
    ExpectNamespacePassed(RunInNamespaces([](CChildChecks &check) {
        stAdapterAddressSettings settings;
        const stAdapterScope scope = VirtualScope();
        check.Expect(GetNetworkAdapters(settings, scope) == -2, "get without interface");
        check.Expect(FindPhysicalAdapterIndex(0, scope) == -2, "index without interface");
        check.Expect(SetAdapterAddress(StaticIpv4(L"10.200.0.23", L"255.255.255.0", L""), scope) == -2,
                     "set without interface");
        // A veth pair that is up is still no physical interface.
        check.Expect(CreateVethPair("tyxa", "tyxb") == 0, "veth pair");
        check.Expect(GetNetworkAdapters(settings) == -2, "veth counted as physical");
        check.Expect(SetAdapterAddress(StaticIpv4(L"10.200.0.23", L"255.255.255.0", L"")) == -2,
                     "veth changed as physical");
    }));
}

TEST(NetworkAdaptersTest, StaticAddressMaskAndGatewayAreAppliedAndReadBack)
{
    ExpectNamespacePassed(RunInNamespaces([](CChildChecks &check) {
        const stAdapterScope scope = VirtualScope();
        if (CreateVethPair("tyxa", "tyxb") != 0) {
            check.Expect(false, "veth pair");
            return;
        }
        std::vector<stNetworkInterface> list;
        check.Expect(ListPhysicalInterfaces(list, scope) == 2, "two interfaces");
        const int32_t first = std::min(if_nametoindex("tyxa"), if_nametoindex("tyxb"));
        check.Expect(FindPhysicalAdapterIndex(0, scope) == first, "first in index order");

        check.Expect(SetAdapterAddress(StaticIpv4(L"10.200.0.23", L"255.255.255.0", L"10.200.0.1"), scope) == 0,
                     "static set");
        stAdapterAddressSettings read;
        check.Expect(GetNetworkAdapters(read, scope) == 0, "read back");
        check.Expect(Field(read.IPAddress) == L"10.200.0.23", "address read back");
        check.Expect(Field(read.SubnetMask) == L"255.255.255.0", "mask read back");
        check.Expect(Field(read.DefaultGateway) == L"10.200.0.1", "gateway read back");
        check.Expect(read.AddressFamily == ADAPTER_FAMILY_IPV4 && read.DHCPEnabled == 0, "family and DHCP flag");
        check.Expect(Field(read.MACAddress).size() == 17 && Field(read.MACAddress)[2] == L':', "MAC text");
        check.Expect(Field(read.MACAddress).find_first_of(L"abcdef") == std::wstring::npos, "MAC upper case");

        // A new address replaces the old one; without a gateway the route stays; without a mask the
        // prefix stays.
        check.Expect(SetAdapterAddress(StaticIpv4(L"10.200.0.24", L"", L""), scope) == 0, "second set");
        check.Expect(GetNetworkAdapters(read, scope) == 0, "second read");
        check.Expect(Field(read.IPAddress) == L"10.200.0.24", "address replaced");
        check.Expect(Field(read.SubnetMask) == L"255.255.255.0", "prefix kept");
        check.Expect(Field(read.DefaultGateway) == L"10.200.0.1", "gateway kept");

        stAdapterAddressSettings dhcp;
        dhcp.AddressFamily = ADAPTER_FAMILY_IPV4;
        dhcp.DHCPEnabled = 1;
        SetField(dhcp.IPAddress, L"not even an address");
        check.Expect(SetAdapterAddress(dhcp, scope) == ADAPTER_DHCP_UNAVAILABLE, "DHCP without a client");
        check.Expect(GetNetworkAdapters(read, scope) == 0 && Field(read.IPAddress) == L"10.200.0.24",
                     "DHCP request left the address");
        // A gateway outside every network on the link is refused by the kernel, and said so.
        check.Expect(SetAdapterAddress(StaticIpv4(L"10.200.0.24", L"255.255.255.0", L"192.0.2.1"), scope) ==
                         ADAPTER_CHANGE_FAILED,
                     "unreachable gateway reported");
    }));
}

// Clears CAP_SYS_ADMIN from this process's effective and permitted sets.
bool DropSystemAdministration()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_TO_INDEX(CAP_SYS_ADMIN)].effective &= ~CAP_TO_MASK(CAP_SYS_ADMIN);
    data[CAP_TO_INDEX(CAP_SYS_ADMIN)].permitted &= ~CAP_TO_MASK(CAP_SYS_ADMIN);
    return syscall(SYS_capset, &header, data) == 0;
}

TEST(NetworkAdaptersTest, ComputerNameIsSetInsideTheTestsOwnNamespace)
{
    CTempDir folder;
    const std::string file = (folder.Path() / "hostname").string();
    ExpectNamespacePassed(RunInNamespaces([&](CChildChecks &check) {
        check.Expect(SetComputerNameFromRC("abcdefghij", file) == 0, "ten characters");
        utsname names{};
        uname(&names);
        check.Expect(std::string(names.nodename) == "KOV_abcdefghij", "host name");
        std::ifstream stored(file);
        std::string line;
        std::getline(stored, line);
        check.Expect(line == "KOV_abcdefghij", "host name file");
        check.Expect(SetComputerNameFromRC("x-1", "") == 0, "without a file");
        uname(&names);
        check.Expect(std::string(names.nodename) == "KOV_x-1", "second name");

        // Without the right to rename, the refusal is a failure, not a success code.
        check.Expect(DropSystemAdministration(), "capability dropped");
        check.Expect(SetComputerNameFromRC("refused", file) == -EPERM, "refusal is negative");
        uname(&names);
        check.Expect(std::string(names.nodename) == "KOV_x-1", "name kept");
    }));
}

} // namespace
