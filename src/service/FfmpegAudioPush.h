#pragma once

#include "platform/ProcessHandle.h"
#include "service/CompanionProgram.h"

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

struct stMoxConfig;

// The FFmpeg audio push: one ffmpeg that reads the configured audio device and pushes it to the
// configured RTSP address while recording it locally. Started from an argument vector (settings
// reach ffmpeg as one argument each), stopped with SIGINT so that it writes its trailers, then
// SIGTERM, and reaped. Any thread may call.
class CFfmpegAudioPush
{
public:
    CFfmpegAudioPush() = default;
    CFfmpegAudioPush(const CFfmpegAudioPush &) = delete;
    CFfmpegAudioPush &operator=(const CFfmpegAudioPush &) = delete;

    // The process id; -73 when the push is off, ffmpeg is not found or the recording prefix is not
    // a file name; -52 when it cannot be started. now gives the recording's name.
    int32_t Start(const stMoxConfig &config, std::time_t now, const std::string &outputFile);
    // Stops the one started here and every other audio push of this user run by the same ffmpeg:
    // the number asked to end; -73 when the push is off or ffmpeg is not found.
    int32_t Stop(const stMoxConfig &config);
    void Reap();
    // Stops the one started here, if any (shutdown).
    void StopOwn();
    int32_t Pid();
    bool IsStarted();
    std::string ProgramPath();
    void SetStopTimes(const stChildStopTimes &times);

    // The ffmpeg in use: FpgMainPath/ffmpeg when FpgMainPath is set, else the one on PATH; empty
    // when there is none.
    static std::string FindProgram(const stMoxConfig &config);
    // The local recording: ARecordPath/[ARecordPrefix_]YYYY-M-DD_HH_MM.aac in local time.
    static std::string RecordFile(const stMoxConfig &config, const std::tm &local);
    static std::vector<std::string> BuildArguments(const std::string &program, const stMoxConfig &config,
                                                   const std::string &recordFile);
    // True for the argument vector of an audio push (the shape BuildArguments gives).
    static bool IsAudioPushCommand(const std::vector<std::string> &argv);

private:
    int32_t StopInstance(CProcessHandle &process);

    std::mutex m_mutex;
    CProcessHandle m_child;
    std::string m_programPath;
    bool m_started = false;
    stChildStopTimes m_stopTimes;
};
