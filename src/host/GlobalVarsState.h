#pragma once

// The state behind CTYXGVMS, shared by its source files and no one else.

#include "host/GlobalVars.h"

#include <mutex>

// Every piece of program-wide state, in one place so that ResetForTests can restore it whole.
struct stGvmsState
{
    WorkerConfigRegistry<stMediaSourceReadWorkerConfig> msReaderConfigs;
    WorkerConfigRegistry<stAudioDecodeWorkerConfig> audioDecoderConfigs;
    WorkerConfigRegistry<stVideoDecodeWorkerConfig> videoDecoderConfigs;
    WorkerConfigRegistry<stVideoMidProcWorkerConfig> vmpConfigs;
    WorkerConfigRegistry<stAudioEncodeWorkerConfig> audioEncoderConfigs;
    WorkerConfigRegistry<stVideoEncodeWorkerConfig> videoEncoderConfigs;
    WorkerConfigRegistry<stMediaWriteWorkerConfig> mWriterConfigs;
    CReadWriteLock configRegistryLock;
    OsdConfigRegistry osdConfigs;
    OsgConfigRegistry osgConfigs;

    WorkerInstanceRegistry<stMediaReadWorkerInstanceInfo> readers;
    WorkerInstanceRegistry<stVideoDecodeWorkerInstanceInfo> decoders;
    WorkerInstanceRegistry<stVideoMidProcessWorkerInstanceInfo> vmps;
    WorkerInstanceRegistry<stVideoEncodeWorkerInstanceInfo> encoders;
    WorkerInstanceRegistry<stMediaWriteWorkerInstanceInfo> writers;
    CRegistryLock readersLock;
    CRegistryLock decodersLock;
    CRegistryLock vmpsLock;
    CRegistryLock encodersLock;
    CRegistryLock writersLock;

    ConsumerLinkRegistry links;
    CReadWriteLock linksLock;

    stTYXGeneralSettings generalSettings;
    stMoxConfig moxConfig;
    stRcmSettings rcmSettings;
    std::atomic<int32_t> rcmTcpListenPort{0};
    FixedDeviceMap fixedVideoIn;
    FixedDeviceMap fixedVideoOut;
    FixedDeviceMap fixedAudioIn;
    FixedDeviceMap fixedAudioOut;
    int16_t loadSeqCounter = 0;
    int16_t vmpLevelCount = 0;
    std::shared_ptr<CConfigXmlDocument> moxConfigDocument;
    std::wstring programFolder;
    std::atomic<float> negotiatedInputFrameRate{0.0f};

    CRegistryLock monitorLock;
    std::map<int16_t, std::wstring> monitorAliases;
    std::map<int16_t, uint8_t> monitorPresenting;

    std::mutex exitMutex; // guards the two event pointers
    std::shared_ptr<CEvent> exitRequestEvent;
    std::shared_ptr<CEvent> terminatedSignal;
    std::atomic<int32_t> exitAction{0};
    std::atomic<int32_t> exitDelay{0};
};

stGvmsState &GvmsState();
