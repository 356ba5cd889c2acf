// The program-wide companion program and audio push behind the service functions.

#include "service/dGlobalFuncs.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "service/CompanionProgram.h"
#include "service/FfmpegAudioPush.h"

#include <filesystem>

namespace {

CCompanionProgram &Companion()
{
    static CCompanionProgram companion;
    return companion;
}

CFfmpegAudioPush &AudioPush()
{
    static CFfmpegAudioPush push;
    return push;
}

// The children's output goes into the log folder beside the program (none without one).
std::string OutputFile(const char *name)
{
    const std::wstring &folder = CTYXGVMS::ProgramFolder();
    if (folder.empty())
        return {};
    const std::filesystem::path logs = std::filesystem::path(WStringToString(folder)) / "logs";
    std::error_code error;
    return std::filesystem::is_directory(logs, error) ? (logs / name).string() : std::string();
}

} // namespace

int32_t StartModuleProcess()
{
    const stMoxConfig config = CTYXGVMS::MoxConfig();
    return Companion().Start(config, OutputFile("MoxProgram.out"));
}

int32_t StopModuleProcess()
{
    return Companion().Stop();
}

int32_t StartFfmpegAudio()
{
    const stMoxConfig config = CTYXGVMS::MoxConfig();
    return AudioPush().Start(config, std::time(nullptr), OutputFile("FfmpegAudio.out"));
}

int32_t StopFfmpegAudio()
{
    const stMoxConfig config = CTYXGVMS::MoxConfig();
    return AudioPush().Stop(config);
}

void ReapServicePrograms()
{
    Companion().Reap();
    AudioPush().Reap();
}

void StopServicePrograms()
{
    Companion().Stop();
    AudioPush().StopOwn();
}
