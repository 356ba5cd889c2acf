#include "service/HostReport.h"

#include "platform/GpuDeviceQuery.h"
#include "support/ChildTestSupport.h"
#include "support/PseudoTerminal.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void Write(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// What a report part printed on a plain file (no escapes).
std::string Capture(const std::function<void(CConsoleOutput &)> &print)
{
    CTempDir dir;
    const int fd = open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    CConsoleOutput console(fd);
    print(console);
    close(fd);
    return ReadTextFile(dir.File("out"));
}

// What it wrote to a terminal, escapes included.
std::string CaptureTerminal(const std::function<void(CConsoleOutput &)> &print)
{
    CPseudoTerminal pty(120, 40);
    CConsoleOutput console(pty.Slave());
    print(console);
    return pty.Finish();
}

bool Has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// A host of two processor packages (four logical processors, three cores), two NUMA nodes and
// 16 GiB of memory.
class HostReportTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const fs::path cpu = root.Path() / "sys/devices/system/cpu";
        Write(cpu / "online", "0-3\n");
        const int packages[] = {0, 0, 1, 1, 1};
        const int cores[] = {0, 0, 0, 1, 2};
        for (int n = 0; n < 5; ++n) { // cpu4 is offline
            Write(cpu / ("cpu" + std::to_string(n)) / "topology/physical_package_id", std::to_string(packages[n]));
            Write(cpu / ("cpu" + std::to_string(n)) / "topology/core_id", std::to_string(cores[n]));
        }
        const fs::path cache = cpu / "cpu0/cache";
        const char *caches[][4] = {{"1", "Data", "48K", "64"}, {"1", "Instruction", "32K", "64"},
                                   {"2", "Unified", "1280K", "64"}, {"3", "Unified", "30M", "64"}};
        for (int i = 0; i < 4; ++i) {
            const fs::path index = cache / ("index" + std::to_string(i));
            Write(index / "level", caches[i][0]);
            Write(index / "type", caches[i][1]);
            Write(index / "size", caches[i][2]);
            Write(index / "coherency_line_size", caches[i][3]);
        }
        fs::create_directories(root.Path() / "sys/devices/system/node/node0");
        fs::create_directories(root.Path() / "sys/devices/system/node/node1");
        Memory(16777216, 400000);
        Write(root.Path() / "etc/os-release", "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
        Write(root.Path() / "proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
        Write(root.Path() / "proc/sys/kernel/version", "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1\n");
    }

    void Memory(uint64_t totalKiB, uint64_t availableKiB)
    {
        Write(root.Path() / "proc/meminfo", "MemTotal:       " + std::to_string(totalKiB) +
                                                " kB\nMemFree:  1 kB\nMemAvailable:   " + std::to_string(availableKiB) +
                                                " kB\n");
    }

    // A disk under sys/devices with its link in sys/block.
    fs::path Disk(const std::string &name, const std::string &devicePath, uint64_t sectors)
    {
        const fs::path device = root.Path() / "sys/devices" / devicePath / "block" / name;
        Write(device / "size", std::to_string(sectors));
        fs::create_directories(root.Path() / "sys/block");
        fs::create_directory_symlink("../devices/" + devicePath + "/block/" + name, root.Path() / "sys/block" / name);
        return device;
    }

    std::string Root() const { return root.Path().string(); }

    CTempDir root;
};

TEST_F(HostReportTest, ProcessorsCachesAndMemoryInPowerOfTwoGroups)
{
    const std::string text = Capture([&](CConsoleOutput &console) {
        EXPECT_EQ(PrintProcessorTopology(console, Root()), 4);
        PrintCpuAndMemoryInfo(console, Root());
    });
    EXPECT_TRUE(Has(text, "There are 2 CPUs fixed on local machine.\r\n"));
    EXPECT_TRUE(Has(text, "  There are [2] cores in the [1] CPU.\r\n  There are [2] cores in the [2] CPU.\r\n"));
    EXPECT_TRUE(Has(text, "  Number of NUMA nodes: 2\n  Number of physical processor packages: 2\n"
                          "  Number of processor cores: 3\n  Number of logical processors: 4\n"));
    EXPECT_TRUE(Has(text, "\tL1:48K/64, L2:1280K/64, L3:30720K/64.\n"));
    EXPECT_TRUE(Has(text, "Physically Installed Memory:  16,000,000 KB.\n\t Currently available:  0,390,640 KB.\r\n"));
    EXPECT_FALSE(Has(text, "\x1b"));
}

TEST_F(HostReportTest, LowMemoryIsRedOnATerminal)
{
    Memory(1572864, 1048576);
    const std::string text = CaptureTerminal([&](CConsoleOutput &console) { PrintCpuAndMemoryInfo(console, Root()); });
    EXPECT_TRUE(Has(text, "\x1b[0;91mPhysically Installed Memory:   1,512,000 KB.\x1b[0m"));
    EXPECT_TRUE(Has(text, "\x1b[0m\n\t Currently available:  1,000,000 KB."));
    EXPECT_EQ(GroupedKiB(16777216), " 16,000,000");
    EXPECT_EQ(GroupedBytes(uint64_t{3} << 30 | uint64_t{5} << 20), "  3,005");
}

TEST_F(HostReportTest, UnreadablePartsSayWhyAndTheReportGoesOn)
{
    CTempDir empty;
    const std::string text = Capture([&](CConsoleOutput &console) {
        EXPECT_EQ(PrintProcessorTopology(console, empty.Path().string()), -4);
        PrintCpuAndMemoryInfo(console, empty.Path().string());
        EXPECT_EQ(PrintStorageInfo(console, empty.Path().string(), empty.Path().string()), 0);
        PrintOsInfo(console, empty.Path().string());
    });
    EXPECT_TRUE(Has(text, "\nError 2\n"));
    EXPECT_TRUE(Has(text, "Memory information reading failed with error=2!"));
    EXPECT_TRUE(Has(text, "Storage device listing failed"));
    EXPECT_TRUE(Has(text, "FindFirstVolumeW failed with error code 2\n"));
    EXPECT_TRUE(Has(text, "OS:.\r\n")); // no os-release: the kernel's own version still shows
}

TEST_F(HostReportTest, DrivesAndVolumesWithTheirBusesLabelsAndDisks)
{
    const fs::path sda = Disk("sda", "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", 2000409264);
    Write(sda / "device/type", "0");
    Write(sda / "device/vendor", "ATA     ");
    Write(sda / "device/model", "Samsung SSD 870 ");
    Write(sda / "device/rev", "1B6Q");
    const fs::path nvme = Disk("nvme0n1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", 1000215216);
    Write(nvme / "device/model", "WD Blue SN570");
    Write(nvme / "device/serial", "   2141AB ");
    Write(nvme / "device/firmware_rev", "234110WD");
    fs::create_directories(root.Path() / "sys/block/sdb");   // a disk the kernel gives no device for
    Write(root.Path() / "sys/block/sdb/size", "0");
    fs::create_directories(root.Path() / "sys/block/loop0"); // not a physical drive
    // The partition of the program's volume and its label; the volume has the test folder's device.
    Write(sda / "sda1/partition", "1");
    fs::create_directories(root.Path() / "sys/class/block");
    fs::create_directory_symlink("../../devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda1",
                                 root.Path() / "sys/class/block/sda1");
    fs::create_directories(root.Path() / "dev/disk/by-label");
    fs::create_symlink("../../sda1", root.Path() / "dev/disk/by-label/Media\\x20Disk");
    struct stat info{};
    ASSERT_EQ(stat(Root().c_str(), &info), 0);
    const std::string number = std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
    fs::create_directories(root.Path() / "srv/media files");
    Write(root.Path() / "proc/self/mountinfo",
          "21 26 0:20 / /proc rw - proc proc rw\n"
          "26 1 " + number + " / / rw - ext4 /dev/sda1 rw\n"
          "27 26 259:1 / /srv/media\\040files rw - xfs /dev/nvme0n1p1 rw\n"
          "28 26 259:9 / /gone rw - xfs /dev/nvme0n1p2 rw\n");

    const std::string terminal = CaptureTerminal([&](CConsoleOutput &console) {
        EXPECT_EQ(PrintStorageInfo(console, Root(), Root()), 3);
    });
    const std::string text = Capture([&](CConsoleOutput &console) { PrintStorageInfo(console, Root(), Root()); });
    EXPECT_TRUE(Has(text, "Storage device [0]:\n\tDevice Type:0\tBus type:Nvme.\n\tProductId:WD Blue SN570"
                          "\n\tProductSN:2141AB\n\tProductRevision:234110WD. \n\tDisk size = 488386 MB. \n"));
    EXPECT_TRUE(Has(text, "Storage device [1]:\n\tDevice Type:0\tBus type:Sata.\n\tVendorName:ATA"
                          "\n\tProductId:Samsung SSD 870\n\tProductRevision:1B6Q. \n\tDisk size = 976762 MB. \n"));
    EXPECT_TRUE(Has(text, "Storage device [2]:\nSTORAGE_QUERY_PROPERTY for drive#2 failed with Error=2!\n"));
    EXPECT_FALSE(Has(text, "loop0"));
    EXPECT_TRUE(Has(text, "   /         Media Di    ext4  "));
    EXPECT_TRUE(Has(text, "        1.\r\n"));        // the root volume lies on drive 1 (sda)
    EXPECT_TRUE(Has(text, "   /srv/m                xfs   ")) << text;
    EXPECT_TRUE(Has(text, "   /gone: size reading failed with error code 2\r\n"));
    // The program's volume in green (it has room).
    EXPECT_TRUE(Has(terminal, "\x1b[0;92m   /         Media Di"));
}

TEST_F(HostReportTest, OperatingSystemFromOsReleaseAndTheKernel)
{
    const std::string text = Capture([&](CConsoleOutput &console) { PrintOsInfo(console, Root()); });
    EXPECT_EQ(text.substr(0, text.find("+")), "OS:Debian GNU/Linux 12 (bookworm).\r\n"
                                              "    version: 6.1 build 0. #1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1\r\n"
                                              "    Installed in:/.\r\n");
}

TEST(HostReportTablesTest, NamesAndCoresByCode)
{
    EXPECT_STREQ(StorageBusTypeName(18), "Unknown");
    EXPECT_STREQ(StorageBusTypeName(9), "Scsi");
    EXPECT_STREQ(StorageBusTypeName(-1), "Unknown");
    EXPECT_STREQ(ArchitectureName(7), "unsupport");
    EXPECT_STREQ(ArchitectureName(ArchitectureCode("x86_64")), "x64 (AMD or Intel)");
    EXPECT_STREQ(ArchitectureName(ArchitectureCode("aarch64")), "ARM");
    EXPECT_STREQ(ArchitectureName(ArchitectureCode("i686")), "x86");
    EXPECT_STREQ(ArchitectureName(ArchitectureCode("riscv64")), "Unknown architecture.");
    EXPECT_EQ(CudaCoresPerMultiProcessor(8, 9), 128);
    EXPECT_EQ(CudaCoresPerMultiProcessor(10, 0), 128);
    EXPECT_EQ(CudaCoresPerMultiProcessor(3, 0), 192);
    EXPECT_EQ(CudaCoresPerMultiProcessor(6, 0), 64);
    EXPECT_EQ(CudaCoresPerMultiProcessor(7, 5), 64);
}

// The devices a test describes.
class CFakeGpus final : public IGpuDeviceInfo
{
public:
    GpuError DeviceCount(int32_t &count) const override
    {
        ++counts;
        count = static_cast<int32_t>(devices.size());
        return countError;
    }
    GpuError DeviceProperties(int32_t device, stDevDeviceProperties &properties) const override
    {
        if (device < 0 || device >= static_cast<int32_t>(devices.size()) || devices[device].name[0] == '\0')
            return GPU_ERROR_INVALID_DEVICE;
        properties = devices[device];
        return GPU_SUCCESS;
    }
    void Add(const char *name, int64_t luid, int32_t bus, int32_t device)
    {
        stDevDeviceProperties p;
        std::strncpy(p.name, name, sizeof(p.name) - 1);
        p.luid = luid;
        p.pciBusId = bus;
        p.pciDeviceId = device;
        devices.push_back(p);
    }

    std::vector<stDevDeviceProperties> devices;
    GpuError countError = GPU_SUCCESS;
    mutable int counts = 0;
};

TEST(CudaDevicesTest, TheReportListsReadableDevicesOrSaysThereAreNone)
{
    CFakeGpus gpus;
    gpus.Add("", 0, 0, 0); // its properties cannot be read: skipped
    gpus.Add("NVIDIA RTX 4000 Ada", 0, 1, 0);
    stDevDeviceProperties &p = gpus.devices[1];
    p.totalGlobalMemory = uint64_t{20} << 30 | uint64_t{3} << 20;
    p.constantMemory = 65536;
    p.memoryBusWidth = 160;
    p.clockRateKHz = 2175000;
    p.multiProcessors = 48;
    p.major = 8;
    p.minor = 9;
    p.maxThreadsPerMultiProcessor = 1536;
    p.maxThreadsPerBlock = 1024;
    p.maxBlocksPerMultiProcessor = 24;
    std::string text = Capture([&](CConsoleOutput &console) { EXPECT_EQ(PrintCudaDevices(console, gpus), 2); });
    EXPECT_FALSE(Has(text, "The #1 GPU"));
    EXPECT_TRUE(Has(text, "The #2 GPU: NVIDIA RTX 4000 Ada.\r\n  On PCI bus:1.\t Device Id=0, luid=0. \r\n"
                          "  Global memory: 20,003,000 KB.\t Constant memory:64 KB.\t MemBusWidth:160 bit.\r\n"
                          "  ClockRate:2175 KHz.\t MultiProcessors: 48.\t Cudas/MP: 128.\r\n"
                          "  MaxThreads/MP:1536.\t Threads/block: 1024.\t Blocks/MP:24 \r\n"));

    CFakeGpus none;
    text = Capture([&](CConsoleOutput &console) { EXPECT_EQ(PrintCudaDevices(console, none), 0); });
    EXPECT_TRUE(Has(text, "There is no CUDA device on local machine"));
    none.countError = 35;
    text = Capture([&](CConsoleOutput &console) { EXPECT_EQ(PrintCudaDevices(console, none), -1); });
    EXPECT_TRUE(Has(text, "could not be counted (error 35)"));
}

TEST(CudaDevicesTest, TheConfiguredGpuIsFoundByLuidPciNumbersOrName)
{
    CFakeGpus gpus;
    gpus.Add("Tesla T4", 0, 3, 0);
    gpus.Add("NVIDIA A2", 0, 3, 1);
    gpus.Add("NVIDIA L4", 77, 5, 0);
    EXPECT_EQ(SelectCudaDevice("", 0, -1, -1, gpus), 0);
    EXPECT_EQ(gpus.counts, 0); // the empty item asks nothing
    EXPECT_EQ(SelectCudaDevice("nvidia a2", 0, 3, -1, gpus), 1);    // one PCI number: by name
    EXPECT_EQ(SelectCudaDevice("NVIDIA L4", 0, 3, 0, gpus), 0);     // both PCI numbers: the name is ignored
    EXPECT_EQ(SelectCudaDevice("", 77, -1, -1, gpus), 2);           // by LUID where the device has one
    EXPECT_EQ(SelectCudaDevice("", 99, 3, 1, gpus), 1);             // devices without a LUID: PCI numbers
    EXPECT_EQ(SelectCudaDevice("GeForce", 0, -1, -1, gpus), -1);
    CFakeGpus none;
    EXPECT_EQ(SelectCudaDevice("Tesla T4", 0, -1, -1, none), -2);
    none.countError = 35;
    EXPECT_EQ(SelectCudaDevice("Tesla T4", 0, -1, -1, none), -1);
}

TEST(HostReportOnThisMachineTest, ProcessorsAndMemoryMatchTheKernelsFigures)
{
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t totalKiB = 0;
    meminfo >> key >> totalKiB;
    ASSERT_EQ(key, "MemTotal:");
    const std::string text = Capture([&](CConsoleOutput &console) {
        EXPECT_EQ(PrintProcessorTopology(console), online);
        PrintCpuAndMemoryInfo(console);
        PrintHostEnvironmentReport(console);
    });
    EXPECT_TRUE(Has(text, "  Number of logical processors: " + std::to_string(online) + "\n"));
    EXPECT_TRUE(Has(text, "Physically Installed Memory: " + GroupedKiB(totalKiB) + " KB."));
    EXPECT_TRUE(Has(text, "Storage device list on local machine:\r\n"));
    EXPECT_TRUE(Has(text, "+------Hardware checking finished------+\r\n"));
}

} // namespace
