#include "config/GTYXConfigXml.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"

namespace {

using SectionLoader = int32_t (*)(const std::wstring &path);

struct stSectionLoader
{
    const wchar_t *announcement;
    SectionLoader load;
    size_t (*registered)(); // the records of the section's registry
};

template <typename Record, WorkerConfigRegistry<Record> &(*Registry)()>
size_t RegistrySize()
{
    return Registry().size();
}

// The fixed order: every section names only workers of the sections before it.
const stSectionLoader kSectionLoaders[] = {
    {L"\t\t Loading media source readers configurations...", LoadMSReadersConfigXml,
     RegistrySize<stMediaSourceReadWorkerConfig, CTYXGVMS::MSReaderConfigs>},
    {L"\t\t Loading video decoders configurations...", LoadVideoDecodersConfigXml,
     RegistrySize<stVideoDecodeWorkerConfig, CTYXGVMS::VideoDecoderConfigs>},
    {L"\t\t Loading audio decoders configurations...", LoadAudioDecodersConfigXml,
     RegistrySize<stAudioDecodeWorkerConfig, CTYXGVMS::AudioDecoderConfigs>},
    {L"\t\t Loading video-mid-processors configurations...", LoadVMPsConfigXml,
     RegistrySize<stVideoMidProcWorkerConfig, CTYXGVMS::VMPConfigs>},
    {L"\t\t Loading video encoders configurations...", LoadVideoEncodersConfigXml,
     RegistrySize<stVideoEncodeWorkerConfig, CTYXGVMS::VideoEncoderConfigs>},
    {L"\t\t Loading audio encoders configurations...", LoadAudioEncodersConfigXml,
     RegistrySize<stAudioEncodeWorkerConfig, CTYXGVMS::AudioEncoderConfigs>},
    {L"\t\t Loading media writers configurations...", LoadMWritersConfigXml,
     RegistrySize<stMediaWriteWorkerConfig, CTYXGVMS::MWriterConfigs>},
};

// -1 is a section that loaded but refused some of its items: what it did register still counts,
// in the line and in the total. A file that does not load (-4) counts nothing.
int32_t LoadedCount(const stSectionLoader &section, int32_t result)
{
    if (result >= 0)
        return result;
    return result == -1 ? static_cast<int32_t>(section.registered()) : 0;
}

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
        const int32_t loaded = LoadedCount(section, section.load(file));
        if (print)
            ConsolePrintfW(L"[%d] loaded.\n", loaded);
        total += loaded;
    }
    return total;
}
