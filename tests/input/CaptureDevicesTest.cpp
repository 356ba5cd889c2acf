// The capture device listing of "-avcapdvc", on a device folder made by the test.

#include "input/CaptureDevices.h"
#include "support/TempDir.h"

extern "C" {
#include <libavdevice/avdevice.h>
}

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

void Touch(const std::filesystem::path &path)
{
    std::ofstream(path.string()) << "";
}

std::vector<std::string> Names(const std::vector<stCaptureDeviceInfo> &devices)
{
    std::vector<std::string> names;
    for (const auto &device : devices)
        names.push_back(device.name);
    return names;
}

} // namespace

TEST(CaptureDeviceListing, VideoNodesOfTheFolderInNumberOrder)
{
    CTempDir folder;
    for (const char *name : {"video10", "video0", "video2", "vbi0", "videoX", "video", "media0"})
        Touch(folder.File(name));
    std::filesystem::create_directory(folder.File("video3"));
    const auto nodes = ListVideoDeviceNodes(folder.Path().string(), 1);
    const std::string base = folder.Path().string() + "/";
    EXPECT_EQ(Names(nodes), (std::vector<std::string>{base + "video0", base + "video2", base + "video10"}));
    // Nodes that cannot be asked stay listed: the operator may only lack the permission.
    EXPECT_TRUE(nodes[0].description.empty());
    EXPECT_EQ(nodes[0].formatFlags, 1);
    EXPECT_TRUE(ListVideoDeviceNodes(folder.File("missing").string(), 0).empty());
}

TEST(CaptureDeviceListing, HostListingTakesTheFolderAndFillsOnlyNonEmptyLists)
{
    CTempDir folder;
    Touch(folder.File("video0"));
    CaptureDeviceMap audio;
    CaptureDeviceMap video;
    EXPECT_EQ(EnumCaptureDevices(audio, video, folder.Path().string()), 0);
    ASSERT_EQ(video.count("video4linux2,v4l2"), 1u);
    EXPECT_EQ(Names(video["video4linux2,v4l2"]), (std::vector<std::string>{folder.File("video0").string()}));
    for (const auto &[format, devices] : audio)
        EXPECT_FALSE(devices.empty()) << format;
    for (const auto &[format, devices] : video)
        EXPECT_FALSE(devices.empty()) << format;

    CTempDir empty;
    CaptureDeviceMap audio2;
    CaptureDeviceMap video2;
    EnumCaptureDevices(audio2, video2, empty.Path().string());
    EXPECT_EQ(video2.count("video4linux2,v4l2"), 0u);
}

TEST(CaptureDeviceListing, DevicesAreSortedByTheirMediaTypesElseByTheFormatsKind)
{
    AVMediaType both[] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO};
    AVDeviceInfo camera{};
    camera.device_name = const_cast<char *>("cam");
    camera.device_description = const_cast<char *>("Camera with microphone");
    camera.media_types = both;
    camera.nb_media_types = 2;
    AVDeviceInfo untyped{};
    untyped.device_name = const_cast<char *>("plain");
    AVDeviceInfo nameless{};
    AVDeviceInfo *devices[] = {&camera, &untyped, &nameless};
    AVDeviceInfoList list{};
    list.devices = devices;
    list.nb_devices = 3;

    std::vector<stCaptureDeviceInfo> audio;
    std::vector<stCaptureDeviceInfo> video;
    AddListedDevices(list, 1, true, audio, video);
    EXPECT_EQ(Names(video), (std::vector<std::string>{"cam", "plain"}));
    EXPECT_EQ(Names(audio), (std::vector<std::string>{"cam"}));
    EXPECT_EQ(audio[0].description, "Camera with microphone");
    audio.clear();
    video.clear();
    AddListedDevices(list, 0, false, audio, video);
    EXPECT_EQ(Names(audio), (std::vector<std::string>{"cam", "plain"}));
    EXPECT_EQ(Names(video), (std::vector<std::string>{"cam"}));
}

TEST(CaptureDeviceListing, PrintedListGivesAudioFirst)
{
    CaptureDeviceMap audio{{"alsa", {{"default", "Default", 0}, {"null", "", 0}}}};
    CaptureDeviceMap video{{"video4linux2,v4l2", {{"/dev/video0", "Cam", 1}}}};
    EXPECT_EQ(FormatCaptureDeviceList(audio, video),
              "Type[alsa]:\r\n\t\"default\"\r\n\t\"null\"\r\nType[video4linux2,v4l2]:\r\n\t\"/dev/video0\"\r\n");
    EXPECT_EQ(FormatCaptureDeviceList({}, {}), "");
}
