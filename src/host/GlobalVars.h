#pragma once

#include "config/GeneralSettings.h"
#include "config/OsdOsgConfig.h"
#include "core/ReadWriteLock.h"
#include "core/TYXWorkerConfig.h"
#include "host/RegistryLock.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CEvent;
class CConfigXmlDocument;

// Configuration registries: worker name to configuration record.
template <typename Record>
using WorkerConfigRegistry = std::map<std::wstring, Record>;

// Worker kinds; the range of a worker id gives its kind.
constexpr int32_t TYX_KIND_NONE = 0;
constexpr int32_t TYX_KIND_MEDIA_READER = 1;
constexpr int32_t TYX_KIND_AUDIO_DECODER = 3;
constexpr int32_t TYX_KIND_VIDEO_DECODER = 4;
constexpr int32_t TYX_KIND_AUDIO_MIDPROC = 5;
constexpr int32_t TYX_KIND_VIDEO_MIDPROC = 6;
constexpr int32_t TYX_KIND_AUDIO_ENCODER = 7;
constexpr int32_t TYX_KIND_VIDEO_ENCODER = 8;
constexpr int32_t TYX_KIND_MEDIA_WRITER = 9;

// Bases of the worker ids; an id is the base plus the element number times 0x10000 (media writers:
// 0x10000004 plus the number times 0x10000). The low 8 bits number a worker's output streams.
constexpr uint32_t TYX_ID_BASE_MEDIA_READER = 0x01000000u;
constexpr uint32_t TYX_ID_BASE_VIDEO_DECODER = 0x02000000u;
constexpr uint32_t TYX_ID_BASE_VIDEO_MIDPROC = 0x04000000u;
constexpr uint32_t TYX_ID_BASE_VIDEO_ENCODER = 0x06000000u;
constexpr uint32_t TYX_ID_BASE_AUDIO_DECODER = 0x0A000000u;
constexpr uint32_t TYX_ID_BASE_AUDIO_ENCODER = 0x0E000000u;
constexpr uint32_t TYX_ID_BASE_MEDIA_WRITER = 0x10000004u;
constexpr uint32_t TYX_ID_NUMBER_STEP = 0x10000u;
constexpr uint32_t TYX_STREAM_BITS = 0xFFu;

// The global video-management state of the service: one process-wide set of registries and settings
// with static operations and no instances. Everything exists, empty, before main runs and lives
// until the process ends.
class CTYXGVMS
{
public:
    CTYXGVMS() = delete;

    // ---- kinds ----
    static int32_t GetWorkerKindById(uint32_t id);

    // ---- configuration registries ----
    // Filled by the loaders before any worker thread exists and read without a lock afterwards;
    // a run-time change of a record (the live-broadcast URL) takes ConfigRegistryLock for writing
    // and its concurrent readers take it for reading.
    static WorkerConfigRegistry<stMediaSourceReadWorkerConfig> &MSReaderConfigs();
    static WorkerConfigRegistry<stAudioDecodeWorkerConfig> &AudioDecoderConfigs();
    static WorkerConfigRegistry<stVideoDecodeWorkerConfig> &VideoDecoderConfigs();
    static WorkerConfigRegistry<stVideoMidProcWorkerConfig> &VMPConfigs();
    static WorkerConfigRegistry<stAudioEncodeWorkerConfig> &AudioEncoderConfigs();
    static WorkerConfigRegistry<stVideoEncodeWorkerConfig> &VideoEncoderConfigs();
    static WorkerConfigRegistry<stMediaWriteWorkerConfig> &MWriterConfigs();
    static CReadWriteLock &ConfigRegistryLock();
    // The record of the id's kind (1, 4, 6, 8 or 9) whose WorkerId is the id with its low 8 bits
    // cleared, or none. No lock is taken.
    static stTYXWorkerConfig *GetWorkerConfigById(uint32_t id);
    // The configured on-screen texts and graphics by item number, filled after the workers.
    static OsdConfigRegistry &OSDConfigs();
    static OsgConfigRegistry &OSGConfigs();

    // ---- settings held for the loaders and the host ----
    static stTYXGeneralSettings &GeneralSettings();
    static stMoxConfig &MoxConfig();
    static FixedDeviceMap &FixedVideoInDevices();
    static FixedDeviceMap &FixedVideoOutDevices();
    static FixedDeviceMap &FixedAudioInDevices();
    static FixedDeviceMap &FixedAudioOutDevices();
    // The load order number of the worker sections and the number of mid-processor levels.
    static int16_t &LoadSeqCounter();
    static int16_t &VmpLevelCount();
    // The companion program's configuration document while a command changes it.
    static std::shared_ptr<CConfigXmlDocument> &MoxConfigDocument();
    // The folder of the program.
    static std::wstring &ProgramFolder();
    // Console output of the run; off in silent and service mode.
    static std::atomic<bool> &ScreenOutput();

    // ---- monitor registry ----
    // The monitor map (monitor number to the alias of the raw video shown on it) and the presenting
    // flags; use them between LockMonitorMap and UnlockMonitorMap.
    static std::map<int16_t, std::wstring> &MonitorAliases();
    static std::map<int16_t, uint8_t> &MonitorPresenting();
    static void LockMonitorMap();
    static void UnlockMonitorMap();
    // True (and logged) when the monitor has an alias.
    static bool IsMonitorOccupied(int32_t monitor);
    // Removes every monitor of the alias (ignoring case): -2 for an empty alias, else -4.
    static int32_t ReleaseMonitor(const std::wstring &alias);
    static void SetMonitorPresenting(int32_t monitor, int32_t flag);

    // ---- exit request ----
    // The exit-request event made by start-up (none until then), the exit action (0 none, 1 power
    // off, 2 reboot, 3 restart after the delay) and its delay in seconds.
    static void SetExitRequestEvent(std::shared_ptr<CEvent> event);
    static std::shared_ptr<CEvent> ExitRequestEvent();
    static std::atomic<int32_t> &ExitAction();
    static std::atomic<int32_t> &ExitDelay();
    // The terminated signal while a requester waits for it (none otherwise); the main run sets it
    // when it has finished. Holders keep it alive, so setting it after the requester gave up is safe.
    static std::shared_ptr<CEvent> TerminatedSignal();
    // Asks the main run to end (origin 0: the console; otherwise the system): 1, or 0 when the
    // terminated signal cannot be made. Any thread, including signal-handling threads, may call.
    static int32_t NotifyAndWaitTyxExit(int32_t origin, bool wait);

    // Restores the state a process starts with: every registry emptied, every setting at its
    // construction value. For tests, which otherwise see each other's state.
    static void ResetForTests();
};
