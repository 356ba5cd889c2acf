#pragma once

// The base of the mid-processing workers (mux, matrix, split, unify): the GPU context, the default
// picture, per-input states with their last valid picture (backup) and status texts, and the queue
// of device pictures that time-critical threads drop and a thread of its own frees.
//
// Threads: the worker's own threads read the input states, backups and status writers; inputs are
// added and removed by the pipeline manager or a remote-control thread while they run. Each map has
// its own lock, so none of them depends on the input-link lock being held.

#include "vproc/RVProcWorker.h"

#include "core/ReadWriteLock.h"
#include "platform/GpuDevice.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

struct stVideoMidProcWorkerConfig;

// What the worker knows of one input.
struct stMPInputState
{
    int32_t statusCode = 0;   // 0, or the last source status (negative) the input sent
    int64_t lastPacketTime = 0; // program clock, µs; 0 = never
};

// Result of Initialize when the GPU context cannot be had.
constexpr int32_t TYX_MP_ERR_CONTEXT = 8;
// The clean-up thread warns above this backlog.
constexpr size_t TYX_MP_CLEAN_BACKLOG_WARN = 60;

class CTYXMPWorker : public CRVProcWorker
{
public:
    CTYXMPWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
                 bool multiInput, bool multiOutput);
    // Frees the default picture, the backups and whatever still waits in the clean-up queue.
    ~CTYXMPWorker() override;

    int32_t Initialize(uint8_t gpuProcessing, int32_t gpuDevice) override;
    void unInitialize() override;
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    int32_t SetInputParameters(const stStreamParams &params, uint32_t streamId) override;
    virtual int32_t ReservedMP();

    // Queues a device picture for the clean-up thread: the new queue length, -1 for none.
    int32_t PushDvcMem2Clean(void *devicePointer);
    int32_t GetDvcMemCleanQueueLength();
    // Colour codes of the default picture and the two status texts, and the status text height
    // (kept for 9..255, then brought to what the text writer draws: a multiple of 4 in 16..128).
    void CopyInColorSettings(int32_t defaultColor, int32_t errorColor, int32_t infoColor, int32_t fontSize);

    bool IsMultiInput() const { return m_multiInput; }
    bool IsMultiOutput() const { return m_multiOutput; }
    // Snapshots for status and tests.
    bool GetInputState(int32_t inputStreamId, stMPInputState &state) const;
    bool HasStatusOsdWriter(int32_t inputStreamId) const;
    bool HasBackupFrame(int32_t inputStreamId) const;
    const FramePackage &DefaultFrame() const { return m_defaultFrame; }

protected:
    uint32_t DvcMemCleanThread();
    // Once the main thread has ended (or never ran), ends the child threads too: true when every
    // thread of the worker has ended.
    bool StopChildThreadsOfIdleWorker();
    // Frees every queued pointer; the number freed.
    int32_t DrainDvcMemCleanQueue();

    // Input states (own lock).
    void AddInputState(int32_t inputStreamId);
    void RemoveInputState(int32_t inputStreamId);
    void UpdateInputState(int32_t inputStreamId, const std::function<void(stMPInputState &)> &change);

    // The status writer of an input, none when it has none.
    std::shared_ptr<COsdWriter> FindStatusOsdWriter(int32_t inputStreamId) const;
    // Shows the status text of the code on a picture through the input's writer, sized to it: 0
    // drawn, 1 no writer or no text for the code, negative on failure.
    int32_t DrawInputStatus(int32_t inputStreamId, FramePackage &frame, int32_t statusCode);

    // Backups: a copy of the input's last valid picture (copy.inDevice chooses the memory); 0 with
    // data, 1 when the input has none or an empty one, negative when the copy failed.
    int32_t DuplicateBackupFrame(int32_t inputStreamId, FramePackage &copy);
    // Takes the package over as the input's new backup and frees the previous one.
    void ReplaceBackupFrame(int32_t inputStreamId, FramePackage &package, int64_t now);
    void FreeBackupFrame(int32_t inputStreamId);
    void FreeAllBackupFrames();

    // Makes the worker's GPU context current on the calling thread: false when it cannot.
    bool PushWorkerContext();
    void PopWorkerContext();
    int32_t GpuDevice() const { return m_initValue < 0 ? 0 : m_initValue; }

    uint8_t m_outputOnDevice = 0;
    uint8_t m_outputOnDevice2 = 0;
    bool m_cleanThreadWanted = false;
    FramePackage m_defaultFrame;
    uint16_t m_defaultFrameWidth = 0;
    uint16_t m_defaultFrameHeight = 0;
    uint8_t m_defaultFrameOnDevice = 0;
    int16_t m_systemTimings[3] = {0, 0, 0};
    int32_t m_defaultColor = 0;

private:
    void CreateDefaultFrame();
    void CreateStatusWriters();
    void ReleaseContext();

    bool m_multiInput = false;
    bool m_multiOutput = false;
    GpuContext m_context = nullptr;

    mutable std::mutex m_inputStateLock;
    std::map<int32_t, stMPInputState> m_inputStates;

    mutable std::mutex m_statusWriterLock; // also held while a status text is sized and drawn
    std::map<int32_t, std::shared_ptr<COsdWriter>> m_statusWriters;

    mutable CReadWriteLock m_backupLock;
    std::map<int32_t, std::unique_ptr<stLockedFramePackage>> m_backupFrames;

    CReadWriteLock m_cleanQueueLock;
    std::deque<void *> m_cleanQueue;
    int32_t m_cleanThreadId = 0;
};
