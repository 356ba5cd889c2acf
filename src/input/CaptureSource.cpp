#include "input/CaptureSource.h"

#include "input/CaptureDevices.h"

extern "C" {
#include <libavutil/error.h>
}

#include <cctype>
#include <regex>

namespace {

bool HasControlCharacters(const std::string &text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

bool StartsWith(const std::string &text, const char *prefix, std::string &rest)
{
    const std::string head(prefix);
    if (text.compare(0, head.size(), head) != 0)
        return false;
    rest = text.substr(head.size());
    return true;
}

bool IsDevicePath(const std::string &path)
{
    static const std::regex pattern("/dev/[A-Za-z0-9._:+/-]+");
    return std::regex_match(path, pattern) && path.find("..") == std::string::npos && path.find("//") == std::string::npos;
}

bool IsX11Screen(const std::string &screen)
{
    // Local displays only: ":display[.screen][+x,y]".
    static const std::regex pattern(":[0-9]{1,4}(\\.[0-9]{1,2})?(\\+[0-9]{1,5},[0-9]{1,5})?");
    return std::regex_match(screen, pattern);
}

bool IsSoundDeviceName(const std::string &name)
{
    // PCM and source names: "default", "plughw:CARD=PCH,DEV=0", "alsa_input.pci-0000_00_1f.3.analog-stereo".
    static const std::regex pattern("[A-Za-z0-9_][A-Za-z0-9_.,:=-]{0,254}");
    return std::regex_match(name, pattern);
}

int32_t ResolveCardName(const std::string &name, const std::string &deviceFolder, stCaptureSource &source)
{
    for (const stCaptureDeviceInfo &node : ListVideoDeviceNodes(deviceFolder, 0)) {
        if (node.description == name) {
            source = {"v4l2", node.name};
            return 0;
        }
    }
    return AVERROR(ENOENT);
}

int32_t ResolveVideo(const std::string &name, const std::string &deviceFolder, stCaptureSource &source)
{
    std::string rest;
    if (StartsWith(name, "x11grab:", rest)) {
        if (!IsX11Screen(rest))
            return TYX_CAPTURE_BAD_NAME;
        source = {"x11grab", rest};
        return 0;
    }
    if (StartsWith(name, "v4l2:", rest) || (rest = name, !name.empty() && name[0] == '/')) {
        if (!IsDevicePath(rest))
            return TYX_CAPTURE_BAD_NAME;
        source = {"v4l2", rest};
        return 0;
    }
    // A card name may hold spaces and punctuation, never a path.
    if (name.find('/') != std::string::npos)
        return TYX_CAPTURE_BAD_NAME;
    return ResolveCardName(name, deviceFolder, source);
}

int32_t ResolveAudio(const std::string &name, stCaptureSource &source)
{
    std::string rest;
    std::string format = "alsa";
    if (StartsWith(name, "pulse:", rest))
        format = "pulse";
    else if (!StartsWith(name, "alsa:", rest))
        rest = name;
    if (!IsSoundDeviceName(rest))
        return TYX_CAPTURE_BAD_NAME;
    source = {format, rest};
    return 0;
}

} // namespace

std::string PrintableDeviceName(const std::string &name)
{
    std::string printable = name.substr(0, TYX_CAPTURE_NAME_MAX);
    for (char &c : printable) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return printable;
}

int32_t ResolveCaptureSource(const std::string &name, bool video, bool allowTestSources, const std::string &deviceFolder,
                             stCaptureSource &source)
{
    source = {};
    if (name.empty() || name.size() > TYX_CAPTURE_NAME_MAX || HasControlCharacters(name))
        return TYX_CAPTURE_BAD_NAME;
    std::string rest;
    const bool graph = StartsWith(name, "lavfi:", rest);
    if (graph || StartsWith(name, "file:", rest)) {
        if (!allowTestSources)
            return TYX_CAPTURE_NOT_ALLOWED;
        if (rest.empty())
            return TYX_CAPTURE_BAD_NAME;
        source = {graph ? "lavfi" : "", rest};
        return 0;
    }
    return video ? ResolveVideo(name, deviceFolder, source) : ResolveAudio(name, source);
}
