// The host environment report: processors, memory, operating system and the order of its parts.

#include "service/HostReport.h"

#include "platform/GpuDeviceQuery.h"
#include "platform/HostInfo.h"
#include "service/HostReportLines.h"

#include <cstdio>
#include <map>

namespace {

constexpr uint64_t LOW_MEMORY_KIB = 4194304;     // 4 GiB installed
constexpr uint64_t LOW_AVAILABLE_KIB = 524288;   // 512 MiB available

} // namespace

int32_t ArchitectureCode(const std::string &machine)
{
    if (machine == "x86_64" || machine == "amd64")
        return 9;
    if (machine.rfind("arm", 0) == 0 || machine == "aarch64")
        return 5;
    if (machine == "ia64")
        return 6;
    if (machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0)
        return 0;
    return 0xFFFF;
}

const char *ArchitectureName(int32_t code)
{
    switch (code) {
    case 9: return "x64 (AMD or Intel)";
    case 5: return "ARM";
    case 6: return "Intel Itanium-based";
    case 0: return "x86";
    case 0xFFFF: return "Unknown architecture.";
    default: return "unsupport";
    }
}

std::string GroupedKiB(uint64_t kib)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%3d,%3.3d,%3.3d", static_cast<int>((kib >> 20) & 1023),
                  static_cast<int>((kib >> 10) & 1023), static_cast<int>(kib & 1023));
    return text;
}

std::string GroupedBytes(uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%3d,%3.3d", static_cast<int>((bytes >> 30) & 1023),
                  static_cast<int>((bytes >> 20) & 1023));
    return text;
}

int32_t PrintProcessorTopology(CConsoleOutput &console, const std::string &root)
{
    stCpuTopology topology;
    if (const int32_t error = ReadCpuTopology(root, topology)) {
        console.Printf("\nError %d\n", -error);
        return -4;
    }
    console.Printf("\nGetLogicalProcessorInformation results:\n");
    console.Printf("  Number of NUMA nodes: %d\n", topology.numaNodes);
    console.Printf("  Number of physical processor packages: %d\n", topology.packages);
    console.Printf("  Number of processor cores: %d\n", topology.cores);
    console.Printf("  Number of logical processors: %d\n", topology.logicalProcessors);
    const stCpuCache *caches = topology.caches;
    console.Printf("  Processor cache size/line-size: \n\tL1:%dK/%d, L2:%dK/%d, L3:%dK/%d.\n", caches[0].sizeKiB,
                   caches[0].lineSize, caches[1].sizeKiB, caches[1].lineSize, caches[2].sizeKiB, caches[2].lineSize);
    return topology.logicalProcessors;
}

int32_t PrintCpuAndMemoryInfo(CConsoleOutput &console, const std::string &root)
{
    const uint16_t attributes = console.TextAttribute();
    const char *architecture = ArchitectureName(ArchitectureCode(ReadMachineName()));
    stCpuTopology topology;
    if (ReadCpuTopology(root, topology) == 0 && topology.packages > 0) {
        // A processor package stands for a processor group: there are no groups here.
        console.Write(LONG_SEPARATOR);
        console.Printf("There are %d CPUs fixed on local machine.\r\n", topology.packages);
        console.Printf("Processor architecture is: %s.\r\n", architecture);
        console.Write(SHORT_SEPARATOR);
        int32_t number = 1;
        for (const auto &[package, logical] : topology.logicalPerPackage) {
            (void)package;
            console.Printf("  There are [%d] cores in the [%d] CPU.\r\n", logical, number++);
        }
        console.Write(LONG_SEPARATOR);
    }
    PrintProcessorTopology(console, root);
    console.Write(LONG_SEPARATOR);
    stMemoryInfo memory;
    if (const int32_t error = ReadMemoryInfo(root, memory)) {
        console.Printf("Memory information reading failed with error=%d!\r\n", -error);
    } else {
        if (memory.totalKiB < LOW_MEMORY_KIB)
            console.SetTextAttribute(TYX_ATTR_LIGHT_RED);
        console.Printf("Physically Installed Memory: %s KB.", GroupedKiB(memory.totalKiB).c_str());
        console.SetTextAttribute(attributes);
        if (memory.availableKiB < LOW_AVAILABLE_KIB)
            console.SetTextAttribute(TYX_ATTR_LIGHT_RED);
        console.Printf("\n\t Currently available:%s KB.\r\n", GroupedKiB(memory.availableKiB).c_str());
        console.SetTextAttribute(attributes);
    }
    console.Write("\r\n");
    console.Write(LONG_SEPARATOR);
    return 0;
}

void PrintOsInfo(CConsoleOutput &console, const std::string &root)
{
    stOsInfo os;
    if (ReadOsInfo(root, os) != 0)
        return;
    console.Printf("OS:%s.\r\n", os.prettyName.c_str());
    console.Printf("    version: %d.%d build %d. %s\r\n", os.major, os.minor, os.build, os.version.c_str());
    // The system has no installation folder of its own: it is the root.
    console.Printf("    Installed in:%s.\r\n", "/");
    console.Write(LONG_SEPARATOR);
}

void PrintHostEnvironmentReport(CConsoleOutput &console)
{
    PrintCpuAndMemoryInfo(console);
    PrintStorageInfo(console);
    PrintOsInfo(console);
    CLayerGpuDeviceInfo gpus;
    PrintCudaDevices(console, gpus);
    console.Write(LONG_SEPARATOR);
    console.Write("+------Hardware checking finished------+\r\n");
    console.SetTextAttribute(TYX_ATTR_NORMAL);
}
