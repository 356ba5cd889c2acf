#include "host/GlobalVars.h"

#include "host/GlobalVarsState.h"

#include "core/TextCompare.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/Event.h"

#include <cerrno>
#include <mutex>
#include <new>
#include <sched.h>

stGvmsState &GvmsState()
{
    static stGvmsState state;
    return state;
}

namespace {

stGvmsState &State()
{
    return GvmsState();
}

} // namespace

int32_t CTYXGVMS::GetWorkerKindById(uint32_t id)
{
    if (id < 0x01000001u || id > 0xDFFFFFFFu)
        return TYX_KIND_NONE;
    if (id < 0x02000000u)
        return TYX_KIND_MEDIA_READER;
    if (id < 0x04000000u)
        return TYX_KIND_VIDEO_DECODER;
    if (id < 0x06000000u)
        return TYX_KIND_VIDEO_MIDPROC;
    if (id < 0x08000000u)
        return TYX_KIND_VIDEO_ENCODER;
    if (id < 0x0A000000u)
        return TYX_KIND_NONE;
    if (id < 0x0C000000u)
        return TYX_KIND_AUDIO_DECODER;
    if (id < 0x0E000000u)
        return TYX_KIND_AUDIO_MIDPROC;
    if (id < 0x10000000u)
        return TYX_KIND_AUDIO_ENCODER;
    return TYX_KIND_MEDIA_WRITER;
}

// ---- configuration registries ----

WorkerConfigRegistry<stMediaSourceReadWorkerConfig> &CTYXGVMS::MSReaderConfigs() { return State().msReaderConfigs; }
WorkerConfigRegistry<stAudioDecodeWorkerConfig> &CTYXGVMS::AudioDecoderConfigs() { return State().audioDecoderConfigs; }
WorkerConfigRegistry<stVideoDecodeWorkerConfig> &CTYXGVMS::VideoDecoderConfigs() { return State().videoDecoderConfigs; }
WorkerConfigRegistry<stVideoMidProcWorkerConfig> &CTYXGVMS::VMPConfigs() { return State().vmpConfigs; }
WorkerConfigRegistry<stAudioEncodeWorkerConfig> &CTYXGVMS::AudioEncoderConfigs() { return State().audioEncoderConfigs; }
WorkerConfigRegistry<stVideoEncodeWorkerConfig> &CTYXGVMS::VideoEncoderConfigs() { return State().videoEncoderConfigs; }
WorkerConfigRegistry<stMediaWriteWorkerConfig> &CTYXGVMS::MWriterConfigs() { return State().mWriterConfigs; }
CReadWriteLock &CTYXGVMS::ConfigRegistryLock() { return State().configRegistryLock; }
OsdConfigRegistry &CTYXGVMS::OSDConfigs() { return State().osdConfigs; }
OsgConfigRegistry &CTYXGVMS::OSGConfigs() { return State().osgConfigs; }

namespace {

template <typename Record>
stTYXWorkerConfig *FindConfigByWorkerId(WorkerConfigRegistry<Record> &registry, uint32_t workerId)
{
    for (auto &[name, record] : registry) {
        if (static_cast<uint32_t>(record.WorkerId) == workerId)
            return &record;
    }
    return nullptr;
}

// Empties the containers while holding their lock.
template <typename Guard, typename Lock, typename... Containers>
void ClearLocked(Lock &lock, Containers &...containers)
{
    Guard guard(lock);
    (containers.clear(), ...);
}

} // namespace

stTYXWorkerConfig *CTYXGVMS::GetWorkerConfigById(uint32_t id)
{
    const uint32_t workerId = RegistryKeyOfId(id);
    CReadLockGuard guard(State().configRegistryLock);
    switch (GetWorkerKindById(id)) {
    case TYX_KIND_MEDIA_READER: return FindConfigByWorkerId(State().msReaderConfigs, workerId);
    case TYX_KIND_VIDEO_DECODER: return FindConfigByWorkerId(State().videoDecoderConfigs, workerId);
    case TYX_KIND_VIDEO_MIDPROC: return FindConfigByWorkerId(State().vmpConfigs, workerId);
    case TYX_KIND_VIDEO_ENCODER: return FindConfigByWorkerId(State().videoEncoderConfigs, workerId);
    case TYX_KIND_MEDIA_WRITER: return FindConfigByWorkerId(State().mWriterConfigs, workerId);
    default: return nullptr;
    }
}

uint32_t CTYXGVMS::RegistryKeyOfId(uint32_t id)
{
    // Writer ids carry 0x04 in the stream bits and have no output streams: clearing the bits would
    // name no writer at all.
    if (GetWorkerKindById(id) == TYX_KIND_MEDIA_WRITER)
        return (id & ~TYX_STREAM_BITS) | (TYX_ID_BASE_MEDIA_WRITER & TYX_STREAM_BITS);
    return id & ~TYX_STREAM_BITS;
}

// ---- settings ----

stTYXGeneralSettings &CTYXGVMS::GeneralSettings() { return State().generalSettings; }
stMoxConfig &CTYXGVMS::MoxConfig() { return State().moxConfig; }
stRcmSettings &CTYXGVMS::RcmSettings() { return State().rcmSettings; }
std::atomic<int32_t> &CTYXGVMS::RcmTcpListenPort() { return State().rcmTcpListenPort; }
FixedDeviceMap &CTYXGVMS::FixedVideoInDevices() { return State().fixedVideoIn; }
FixedDeviceMap &CTYXGVMS::FixedVideoOutDevices() { return State().fixedVideoOut; }
FixedDeviceMap &CTYXGVMS::FixedAudioInDevices() { return State().fixedAudioIn; }
FixedDeviceMap &CTYXGVMS::FixedAudioOutDevices() { return State().fixedAudioOut; }
int16_t &CTYXGVMS::LoadSeqCounter() { return State().loadSeqCounter; }
int16_t &CTYXGVMS::VmpLevelCount() { return State().vmpLevelCount; }
std::shared_ptr<CConfigXmlDocument> &CTYXGVMS::MoxConfigDocument() { return State().moxConfigDocument; }
std::wstring &CTYXGVMS::ProgramFolder() { return State().programFolder; }
std::atomic<float> &CTYXGVMS::NegotiatedInputFrameRate() { return State().negotiatedInputFrameRate; }

// ---- monitor registry ----

std::map<int16_t, std::wstring> &CTYXGVMS::MonitorAliases() { return State().monitorAliases; }
std::map<int16_t, uint8_t> &CTYXGVMS::MonitorPresenting() { return State().monitorPresenting; }
void CTYXGVMS::LockMonitorMap() { State().monitorLock.Enter(); }
void CTYXGVMS::UnlockMonitorMap() { State().monitorLock.Leave(); }

bool CTYXGVMS::IsMonitorOccupied(int32_t monitor)
{
    stGvmsState &state = State();
    CRegistryLockGuard lock(state.monitorLock);
    const int16_t number = static_cast<int16_t>(monitor);
    const auto found = state.monitorAliases.find(number);
    if (found == state.monitorAliases.end())
        return false;
    TYX_LOG(3, L"The required Monotor:%d is used by %s already!", static_cast<int32_t>(number), found->second.c_str());
    return true;
}

int32_t CTYXGVMS::ReleaseMonitor(const std::wstring &alias)
{
    if (alias.empty())
        return -2;
    stGvmsState &state = State();
    CRegistryLockGuard lock(state.monitorLock);
    for (auto entry = state.monitorAliases.begin(); entry != state.monitorAliases.end();) {
        if (!EqualsNoCase(entry->second, alias)) {
            ++entry;
            continue;
        }
        TYX_LOG(7, L"[In demand]Removing pair from Monitor-RVAlias map...");
        const int32_t number = entry->first;
        entry = state.monitorAliases.erase(entry);
        TYX_LOG(6, L"[In demand]No:%d removed from Monitor-RVAlias map, And %d left in the map.", number,
                static_cast<int32_t>(state.monitorAliases.size()));
    }
    return -4;
}

void CTYXGVMS::SetMonitorPresenting(int32_t monitor, int32_t flag)
{
    stGvmsState &state = State();
    CRegistryLockGuard lock(state.monitorLock);
    state.monitorPresenting[static_cast<int16_t>(monitor)] = static_cast<uint8_t>(flag);
}

// ---- exit request ----

void CTYXGVMS::SetExitRequestEvent(std::shared_ptr<CEvent> event)
{
    std::lock_guard<std::mutex> lock(State().exitMutex);
    State().exitRequestEvent = std::move(event);
}

std::shared_ptr<CEvent> CTYXGVMS::ExitRequestEvent()
{
    std::lock_guard<std::mutex> lock(State().exitMutex);
    return State().exitRequestEvent;
}

std::atomic<int32_t> &CTYXGVMS::ExitAction() { return State().exitAction; }
std::atomic<int32_t> &CTYXGVMS::ExitDelay() { return State().exitDelay; }

std::shared_ptr<CEvent> CTYXGVMS::TerminatedSignal()
{
    std::lock_guard<std::mutex> lock(State().exitMutex);
    return State().terminatedSignal;
}

int32_t CTYXGVMS::NotifyAndWaitTyxExit(int32_t origin, bool wait)
{
    stGvmsState &state = State();
    std::shared_ptr<CEvent> terminated;
    std::shared_ptr<CEvent> exitEvent;
    {
        std::lock_guard<std::mutex> lock(state.exitMutex);
        if (wait) {
            if (!state.terminatedSignal) {
                try {
                    state.terminatedSignal = std::make_shared<CEvent>(false, false);
                } catch (const std::bad_alloc &) {
                    TYX_LOG(2, L"Service stopped notify signal creatinging falied with last err=%d.", ENOMEM);
                    sched_yield();
                    return 0;
                }
            } else {
                state.terminatedSignal->Reset();
            }
            terminated = state.terminatedSignal;
        }
        exitEvent = state.exitRequestEvent;
    }
    state.exitAction.store(0);
    state.exitDelay.store(0);
    if (exitEvent)
        exitEvent->Set();
    TYX_LOG(5, L"TYX Exit notify event sent.");
    if (origin == 0 && CTYXWorker::IsProcessScreenOutputOn())
        ConsolePrintfW(L"\r\nReceived application close signal from console.\r\n");
    if (!wait)
        return 1;

    if (terminated->Wait(0) == TYX_WAIT_OBJECT_0)
        TYX_LOG(5, L"[NotifyAndWaitTyxExit] Received TYX Service-Terminated-Signal.");
    else
        TYX_LOG(5, L"[NotifyAndWaitTyxExit] Timedout(after %d seconds) in waiting for TYX-Service-Terminated-Signal!", 0);
    {
        // Forget the signal so the next waiting request makes a new one; a main run that still
        // holds it may set it safely.
        std::lock_guard<std::mutex> lock(state.exitMutex);
        if (state.terminatedSignal == terminated)
            state.terminatedSignal.reset();
    }
    return 1;
}

void CTYXGVMS::ReleaseWorkerRegistries()
{
    stGvmsState &state = State();
    ClearLocked<CRegistryLockGuard>(state.readersLock, state.readers);
    ClearLocked<CRegistryLockGuard>(state.decodersLock, state.decoders);
    ClearLocked<CRegistryLockGuard>(state.vmpsLock, state.vmps);
    ClearLocked<CRegistryLockGuard>(state.encodersLock, state.encoders);
    ClearLocked<CRegistryLockGuard>(state.writersLock, state.writers);
    ClearLocked<CWriteLockGuard>(state.linksLock, state.links);
}

void CTYXGVMS::ResetForTests()
{
    stGvmsState &state = State();
    state.msReaderConfigs.clear();
    state.audioDecoderConfigs.clear();
    state.videoDecoderConfigs.clear();
    state.vmpConfigs.clear();
    state.audioEncoderConfigs.clear();
    state.videoEncoderConfigs.clear();
    state.mWriterConfigs.clear();
    state.osdConfigs.clear();
    state.osgConfigs.clear();
    state.generalSettings = stTYXGeneralSettings();
    state.moxConfig = stMoxConfig();
    state.rcmSettings = stRcmSettings();
    state.rcmTcpListenPort = 0;
    state.fixedVideoIn.clear();
    state.fixedVideoOut.clear();
    state.fixedAudioIn.clear();
    state.fixedAudioOut.clear();
    state.loadSeqCounter = 0;
    state.vmpLevelCount = 0;
    state.moxConfigDocument.reset();
    state.programFolder.clear();
    ClearLocked<CRegistryLockGuard>(state.monitorLock, state.monitorAliases, state.monitorPresenting);
    {
        std::lock_guard<std::mutex> lock(state.exitMutex);
        state.exitRequestEvent.reset();
        state.terminatedSignal.reset();
    }
    ReleaseWorkerRegistries();
    state.negotiatedInputFrameRate.store(0.0f);
    CTYXWorker::SetProcessScreenOutput(false);
    state.exitAction.store(0);
    state.exitDelay.store(0);
}
