#include "platform/StorageInfo.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string ReadTrimmed(const std::string &path)
{
    std::ifstream file(path);
    std::string text;
    std::getline(file, text);
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string LinkTarget(const std::string &path)
{
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof(target) - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

std::vector<std::string> FolderNames(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool StartsWith(const std::string &text, const char *prefix)
{
    return text.rfind(prefix, 0) == 0;
}

bool IsPhysicalDriveName(const std::string &name)
{
    if (StartsWith(name, "mmcblk"))
        return name.find("boot") == std::string::npos && name.find("rpmb") == std::string::npos;
    return StartsWith(name, "sd") || StartsWith(name, "nvme") || StartsWith(name, "vd") || StartsWith(name, "hd") ||
           StartsWith(name, "xvd");
}

bool IsOctal(char c)
{
    return c >= '0' && c <= '7';
}

// Undoes the octal escapes of /proc mount texts ("\040" for a blank) and udev's "\x20" in labels.
std::string Unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool room = text[i] == '\\' && i + 3 < text.size();
        if (room && text[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else if (room && IsOctal(text[i + 1]) && IsOctal(text[i + 2]) && IsOctal(text[i + 3])) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Device base name -> label, from /dev/disk/by-label.
std::map<std::string, std::string> ReadLabels(const std::string &root)
{
    std::map<std::string, std::string> labels;
    const std::string folder = root + "/dev/disk/by-label";
    for (const std::string &label : FolderNames(folder)) {
        const std::string target = LinkTarget(folder + "/" + label);
        const size_t slash = target.rfind('/');
        if (!target.empty())
            labels[slash == std::string::npos ? target : target.substr(slash + 1)] = Unescape(label);
    }
    return labels;
}

// The whole disk that holds a block device (itself for a whole disk).
std::string ParentDiskName(const std::string &root, const std::string &deviceName)
{
    const std::string link = root + "/sys/class/block/" + deviceName;
    if (access((link + "/partition").c_str(), F_OK) != 0)
        return deviceName;
    std::string target = LinkTarget(link);
    if (target.empty())
        return deviceName;
    target = target.substr(0, target.rfind('/'));
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

} // namespace

int32_t BusTypeOfDevicePath(const std::string &devicePath, const std::string &mmcType)
{
    const auto has = [&](const char *part) { return devicePath.find(part) != std::string::npos; };
    if (has("/usb"))
        return TYX_BUS_USB;
    if (has("/nvme"))
        return TYX_BUS_NVME;
    if (has("/virtio") || has("/vbd-") || has("/xen"))
        return TYX_BUS_VIRTUAL;
    if (has("/ata"))
        return TYX_BUS_SATA;
    if (has("/mmc"))
        return mmcType == "SD" ? TYX_BUS_SD : TYX_BUS_MMC;
    if (has("/session"))
        return TYX_BUS_ISCSI;
    if (has("/host") && has("/target"))
        return TYX_BUS_SCSI;
    return TYX_BUS_UNKNOWN;
}

int32_t ListPhysicalDrives(const std::string &root, std::vector<stPhysicalDrive> &drives)
{
    drives.clear();
    const std::string blockRoot = root + "/sys/block";
    if (access(blockRoot.c_str(), R_OK) != 0)
        return -errno;
    for (const std::string &name : FolderNames(blockRoot)) {
        if (!IsPhysicalDriveName(name) || drives.size() >= 64)
            continue;
        stPhysicalDrive drive;
        drive.name = name;
        const std::string folder = blockRoot + "/" + name;
        const std::string device = folder + "/device";
        char *end = nullptr;
        const std::string sectors = ReadTrimmed(folder + "/size");
        drive.sizeBytes = std::strtoull(sectors.c_str(), &end, 10) * 512;
        if (access(device.c_str(), F_OK) != 0) {
            drive.descriptorError = -ENOENT;
            drives.push_back(drive);
            continue;
        }
        const std::string type = ReadTrimmed(device + "/type");
        drive.deviceType = type.find_first_not_of("0123456789") == std::string::npos && !type.empty()
                               ? std::atoi(type.c_str())
                               : 0;
        const std::string path = LinkTarget(folder);
        drive.busType = BusTypeOfDevicePath(path.empty() ? folder : path, type);
        drive.vendor = ReadTrimmed(device + "/vendor");
        drive.product = ReadTrimmed(device + "/model");
        drive.serial = ReadTrimmed(folder + "/serial");
        if (drive.serial.empty())
            drive.serial = ReadTrimmed(device + "/serial");
        drive.revision = ReadTrimmed(device + "/rev");
        if (drive.revision.empty())
            drive.revision = ReadTrimmed(device + "/firmware_rev");
        drives.push_back(drive);
    }
    return 0;
}

int32_t ListMountedVolumes(const std::string &root, const std::vector<stPhysicalDrive> &drives,
                           std::vector<stMountedVolume> &volumes)
{
    volumes.clear();
    std::ifstream mounts(root + "/proc/self/mountinfo");
    if (!mounts)
        return -ENOENT;
    const std::map<std::string, std::string> labels = ReadLabels(root);
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, mountRoot, mountPath, field, fileSystem, source;
        fields >> id >> parent >> numbers >> mountRoot >> mountPath;
        while (fields >> field && field != "-") {
        }
        fields >> fileSystem >> source;
        if (!StartsWith(source, "/dev/"))
            continue;
        const unsigned major = static_cast<unsigned>(std::strtoul(numbers.c_str(), nullptr, 10));
        const size_t colon = numbers.find(':');
        const unsigned minor =
            colon == std::string::npos ? 0 : static_cast<unsigned>(std::strtoul(numbers.c_str() + colon + 1, nullptr, 10));
        const uint64_t number = makedev(major, minor);
        if (std::any_of(volumes.begin(), volumes.end(), [&](const stMountedVolume &v) { return v.deviceNumber == number; }))
            continue;
        stMountedVolume volume;
        volume.mountPath = Unescape(mountPath);
        volume.device = Unescape(source);
        volume.fileSystem = fileSystem;
        volume.deviceNumber = number;
        const std::string base = volume.device.substr(volume.device.rfind('/') + 1);
        if (const auto label = labels.find(base); label != labels.end())
            volume.label = label->second;
        const std::string disk = ParentDiskName(root, base);
        for (size_t i = 0; i < drives.size(); ++i) {
            if (drives[i].name == disk)
                volume.driveNumber = static_cast<int32_t>(i);
        }
        struct statvfs sizes{};
        if (statvfs((root + volume.mountPath).c_str(), &sizes) == 0) {
            volume.totalBytes = static_cast<uint64_t>(sizes.f_blocks) * sizes.f_frsize;
            volume.freeBytes = static_cast<uint64_t>(sizes.f_bavail) * sizes.f_frsize;
        } else {
            volume.sizeError = -errno;
        }
        volumes.push_back(volume);
    }
    return 0;
}

uint64_t DeviceNumberOfPath(const std::string &path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_dev) : 0;
}
