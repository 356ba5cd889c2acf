#pragma once

#include "core/TYXWorker.h"
#include "core/TYXWorkerConfig.h"

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>

class CMediaSourceReader;

// The service's bookkeeping of one worker: the worker, the configuration it was made from, the
// input links made for it and the run-time flags of the graph passes. The instance registries
// hold the records; copies (registry snapshots) share the worker, the configuration, the input
// links and the source reader with the registry's record.
//
// A record is complete before it is published in a registry and never changed afterwards: other
// threads read it through snapshots without a lock. A change publishes a changed copy
// (CTYXGVMS::UpdateWorkerInstance), so a reader keeps the record it took, whole.
//
// The unnamed slots of the derived records keep their order, types and values; the remote
// commands and the status screen give them their meaning.
struct stTYXWorkerInstanceInfo
{
    stTYXWorkerInstanceInfo() = default;
    virtual ~stTYXWorkerInstanceInfo() = default;
    stTYXWorkerInstanceInfo(const stTYXWorkerInstanceInfo &) = default;
    stTYXWorkerInstanceInfo &operator=(const stTYXWorkerInstanceInfo &) = default;
    stTYXWorkerInstanceInfo(stTYXWorkerInstanceInfo &&) noexcept = default;
    stTYXWorkerInstanceInfo &operator=(stTYXWorkerInstanceInfo &&) noexcept = default;

    // Takes number, id, name and PushAtBegin from the configuration and keeps a copy of it, so
    // that a loader changing its registry later never reaches the record; none does nothing.
    virtual void CopyFromConfig(stTYXWorkerConfig *config);
    // A copy of the whole record, of its own class (shared objects stay shared).
    virtual std::shared_ptr<stTYXWorkerInstanceInfo> Clone() const;

    uint8_t Running = 0;
    uint8_t Enabled = 0;
    int16_t No = -1;
    int32_t WorkerId = -1;
    uint32_t ThreadId = 0;
    std::shared_ptr<CTYXWorker> Worker;
    std::wstring Name;
    uint8_t PushAtBegin = 0;
    std::shared_ptr<const stTYXWorkerConfig> Config; // the record's own copy
    std::shared_ptr<CTYXWorker::InputLinkMap> InputLinks;
};

struct stMediaReadWorkerInstanceInfo : stTYXWorkerInstanceInfo
{
    void CopyFromConfig(stTYXWorkerConfig *config) override;
    std::shared_ptr<stTYXWorkerInstanceInfo> Clone() const override;

    int32_t Slot0 = 0;
    int32_t MSTYPE = 0;
    int32_t MRType = 0;
    std::shared_ptr<CMediaSourceReader> SourceReader;
    std::map<int32_t, int32_t> Map1;
    std::map<int32_t, int32_t> Map2;
    std::map<int32_t, int32_t> Map3;
    uint8_t NegotiateRate = 0;
    uint8_t Flag1 = 0;
    uint8_t Flag2 = 0;
    uint8_t Flag3 = 1;
    int32_t Value1 = 0;
    int16_t Value2 = 0;
    int64_t Value3 = 0;       // 0 after CopyFromConfig
    int16_t Value4 = 0;       // 1000 after CopyFromConfig
    int32_t Value5 = 0;
    int32_t Value6 = 0;
    int64_t Value7 = 0;
    int16_t Value8 = 0;
    int16_t Value9 = 0;
    float FrameRate = 0.0f;
    int32_t Value10 = 0;
    int16_t Value11 = 0;
};

struct stVideoDecodeWorkerInstanceInfo : stTYXWorkerInstanceInfo
{
    void CopyFromConfig(stTYXWorkerConfig *config) override;
    std::shared_ptr<stTYXWorkerInstanceInfo> Clone() const override;

    int32_t VideoSource = -1;
    int32_t Value1 = -1;
    int32_t Value2 = 0;
    int32_t Value3 = 1;
    int64_t Value4 = 0;       // 0 after CopyFromConfig
    int32_t Value5 = 0;
    int32_t Value6 = 1;
    int32_t DecodeParam = -1;
    int32_t Value7 = 0;
    int64_t Value8 = 0;
    int64_t Value9 = 0;
    int64_t Value10 = 0;
};

struct stVideoMidProcessWorkerInstanceInfo : stTYXWorkerInstanceInfo
{
    void CopyFromConfig(stTYXWorkerConfig *config) override;
    std::shared_ptr<stTYXWorkerInstanceInfo> Clone() const override;

    int32_t MPType = 0;
    int32_t Value1 = -1;      // 0 after CopyFromConfig
    int64_t Value2 = 0;
};

// The encoding block of a video encoder's configuration, from its width on.
struct stVideoEncodeSettings
{
    uint16_t Width = 0;
    uint16_t Height = 0;
    float OutputFramerate = 0.0f;
    uint16_t GopLengh = 0;
    int32_t BitRate = 0;
    uint8_t LowLatency = 0;
    int32_t VCodec = 0;
    std::wstring VCodecName;
    std::wstring Profile;
    std::wstring Preset;
    std::wstring Usage;
};

struct stVideoEncodeWorkerInstanceInfo : stTYXWorkerInstanceInfo
{
    // An encoder configured with the rate -1.0 takes the negotiated input frame rate as it is now.
    void CopyFromConfig(stTYXWorkerConfig *config) override;
    std::shared_ptr<stTYXWorkerInstanceInfo> Clone() const override;

    int32_t Value1 = -1;
    int32_t Value2 = 0;       // 0 after CopyFromConfig
    int32_t Value3 = -1;      // 0 after CopyFromConfig
    int32_t Value4 = 1;
    stVideoEncodeSettings EncodeSettings;
    int64_t EncodeExtra = 0;
};

// An object a writer hands out whose stop the writers' stop pass calls before it waits 50 ms.
struct stTYXOutputObject
{
    std::function<void()> Stop;
};

struct stMediaWriteWorkerInstanceInfo : stTYXWorkerInstanceInfo
{
    void CopyFromConfig(stTYXWorkerConfig *config) override;
    std::shared_ptr<stTYXWorkerInstanceInfo> Clone() const override;

    std::list<int32_t> List1;
    int32_t List1Count = 0;
    std::list<int32_t> List2;
    int32_t List2Count = 0;
    int32_t MWType = 0;
    std::shared_ptr<stTYXOutputObject> OutputObject;
};
