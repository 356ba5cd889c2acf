#pragma once

#include <cstdint>
#include <map>
#include <string>

// The system settings records that the loaders fill and the program-wide state holds. Plain
// records with the values a process starts with; InitGeneralSettings sets the run's defaults.

// One configured GPU; the values are those an item starts from before it is read.
struct stTYXGpuSetting
{
    int32_t GpuType = 0; // 1 "InCore", 2 "Adapter", else 0
    std::wstring manufacturer;
    std::wstring DeviceName;
    int32_t VendorId = 0;
    int64_t GPULUID = 0;
    int32_t PCIBUSID = -1;
    int32_t PCIDEVICEID = -1;
    bool Exclusive = true;
};

struct stTYXGeneralSettings
{
    uint8_t DebugLevel = 5;
    int16_t DebuglogLife = 7;          // days
    int32_t DebuglogSizeLimit = 8192;
    std::map<uint16_t, stTYXGpuSetting> GPUs;
    std::wstring BindInterface;
    std::wstring BindMAC;
    std::wstring LocalTimeSvr;
    int32_t TimeSynCycle = 0;
    bool InitializeMonitors = false;
    int32_t DefaultBGC = 0;            // colour codes of ParseColor
    int32_t ErrMsgColor = 4;
    int32_t InfoMsgColor = 16;
    int16_t MsgHeight = 0;
    int16_t MTRTD = 0;
    int16_t RTL_Level0 = 100;
    int16_t RTL_Level1 = 300;
    int16_t RTL_Level2 = 900;
    int16_t RTL_Level3 = 2700;
    uint16_t MTIFD = 0;
    int16_t AVSynLimit = 300;
    bool SIF = true;
    bool RealtimeCtrl = true;
    bool AVSyn = true;
    bool PeopleDetect = false;
    bool FaceID = false;
    std::wstring ServiceName;
    std::map<std::wstring, int32_t> DependedService;
    int32_t TimeWaitingDpdc = 0;       // milliseconds
    uint16_t KeyStrmWaitTime = 0;
    std::wstring CustomerName;
    std::wstring StandByMsg;
    std::wstring Location;
    int32_t GlobalTyxId = 0;
    std::wstring TRVKAddr;
    int16_t TRVKPushPort = 1935;
    std::wstring StreamPushPath;
    std::wstring FtpRecordPath;
    std::wstring FtpUser;
    std::wstring FtpPwd;
    std::wstring LiveBCWriter;
    std::wstring PreviewWriter;
    std::wstring RecordWriter;
    float GlobalFramerate = 0.0f;
    int32_t GlobalSamplerate = 0;
    bool ShowProgress = true;
};

// The companion audio program, or the FFmpeg audio push when the companion does not run here.
struct stMoxConfig
{
    bool MOXInLocal = false;
    std::wstring MOXPath;
    std::wstring MOXMainPE;
    std::wstring MOXConfigFile;
    std::wstring MOX_RCPort_Item;
    bool UseFpgAudio = false;
    int32_t SampleRate = 0;
    int32_t AEBitRate = 0;
    int16_t BitWidth = 0;
    int16_t Channel = 0;
    std::wstring FpgMainPath;
    std::wstring AudioPushCmd;
    std::wstring AudioAdapter;
    std::wstring DestURL;
    std::wstring ARecordPrefix;
    std::wstring ARecordPath;
};

// Device number (1, 2, ...) to device name.
using FixedDeviceMap = std::map<uint16_t, std::wstring>;
