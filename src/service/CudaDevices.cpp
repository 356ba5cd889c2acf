// The CUDA devices: their part of the host report and the choice of the configured one.

#include "service/HostReport.h"

#include "platform/GpuDeviceQuery.h"
#include "service/HostReportLines.h"

#include <cstring>
#include <strings.h>

namespace {

bool Matches(const stDevDeviceProperties &device, const std::string &name, int64_t luid, int32_t pciBusId,
             int32_t pciDeviceId)
{
    // Where the platform gives no LUID (all zero), the configured one cannot be compared and the
    // next criterion decides.
    if (luid > 0 && device.luid != 0)
        return device.luid == luid;
    if (pciBusId >= 0 && pciDeviceId >= 0)
        return device.pciBusId == pciBusId && device.pciDeviceId == pciDeviceId;
    return !name.empty() && strcasecmp(name.c_str(), device.name) == 0;
}

} // namespace

int32_t CudaCoresPerMultiProcessor(int32_t major, int32_t minor)
{
    struct stCores
    {
        int32_t capability;
        int32_t cores;
    };
    static const stCores table[] = {{0x30, 192}, {0x32, 192}, {0x35, 192}, {0x37, 192}, {0x50, 128}, {0x52, 128},
                                    {0x53, 128}, {0x60, 64},  {0x61, 128}, {0x62, 128}, {0x70, 64},  {0x72, 64},
                                    {0x75, 64},  {0x80, 64},  {0x86, 128}, {0x89, 128}, {0x90, 128}};
    const int32_t capability = major * 16 + minor;
    for (const stCores &entry : table) {
        if (entry.capability == capability)
            return entry.cores;
    }
    return table[sizeof(table) / sizeof(table[0]) - 1].cores;
}

int32_t PrintCudaDevices(CConsoleOutput &console, const IGpuDeviceInfo &gpus)
{
    int32_t count = 0;
    if (const GpuError error = gpus.DeviceCount(count)) {
        console.Printf("CUDA devices could not be counted (error %d): the GPU work runs on the CPU.\r\n", error);
        return -1;
    }
    if (count == 0) {
        console.Printf("There is no CUDA device on local machine: the GPU work runs on the CPU.\r\n");
        return 0;
    }
    console.Printf("There are %d GPU device fixed on local machine.\r\n", count);
    console.Write(SHORT_SEPARATOR);
    for (int32_t device = 0; device < count; ++device) {
        stDevDeviceProperties p;
        if (gpus.DeviceProperties(device, p) != GPU_SUCCESS)
            continue;
        const uint64_t memory = p.totalGlobalMemory;
        console.Printf("The #%d GPU: %s.\r\n", device + 1, p.name);
        console.Printf("  On PCI bus:%d.\t Device Id=%d, luid=%I64d. \r\n", p.pciBusId, p.pciDeviceId,
                       static_cast<long long>(p.luid));
        console.Printf("  Global memory: %d,%3.3d,%3.3d KB.\t Constant memory:%lld KB.\t MemBusWidth:%d bit.\r\n",
                       static_cast<int>((memory >> 30) & 1023), static_cast<int>((memory >> 20) & 1023),
                       static_cast<int>((memory >> 10) & 1023), static_cast<long long>(p.constantMemory / 1024),
                       p.memoryBusWidth);
        console.Printf("  ClockRate:%d KHz.\t MultiProcessors: %d.\t Cudas/MP: %d.\r\n  MaxThreads/MP:%d.\t "
                       "Threads/block: %d.\t Blocks/MP:%d \r\n",
                       p.clockRateKHz / 1000, p.multiProcessors, CudaCoresPerMultiProcessor(p.major, p.minor),
                       p.maxThreadsPerMultiProcessor, p.maxThreadsPerBlock, p.maxBlocksPerMultiProcessor);
    }
    return count;
}

int32_t SelectCudaDevice(std::string name, int64_t luid, int32_t pciBusId, int32_t pciDeviceId,
                         const IGpuDeviceInfo &gpus)
{
    if (name.empty() && luid <= 0 && pciBusId < 0 && pciDeviceId < 0)
        return 0;
    int32_t count = 0;
    if (gpus.DeviceCount(count) != GPU_SUCCESS)
        return -1;
    if (count == 0)
        return -2;
    for (int32_t device = 0; device < count; ++device) {
        stDevDeviceProperties properties;
        if (gpus.DeviceProperties(device, properties) == GPU_SUCCESS &&
            Matches(properties, name, luid, pciBusId, pciDeviceId))
            return device;
    }
    return -1;
}

int32_t SelectCudaDevice(std::string name, int64_t luid, int32_t pciBusId, int32_t pciDeviceId)
{
    CRuntimeGpuDeviceInfo gpus;
    return SelectCudaDevice(std::move(name), luid, pciBusId, pciDeviceId, gpus);
}
