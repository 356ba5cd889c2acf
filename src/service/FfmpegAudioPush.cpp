#include "service/FfmpegAudioPush.h"

#include "core/GeneralSettings.h"
#include "core/TYXUtils.h"
#include "platform/ProcessTable.h"
#include "service/ServiceLog.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The Linux capture devices stand in for DirectShow's; AudioAdapter names an ALSA device.
constexpr const char *INPUT_FORMAT = "alsa";

// The command as one text, for the log only: nothing runs it through a shell.
std::string CommandText(const std::vector<std::string> &argv)
{
    std::string text;
    for (const std::string &arg : argv) {
        if (!text.empty())
            text += ' ';
        const bool plain = !arg.empty() && arg.find_first_of(" \t\"'$;&|()<>\\") == std::string::npos;
        text += plain ? arg : "\"" + arg + "\"";
    }
    return text;
}

bool HasPair(const std::vector<std::string> &argv, const char *option, const char *value)
{
    for (size_t i = 0; i + 1 < argv.size(); ++i) {
        if (argv[i] == option && argv[i + 1] == value)
            return true;
    }
    return false;
}

} // namespace

std::string CFfmpegAudioPush::FindProgram(const stMoxConfig &config)
{
    if (config.FpgMainPath.empty())
        return FindProgramOnPath("ffmpeg");
    const fs::path program = fs::path(WStringToString(config.FpgMainPath)) / "ffmpeg";
    std::error_code error;
    if (!fs::is_regular_file(program, error) || access(program.c_str(), X_OK) != 0)
        return {};
    return program.string();
}

std::string CFfmpegAudioPush::RecordFile(const stMoxConfig &config, const std::tm &local)
{
    char stamp[80];
    std::snprintf(stamp, sizeof(stamp), "%d-%2.2d-%2.2d_%2.2d_%2.2d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min);
    std::string name = config.ARecordPrefix.empty() ? std::string() : WStringToString(config.ARecordPrefix) + "_";
    name += stamp;
    name += ".aac";
    if (config.ARecordPath.empty())
        return name;
    return (fs::path(WStringToString(config.ARecordPath)) / name).string();
}

std::vector<std::string> CFfmpegAudioPush::BuildArguments(const std::string &program, const stMoxConfig &config,
                                                          const std::string &recordFile)
{
    // -nostats and the warning level keep a push that runs for days from filling its output file.
    return {program,
            "-nostats",
            "-loglevel",
            "warning",
            "-f",
            INPUT_FORMAT,
            "-i",
            WStringToString(config.AudioAdapter),
            "-acodec",
            "aac",
            "-ar",
            std::to_string(config.SampleRate),
            "-rtsp_transport",
            "tcp",
            "-f",
            "rtsp",
            WStringToString(config.DestURL),
            "-y",
            recordFile};
}

bool CFfmpegAudioPush::IsAudioPushCommand(const std::vector<std::string> &argv)
{
    return HasPair(argv, "-acodec", "aac") && HasPair(argv, "-rtsp_transport", "tcp") && HasPair(argv, "-f", "rtsp");
}

int32_t CFfmpegAudioPush::Start(const stMoxConfig &config, std::time_t now, const std::string &outputFile)
{
    if (!config.UseFpgAudio)
        return -73;
    const std::string program = FindProgram(config);
    if (program.empty()) {
        TYX_GLOBAL_LOG(3, L"[Main]ffmpeg not found in(%s) nor on the PATH!", config.FpgMainPath.c_str());
        return -73;
    }
    if (!config.ARecordPrefix.empty() && !IsPlainFileName(config.ARecordPrefix)) {
        TYX_GLOBAL_LOG(3, L"[Main]Audio record prefix(%s) is not a file name!", config.ARecordPrefix.c_str());
        return -73;
    }
    Stop(config);
    std::tm local{};
    localtime_r(&now, &local);
    const std::vector<std::string> argv = BuildArguments(program, config, RecordFile(config, local));
    const std::string command = CommandText(argv);
    TYX_GLOBAL_LOG(6, L"[Main]Starting Ffmpeg with command=%S ...", command.c_str());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_programPath = program;
    m_child = CProcessHandle();
    stChildSpawnOptions options;
    options.workingFolder = WStringToString(config.FpgMainPath);
    options.outputFile = outputFile;
    if (m_child.Spawn(argv, options) != 0) {
        TYX_GLOBAL_LOG(3, L"[Main]FFmpeg audio push command(%S) excuting failed!", command.c_str());
        return -52;
    }
    TYX_GLOBAL_LOG(5, L"[Main]FFmpeg audio push command excuted.");
    m_started = true;
    return m_child.Pid();
}

int32_t CFfmpegAudioPush::StopInstance(CProcessHandle &process)
{
    const int32_t step = process.Stop(SIGINT, m_stopTimes.firstMs, m_stopTimes.termMs, m_stopTimes.killMs);
    if (step == -ESRCH)
        return 0;
    TYX_GLOBAL_LOG(6, L"[StopFfmpegAudio]One FFMPEG audio pushing inst found and exit signal sent to it.");
    if (step > 0)
        TYX_GLOBAL_LOG(3, L"[StopFfmpegAudio]FFMPEG audio pushing[%d] ignored SIGINT and was %s.", process.Pid(),
                       step == 1 ? L"terminated" : L"killed");
    else if (step < 0)
        TYX_GLOBAL_LOG(3, L"[StopFfmpegAudio]FFMPEG audio pushing[%d] did not end even after SIGKILL!", process.Pid());
    return 1;
}

int32_t CFfmpegAudioPush::Stop(const stMoxConfig &config)
{
    if (!config.UseFpgAudio)
        return -73;
    const std::string program = FindProgram(config);
    if (program.empty())
        return -73;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_programPath = program;
    int32_t count = m_child.IsRunning() ? StopInstance(m_child) : 0;
    m_started = false;
    // Pushes left by an earlier run of the program: the same ffmpeg, this user, the push's shape.
    std::error_code error;
    const fs::path canonical = fs::canonical(program, error);
    std::vector<int32_t> pids;
    ListNumericEntries("/proc", pids);
    const int64_t uid = static_cast<int64_t>(getuid());
    for (const int32_t pid : pids) {
        if (pid == getpid() || pid == m_child.Pid() || ReadProcessUid(pid) != uid)
            continue;
        if (error || ReadProcessExe(pid) != canonical.string() || !IsAudioPushCommand(ReadProcessCommandLine(pid)))
            continue;
        CProcessHandle other;
        // The check above and the attach race with the id's reuse: look again through the handle.
        if (other.Attach(pid) == 0 && ReadProcessExe(pid) == canonical.string())
            count += StopInstance(other);
    }
    if (count > 0)
        TYX_GLOBAL_LOG(5, L"[StopFfmpegAudio]Total %d FFMPEG audio pushing insts found and notified.", count);
    else
        TYX_GLOBAL_LOG(5, L"[StopFfmpegAudio]FFMPEG audio pushing not found running.");
    return count;
}

void CFfmpegAudioPush::Reap()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_started || m_child.IsRunning())
        return;
    const int status = m_child.WaitStatus();
    TYX_GLOBAL_LOG(3, L"[Main]FFmpeg audio push[%d] ended by itself (exit %d).", m_child.Pid(),
                   status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    m_started = false;
}

void CFfmpegAudioPush::StopOwn()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_child.IsRunning())
        StopInstance(m_child);
    m_started = false;
}

int32_t CFfmpegAudioPush::Pid()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_child.IsRunning() ? m_child.Pid() : 0;
}

bool CFfmpegAudioPush::IsStarted()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_started;
}

std::string CFfmpegAudioPush::ProgramPath()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_programPath;
}

void CFfmpegAudioPush::SetStopTimes(const stChildStopTimes &times)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopTimes = times;
}
