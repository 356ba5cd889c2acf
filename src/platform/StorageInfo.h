#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The host's storage for its environment report, read from /sys, /proc and /dev under a root
// folder ("/" normally, a prepared tree in tests). Results: 0 or a negative errno.

// Bus types, numbered as the storage bus names of the report are.
constexpr int32_t TYX_BUS_UNKNOWN = 0;
constexpr int32_t TYX_BUS_SCSI = 1;
constexpr int32_t TYX_BUS_USB = 7;
constexpr int32_t TYX_BUS_ISCSI = 9;
constexpr int32_t TYX_BUS_SATA = 11;
constexpr int32_t TYX_BUS_SD = 12;
constexpr int32_t TYX_BUS_MMC = 13;
constexpr int32_t TYX_BUS_VIRTUAL = 14;
constexpr int32_t TYX_BUS_NVME = 17;

// One physical drive (a whole disk, not a partition).
struct stPhysicalDrive
{
    std::string name;          // "sda", "nvme0n1", "vda"
    int32_t descriptorError = 0; // 0 when the fields below were read
    int32_t deviceType = 0;    // SCSI peripheral type, 0 (direct access) where the bus has none
    int32_t busType = TYX_BUS_UNKNOWN;
    std::string vendor;
    std::string product;
    std::string serial;
    std::string revision;
    uint64_t sizeBytes = 0;    // 0 when unknown
};
// The physical drives in name order (loop, RAM, device-mapper and compressed RAM devices left out),
// at most 64.
int32_t ListPhysicalDrives(const std::string &root, std::vector<stPhysicalDrive> &drives);

// One mounted block device, at its first mount path.
struct stMountedVolume
{
    std::string mountPath;
    std::string device; // "/dev/vda1"
    std::string fileSystem;
    std::string label;
    uint64_t deviceNumber = 0; // as stat's st_dev gives it
    int32_t sizeError = 0;     // 0 when the sizes were read
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;    // available to unprivileged users
    int32_t driveNumber = -1;  // index into the physical drive list, -1 when not found
};
// The volumes of /proc/self/mountinfo in mount order; drives is the list of ListPhysicalDrives.
int32_t ListMountedVolumes(const std::string &root, const std::vector<stPhysicalDrive> &drives,
                           std::vector<stMountedVolume> &volumes);
// The device number of the file system that holds path, 0 when it cannot be read.
uint64_t DeviceNumberOfPath(const std::string &path);
// The bus type that a device's sysfs path tells.
int32_t BusTypeOfDevicePath(const std::string &devicePath, const std::string &mmcType);
