#include "config/GTYXConfigXml.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"

namespace {

using SectionLoader = int32_t (*)(const std::wstring &path);

struct stSectionLoader
{
    const wchar_t *announcement;
    SectionLoader load;
};

// The fixed order: every section names only workers of the sections before it.
const stSectionLoader kSectionLoaders[] = {
    {L"\t\t Loading media source readers configurations...", LoadMSReadersConfigXml},
    {L"\t\t Loading video decoders configurations...", LoadVideoDecodersConfigXml},
    {L"\t\t Loading audio decoders configurations...", LoadAudioDecodersConfigXml},
    {L"\t\t Loading video-mid-processors configurations...", LoadVMPsConfigXml},
    {L"\t\t Loading video encoders configurations...", LoadVideoEncodersConfigXml},
    {L"\t\t Loading audio encoders configurations...", LoadAudioEncodersConfigXml},
    {L"\t\t Loading media writers configurations...", LoadMWritersConfigXml},
};

} // namespace

int32_t LoadWorkersConfigXml(const wchar_t *path)
{
    if (!path)
        return -1;
    const std::wstring file = path;
    CTYXGVMS::LoadSeqCounter() = 0;
    const bool print = CTYXWorker::IsProcessScreenOutputOn();
    int32_t total = 0;
    for (const stSectionLoader &section : kSectionLoaders) {
        if (print)
            ConsolePrintfW(L"%s", section.announcement);
        const int32_t result = section.load(file);
        const int32_t loaded = result < 0 ? 0 : result;
        if (print)
            ConsolePrintfW(L"[%d] loaded.\n", loaded);
        total += loaded;
    }
    return total;
}
