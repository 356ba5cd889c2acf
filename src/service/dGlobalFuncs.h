#pragma once

// The service functions of the host and the remote commands: auto-start, log clean-up, the
// product version, the companion program, the FFmpeg audio push and the delayed restart. Each
// reports by an integer (0 or a positive value for success, a negative code for failure) and logs
// what it did.

#include "platform/HostControl.h"

#include <cstdint>
#include <ctime>
#include <string>

// Where the auto-start unit goes: root/etc/systemd/system (root "/" normally, a test folder in
// tests); the program that the unit starts (this program when empty); how systemctl is run
// (RunCommand when none).
struct stAutoStartTarget
{
    std::string root = "/";
    std::string programPath;
    CommandRunner runner;
};

// The systemd unit that starts this program at boot with the arguments (remove false), or its
// removal (remove true): 0; -1 when the program path cannot be read or cannot be written into a
// unit; -4 when the unit cannot be written, enabled or removed, or systemd does not run.
int32_t SetAutoStartConsoleModule(bool remove, const wchar_t *arguments, const stAutoStartTarget &target = {});

// Removes from folder and its sub-folders (symbolic links are not followed) the files with the
// extension (any file when none) that are at least maxAgeSeconds old or larger than sizeLimitKB:
// the number removed. A missing folder gives 0.
int32_t CleanupDebugLogs(const std::wstring &folder, int64_t maxAgeSeconds, int64_t sizeLimitKB,
                         const wchar_t *extension);

// The version compiled into this program: major, minor, build, revision.
struct stProgramVersion
{
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint16_t revision = 0;
};
stProgramVersion TyxProgramVersion();
// The product version of a program file: 0; -1 without a path; -2 when the file does not exist;
// -ENODATA for a file that carries no version this build can read (only this program's own is).
int32_t GetFileProductVersion(const std::wstring &path, stProgramVersion &version);

// The companion program and the audio push of the program-wide settings (CTYXGVMS::MoxConfig).
// Any thread may call them.
// The companion's process id; -50 when it does not run locally; -54 when its program file does not
// exist; -52 when it cannot be started.
int32_t StartModuleProcess();
// Asks the companion started here to end (SIGTERM) and waits for it: 1, or 0 when none ran.
int32_t StopModuleProcess();
// The audio push's process id; -73 when the push is off or ffmpeg is not found; -52 when it cannot
// be started.
int32_t StartFfmpegAudio();
// Stops the audio pushes of this host's user (SIGINT, then SIGTERM): the number asked to end; -73
// when the push is off or ffmpeg is not found.
int32_t StopFfmpegAudio();
// Collects the companion and the audio push when they have ended (main loop, every pass).
void ReapServicePrograms();
// Stops the companion and the audio push started here (shutdown).
void StopServicePrograms();

// Makes the program start again with "-silent" at restartTime (seconds since 1970), through the
// host's scheduler: 0; -1 when the program path cannot be read or the time is not more than 30 s
// ahead; -46 when the start cannot be scheduled.
int32_t CreateRestartTask(int64_t restartTime);
// The same with the clock, the scheduler and the program given (tests).
int32_t CreateRestartTask(int64_t restartTime, int64_t now, IHostControl &host, const std::string &programPath);
