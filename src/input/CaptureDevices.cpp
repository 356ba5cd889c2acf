#include "input/CaptureDevices.h"

#include "core/TYXUtils.h"
#include "platform/VideoDeviceNode.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

namespace {

constexpr const char *kV4l2Name = "video4linux2,v4l2";

// The number of a "video<N>" entry, -1 for any other name.
long VideoNodeNumber(const std::string &name)
{
    if (name.size() <= 5 || name.compare(0, 5, "video") != 0)
        return -1;
    const std::string digits = name.substr(5);
    if (digits.size() > 6 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return std::strtol(digits.c_str(), nullptr, 10);
}

std::string Text(const char *text)
{
    return text ? std::string(text) : std::string();
}

struct stAvDeviceList
{
    AVDeviceInfoList *list = nullptr;
    ~stAvDeviceList() { avdevice_free_list_devices(&list); }
};

void ListFormat(const AVInputFormat *format, bool videoFormat, CaptureDeviceMap &audioMap, CaptureDeviceMap &videoMap,
                const std::string &deviceFolder)
{
    std::vector<stCaptureDeviceInfo> audio;
    std::vector<stCaptureDeviceInfo> video;
    if (std::strcmp(format->name, kV4l2Name) == 0) {
        // The folder is ours to choose, so that the listing can be checked without hardware.
        video = ListVideoDeviceNodes(deviceFolder, format->flags);
    } else {
        stAvDeviceList listed;
        if (avdevice_list_input_sources(format, nullptr, nullptr, &listed.list) < 0 || !listed.list)
            return;
        AddListedDevices(*listed.list, format->flags, videoFormat, audio, video);
    }
    if (!video.empty())
        videoMap[format->name] = std::move(video);
    if (!audio.empty())
        audioMap[format->name] = std::move(audio);
}

} // namespace

std::vector<stCaptureDeviceInfo> ListVideoDeviceNodes(const std::string &folder, int32_t formatFlags)
{
    std::vector<std::pair<long, std::string>> nodes;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        const long number = VideoNodeNumber(name);
        if (number >= 0 && !entry.is_directory(error))
            nodes.emplace_back(number, entry.path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<stCaptureDeviceInfo> devices;
    for (const auto &[number, path] : nodes) {
        std::string card;
        if (QueryVideoDeviceNode(path, card) == 0)
            continue;
        devices.push_back({path, card, formatFlags});
    }
    return devices;
}

void AddListedDevices(const AVDeviceInfoList &list, int32_t formatFlags, bool videoFormat,
                      std::vector<stCaptureDeviceInfo> &audio, std::vector<stCaptureDeviceInfo> &video)
{
    for (int i = 0; i < list.nb_devices; ++i) {
        const AVDeviceInfo *device = list.devices ? list.devices[i] : nullptr;
        if (!device || !device->device_name)
            continue;
        const stCaptureDeviceInfo info{device->device_name, Text(device->device_description), formatFlags};
        bool offersVideo = false;
        bool offersAudio = false;
        for (int t = 0; t < device->nb_media_types && device->media_types; ++t) {
            offersVideo = offersVideo || device->media_types[t] == AVMEDIA_TYPE_VIDEO;
            offersAudio = offersAudio || device->media_types[t] == AVMEDIA_TYPE_AUDIO;
        }
        if (!offersVideo && !offersAudio) {
            offersVideo = videoFormat;
            offersAudio = !videoFormat;
        }
        if (offersVideo)
            video.push_back(info);
        if (offersAudio)
            audio.push_back(info);
    }
}

int32_t EnumCaptureDevices(CaptureDeviceMap &audio, CaptureDeviceMap &video, const std::string &deviceFolder)
{
    avdevice_register_all();
    // Sound devices are audio input formats of their own here; walk both kinds, each format once.
    std::set<std::string> seen;
    for (const AVInputFormat *format = av_input_video_device_next(nullptr); format;
         format = av_input_video_device_next(format)) {
        if (seen.insert(format->name).second)
            ListFormat(format, true, audio, video, deviceFolder);
    }
    for (const AVInputFormat *format = av_input_audio_device_next(nullptr); format;
         format = av_input_audio_device_next(format)) {
        if (seen.insert(format->name).second)
            ListFormat(format, false, audio, video, deviceFolder);
    }
    return 0;
}

std::string FormatCaptureDeviceList(const CaptureDeviceMap &audio, const CaptureDeviceMap &video)
{
    std::string text;
    for (const CaptureDeviceMap *map : {&audio, &video}) {
        for (const auto &[format, devices] : *map) {
            text += "Type[" + format + "]:\r\n";
            for (const stCaptureDeviceInfo &device : devices)
                text += "\t\"" + device.name + "\"\r\n";
        }
    }
    return text;
}

int32_t PrintCaptureDevices()
{
    CaptureDeviceMap audio;
    CaptureDeviceMap video;
    EnumCaptureDevices(audio, video);
    const std::string text = FormatCaptureDeviceList(audio, video);
    ConsolePrintf("%s", text.c_str());
    return 0;
}
