#include "rcm/TYXStatusInfo.h"

#include "config/ConfigKeywords.h"
#include "core/TYXUtils.h"

#include <cstring>
#include <cwchar>

namespace {

std::string BoundedNarrow(const char *text, size_t capacity)
{
    return std::string(text, strnlen(text, capacity));
}

std::string BoundedWide(const wchar_t *text, size_t capacity)
{
    return WStringToString(std::wstring(text, wcsnlen(text, capacity)));
}

std::string LayoutName(int32_t layout)
{
    const auto &names = MuxLayoutNameTableA();
    const auto found = names.find(layout);
    return found == names.end() ? std::string("Unknown.") : found->second;
}

} // namespace

std::string BuildStatusText(const stTYXStatusInfo &status)
{
    std::string text;
    text += "Recording: ";
    text += status.Recording ? "On" : "Off";
    text += "; BCLiving: ";
    text += status.BCLiving ? "On" : "Off";
    text += "; \r\n";
    text += "Mux layout: " + LayoutName(status.MuxLayout);
    text += "; Current Focus Video: " + BoundedNarrow(status.FocusVideo, sizeof(status.FocusVideo));
    text += "; Standalone output: " + BoundedNarrow(status.StandaloneOutput, sizeof(status.StandaloneOutput));
    text += "; \r\n";
    text += "Case No: " + BoundedWide(status.CaseNo, std::size(status.CaseNo));
    text += "; CaseName: " + BoundedWide(status.CaseName, std::size(status.CaseName));
    text += "; \r\n";
    return text;
}

bool StatusInfoFromReply(const std::vector<uint8_t> &reply, stTYXStatusInfo &status)
{
    if (reply.size() < sizeof(status))
        return false;
    std::memcpy(&status, reply.data(), sizeof(status));
    return true;
}
