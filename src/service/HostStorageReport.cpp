// The host report's storage part: physical drives, then the mounted volumes.

#include "service/HostReport.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "platform/ProcessTable.h"
#include "platform/StorageInfo.h"
#include "service/HostReportLines.h"

#include <filesystem>

namespace {

constexpr uint64_t LOW_FREE_BYTES = 536870912; // 512 MiB free on the program's volume

void PrintDrive(CConsoleOutput &console, int32_t number, const stPhysicalDrive &drive)
{
    console.Printf("Storage device [%d]:\n", number);
    if (drive.descriptorError != 0) {
        console.Printf("STORAGE_QUERY_PROPERTY for drive#%d failed with Error=%ld!\n", number, -drive.descriptorError);
    } else {
        std::string text = "\tDevice Type:" + std::to_string(drive.deviceType) + "\tBus type:" +
                           StorageBusTypeName(drive.busType) + ".";
        const auto append = [&](const char *label, const std::string &value) {
            if (!value.empty())
                text += std::string(label) + value;
        };
        append("\n\tVendorName:", drive.vendor);
        append("\n\tProductId:", drive.product);
        append("\n\tProductSN:", drive.serial);
        append("\n\tProductRevision:", drive.revision);
        console.Printf("%s. \n", text.c_str());
    }
    if (drive.sizeBytes > 0)
        console.Printf("\tDisk size = %I64d MB. \n", static_cast<long long>(drive.sizeBytes / 1048576));
}

std::string ProgramFolderPath(const std::string &programFolder)
{
    if (!programFolder.empty())
        return programFolder;
    const std::wstring &folder = CTYXGVMS::ProgramFolder();
    if (!folder.empty())
        return WStringToString(folder);
    return std::filesystem::path(OwnProgramPath()).parent_path().string();
}

void PrintVolumes(CConsoleOutput &console, const std::string &root, const std::vector<stPhysicalDrive> &drives,
                  const std::string &programFolder)
{
    console.Printf("Logic drive list:\r\n");
    console.Write(LONG_SEPARATOR);
    console.Printf("  [Drive]    [Label]    [Format]    [Size]          [Free]        [Storage]\r\n");
    std::vector<stMountedVolume> volumes;
    if (const int32_t error = ListMountedVolumes(root, drives, volumes)) {
        console.Printf("FindFirstVolumeW failed with error code %d\n", -error);
        return;
    }
    const uint64_t programDevice = DeviceNumberOfPath(ProgramFolderPath(programFolder));
    const uint16_t attributes = console.TextAttribute();
    for (const stMountedVolume &volume : volumes) {
        if (volume.sizeError != 0) {
            // One unreadable volume (another user's mount) does not end the list.
            console.Printf("   %s: size reading failed with error code %d\r\n", volume.mountPath.c_str(),
                           -volume.sizeError);
            continue;
        }
        const bool own = programDevice != 0 && volume.deviceNumber == programDevice;
        if (own)
            console.SetTextAttribute(volume.freeBytes < LOW_FREE_BYTES ? TYX_ATTR_LIGHT_RED : TYX_ATTR_LIGHT_GREEN);
        console.Printf("   %-6.6s    %-8.8s    %-6.6s    %-8.8s MB.    %-8.8s MB        %d.\r\n", volume.mountPath.c_str(),
                       volume.label.c_str(), volume.fileSystem.c_str(), GroupedBytes(volume.totalBytes).c_str(),
                       GroupedBytes(volume.freeBytes).c_str(), volume.driveNumber);
        if (own)
            console.SetTextAttribute(attributes);
    }
}

} // namespace

const char *StorageBusTypeName(int32_t busType)
{
    static const char *const names[] = {"Unknown", "Scsi", "Atapi", "Ata", "1394", "Ssa", "Fibre", "Usb", "RAID",
                                        "Scsi", "Sas", "Sata", "Sd", "Mmc", "Virtual", "FileBackedVirtual", "Spaces",
                                        "Nvme"};
    if (busType < 0 || busType >= static_cast<int32_t>(sizeof(names) / sizeof(names[0])))
        return "Unknown";
    return names[busType];
}

int32_t PrintStorageInfo(CConsoleOutput &console, const std::string &root, const std::string &programFolder)
{
    console.Write("\r\n");
    console.Write(LONG_SEPARATOR);
    console.Printf("Storage device list on local machine:\r\n");
    console.Write(LONG_SEPARATOR);
    std::vector<stPhysicalDrive> drives;
    if (const int32_t error = ListPhysicalDrives(root, drives))
        console.Printf("Storage device listing failed with error=%d!\n", -error);
    for (size_t i = 0; i < drives.size(); ++i)
        PrintDrive(console, static_cast<int32_t>(i), drives[i]);
    console.Write(LONG_SEPARATOR);
    PrintVolumes(console, root, drives, programFolder);
    console.Write(LONG_SEPARATOR);
    console.Write("\r\n");
    return static_cast<int32_t>(drives.size());
}
