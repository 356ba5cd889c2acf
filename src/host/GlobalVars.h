#pragma once

#include "core/GeneralSettings.h"
#include "core/RcmSettings.h"
#include "core/OsdOsgConfig.h"
#include "core/ReadWriteLock.h"
#include "core/StreamParams.h"
#include "core/TYXWorker.h"
#include "core/TYXWorkerConfig.h"
#include "host/RegistryLock.h"
#include "host/WorkerInstanceInfo.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CEvent;
class CConfigXmlDocument;

// Configuration registries: worker name to configuration record.
template <typename Record>
using WorkerConfigRegistry = std::map<std::wstring, Record>;
// Instance registries: worker id to the worker's instance record, shared with snapshots.
template <typename Record>
using WorkerInstanceRegistry = std::map<uint32_t, std::shared_ptr<Record>>;
// Link registry: producer output stream id -> consumer worker id -> link.
using ConsumerLinkRegistry = std::map<uint32_t, CTYXWorker::ConsumerMap>;

// What a media write worker offers for the case texts of its recordings (SetCaseInfo).
class CTYXCaseInfoTarget
{
public:
    virtual ~CTYXCaseInfoTarget() = default;
    virtual void SetCaseTexts(const std::wstring &text1, const std::wstring &text2, const std::wstring &text3) = 0;
};

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
    // The worker id a stream id belongs to: the low 8 bits cleared, or set to the 0x04 that every
    // writer id ends in.
    static uint32_t RegistryKeyOfId(uint32_t id);
    // The record of the id's kind (1, 4, 6, 8 or 9) whose WorkerId is RegistryKeyOfId(id), or none;
    // the walk holds ConfigRegistryLock for reading.
    static stTYXWorkerConfig *GetWorkerConfigById(uint32_t id);
    // The configured on-screen texts and graphics by item number, filled after the workers.
    static OsdConfigRegistry &OSDConfigs();
    static OsgConfigRegistry &OSGConfigs();

    // ---- instance registries ----
    // The registries and their locks, for the graph passes that fill and walk them; every
    // operation below takes the kind's lock itself.
    static WorkerInstanceRegistry<stMediaReadWorkerInstanceInfo> &MReaderInstances();
    static WorkerInstanceRegistry<stVideoDecodeWorkerInstanceInfo> &DecoderInstances();
    static WorkerInstanceRegistry<stVideoMidProcessWorkerInstanceInfo> &VMPInstances();
    static WorkerInstanceRegistry<stVideoEncodeWorkerInstanceInfo> &EncoderInstances();
    static WorkerInstanceRegistry<stMediaWriteWorkerInstanceInfo> &MWriterInstances();
    // The lock of a kind's instance registry (1, 4, 6, 8, 9), none for another kind.
    static CRegistryLock *InstanceRegistryLock(int32_t kind);
    static bool LockMReaderMap();
    static void UnlockMReaderMap();
    static bool LockDecoderMap();
    static void UnlockDecoderMap();
    static bool LockVMPMap();
    static void UnlockVMPMap();

    // The record stored under RegistryKeyOfId(id) in the registry of the id's kind, or none.
    static std::shared_ptr<stTYXWorkerInstanceInfo> GetWorkerInstanceById(uint32_t id);
    // Publishes a complete record in the registry of its kind under its WorkerId, in place of the
    // one there (whoever holds that one keeps it unchanged): 0, -1 for an id of no created kind or
    // a record of another kind's class.
    static int32_t PublishWorkerInstance(const std::shared_ptr<stTYXWorkerInstanceInfo> &record);
    // Publishes a changed copy of the record registered under id; change runs on the copy under
    // the kind's lock and must not call into the registries: 0, -1 when none is registered.
    static int32_t UpdateWorkerInstance(uint32_t id, const std::function<void(stTYXWorkerInstanceInfo &)> &change);

    // Look-ups by alias (ignoring case; first match in id order): the worker id or -1, and the
    // worker (none when absent or not created).
    static int32_t FindMReaderByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker,
                                      stMediaReadWorkerInstanceInfo *recordCopy = nullptr);
    static int32_t GetMReaderByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker);
    static int32_t FindDecoderByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker);
    static int32_t GetVMPByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker);
    static int32_t FindEncoderByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker);
    static int32_t GetMWriterByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker);

    // Look-ups by worker id (first record whose WorkerId is the id): the worker or none, and the
    // record's alias.
    static std::shared_ptr<CTYXWorker> GetMReaderById(uint32_t id, std::wstring &alias,
                                                      stMediaReadWorkerInstanceInfo *recordCopy = nullptr);
    static std::shared_ptr<CTYXWorker> FindDecoderById(uint32_t id, std::wstring &alias);
    static std::shared_ptr<CTYXWorker> GetDecoderById(uint32_t id, std::wstring &alias);
    static std::shared_ptr<CTYXWorker> FindEncoderById(uint32_t id, std::wstring &alias);
    static std::shared_ptr<CTYXWorker> GetEncoderById(uint32_t id, std::wstring &alias);
    static std::shared_ptr<CTYXWorker> GetMWriterById(uint32_t id, std::wstring &alias);

    // Snapshots of a registry: same keys, records shared.
    static WorkerInstanceRegistry<stMediaReadWorkerInstanceInfo> CopyMReaderMap();
    static WorkerInstanceRegistry<stVideoDecodeWorkerInstanceInfo> CopyDecoderMap();
    static WorkerInstanceRegistry<stVideoMidProcessWorkerInstanceInfo> CopyVMPMap();
    static WorkerInstanceRegistry<stVideoEncodeWorkerInstanceInfo> CopyEncoderMap();
    static WorkerInstanceRegistry<stMediaWriteWorkerInstanceInfo> CopyMWriterMap();

    // Copies of the readers whose alias is one of aliases (exact case) and the id each one feeds:
    // its own for a video capture source, else its first video decoder. The number of records, or
    // -100 when a reader feeds no decoder (what was collected so far stays in the lists).
    static int32_t CollectMReadersByAliases(const std::list<std::wstring> &aliases,
                                            std::vector<stMediaReadWorkerInstanceInfo> &records,
                                            std::vector<uint32_t> &feedIds);
    // Stops the worker of the id, uninitialises it once its threads have ended (one still running
    // keeps what it uses and is logged), removes its record and its links from the link registry,
    // and lets the worker go: 0.
    static int32_t DestroyMReaderById(uint32_t id);
    static int32_t DestroyDecoderById(uint32_t id);
    // Gives the case texts to the writer of the alias (ignoring case), or to every writer for an
    // empty alias: the number of writers changed.
    static int32_t SetCaseInfo(const std::wstring &alias, const std::wstring &text1, const std::wstring &text2,
                               const std::wstring &text3);

    // ---- link registry ----
    // Registers the link of a producer's output stream to a consumer (the first link of a pair
    // stays): the number of consumers of the stream, -1 for an id of 0 or below.
    static int32_t AddConsumerLink(uint32_t producerStreamId, int32_t consumerId, const stWorkerLink &link);
    // Both ids: that link (the consumers left); stream only: all its links (0, the entry stays);
    // consumer only: its links on every stream (0); neither: -1. Queues are not released here.
    static int32_t RemoveConsumerLinks(uint32_t producerStreamId, uint32_t consumerId);
    // Records the consumer worker in each of its links: the number bound, -1 for an id of 0 or below.
    static int32_t BindConsumerWorker(int32_t consumerId, const std::shared_ptr<CTYXWorker> &consumer);
    // Records the producer worker in each link of the stream and in the consumers' input links.
    static int32_t BindProducerWorker(int32_t producerStreamId, const std::shared_ptr<CTYXWorker> &producer);
    // A copy of the stream's links by consumer id, or none.
    static std::optional<CTYXWorker::ConsumerMap> GetConsumerLinks(int32_t producerStreamId);
    // The consumer ids of the stream in ascending order.
    static void GetConsumersOfStream(int32_t producerStreamId, std::vector<uint32_t> &consumerIds);
    // The worker ids linked with the worker id: the consumers of its output streams and the
    // producers it consumes, ascending, each once. Their number, -1 for id 0.
    static int32_t GetProducersOfConsumer(uint32_t id, std::vector<uint32_t> &linkedIds);
    // The links of every output stream of the configuration that has consumers: their number.
    static int32_t FillConsumerLinkMap(const stTYXWorkerConfig &config, CTYXWorker::ConsumerLinkMap &links);
    // Hands the worker's output parameters to its consumers: the number given, -1 without worker.
    static int32_t CopyWorkerOPamsToConsumers(const stTYXWorkerInstanceInfo *record);
    // The callback every worker gets: new parameters of one of its output streams.
    static void OnWorkerOutputParamsChanged(CTYXWorker *caller, uint32_t outputStreamId, const stStreamParams *params);
    // The link registry itself, for the status screen, under LinkRegistryLock.
    static ConsumerLinkRegistry &LinkRegistry();
    static CReadWriteLock &LinkRegistryLock();

    // ---- settings held for the loaders and the host ----
    static stTYXGeneralSettings &GeneralSettings();
    static stMoxConfig &MoxConfig();
    // The remote-control settings and users, filled at start-up before the server exists.
    static stRcmSettings &RcmSettings();
    // The control port once the program runs: a remote command may change it while other threads
    // read it, so it is kept apart from the record (start-up copies TcpListenPort here).
    static std::atomic<int32_t> &RcmTcpListenPort();
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
    // The negotiated input frame rate of the run (frames per second; 0 until negotiated).
    static std::atomic<float> &NegotiatedInputFrameRate();

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

    // Empties the worker instance registries and the link registry: the end of a run, once its
    // workers have stopped, so that the pictures their links still queue are released while the
    // device layer they return to lives.
    static void ReleaseWorkerRegistries();
    // Restores the state a process starts with: every registry emptied, every setting at its
    // construction value. For tests, which otherwise see each other's state.
    static void ResetForTests();
};
