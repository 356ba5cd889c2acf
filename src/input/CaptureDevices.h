#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct AVDeviceInfoList;

// One capture device: the name to open, its description, the flags of the input format that lists it.
struct stCaptureDeviceInfo
{
    std::string name;
    std::string description;
    int32_t formatFlags = 0;
};

// Input device format name -> its devices, in the order the format lists them.
using CaptureDeviceMap = std::map<std::string, std::vector<stCaptureDeviceInfo>>;

// Fills both maps with what the host has: V4L2 nodes of deviceFolder and what every other input
// device format lists (formats that list nothing, or cannot, are left out). 0.
int32_t EnumCaptureDevices(CaptureDeviceMap &audio, CaptureDeviceMap &video, const std::string &deviceFolder = "/dev");

// The video<N> nodes of a folder by number. Nodes that answer as something other than a capture
// device are left out; those that cannot be asked (no permission) stay, without description.
std::vector<stCaptureDeviceInfo> ListVideoDeviceNodes(const std::string &folder, int32_t formatFlags);

// Sorts a format's list into the two lists: by the media types a device tells, else by the kind of
// format that listed it (video or audio input device).
void AddListedDevices(const AVDeviceInfoList &list, int32_t formatFlags, bool videoFormat,
                      std::vector<stCaptureDeviceInfo> &audio, std::vector<stCaptureDeviceInfo> &video);

// The "-avcapdvc" text: for each map, audio first, "Type[<format>]:" and each device name quoted.
std::string FormatCaptureDeviceList(const CaptureDeviceMap &audio, const CaptureDeviceMap &video);

// "-avcapdvc": lists the host's capture devices on the console; 0.
int32_t PrintCaptureDevices();
