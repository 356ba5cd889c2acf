#include "service/CaptureDeviceList.h"

#include "input/CaptureDevices.h"

namespace {

void PrintMap(CConsoleOutput &console, const char *title, const CaptureDeviceMap &devices)
{
    console.Printf("%s", title);
    for (const auto &[type, list] : devices) {
        console.Printf("Type[%s]:\r\n", type.c_str());
        for (const stCaptureDeviceInfo &device : list)
            console.Printf("\t\"%s\"\r\n", device.name.c_str());
    }
    console.Printf("+---------------------------------------+\r\n");
}

} // namespace

void ListCaptureDevices(CConsoleOutput &console, const std::string &deviceFolder)
{
    console.Printf("+--------------------------------------------------------------+\r\n");
    CaptureDeviceMap audio;
    CaptureDeviceMap video;
    EnumCaptureDevices(audio, video, deviceFolder);
    PrintMap(console, "+++Local fixed AUDIO Capture Device List:\r\n", audio);
    PrintMap(console, "+++Local fixed VIDEO Capture Device List:\r\n", video);
}
