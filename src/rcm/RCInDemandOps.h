#pragma once

#include "core/TYXWorkerConfig.h"

#include <cstdint>
#include <memory>
#include <string>

class CTYXWorker;

// Results of the remote commands besides 0 (or a new id) and the small negative codes.
constexpr int32_t TYX_RC_NOT_SUPPORTED = -32768;
constexpr int32_t TYX_RC_NO_OBJECT = -33792; // no GPU device, decoder, mux or needed event

// The settings file beside the program that remote changes (control port, live URL) are written to.
constexpr const wchar_t *RCM_SETTINGS_FILE_NAME = L"TyxServiceMain.ini";

// A text overlay asked for by a remote command.
struct stRcOsdRequest
{
    int32_t OwnerType = 0; // 0: an input video
    int32_t OsdType = 0;
    int32_t PosBase = 0;
    int16_t XShift = 0;
    int16_t YShift = 0;
    int32_t TextColor = 0;
    int32_t TextHeight = 0;
    std::wstring Content;
};

// A media source asked for by a remote command: the reader's configuration and what the source
// commands add to it.
struct stRcSourceRequest
{
    stMediaSourceReadWorkerConfig Config; // alias, URL, type, credentials, NTP
    bool Video = true;
    uint16_t StreamId = 0;
    uint16_t EstimatedDelay = 150;
    uint16_t CacheTime = 0;
    bool SIFRequired = false;
    int32_t DecodeEngine = -1; // -1: not given
};

// The address change of SetServerAddr; texts that do not fit are left empty.
struct stRcAddressRequest
{
    bool DHCP = false;
    uint16_t Family = 2;
    uint8_t PrefixLength = 0;
    std::wstring Address;
    std::wstring Mask;
    std::wstring Gateway;
};

// What the command executor asks of the running graph, the overlays, the host network and the
// program. The overlay operations and the exit request work as they are; every other operation
// answers TYX_RC_NOT_SUPPORTED (or does nothing) until the graph and the program override it, so
// the commands that need it fail with a clear code. Called on the server's category threads.
class CRCInDemandOps
{
public:
    virtual ~CRCInDemandOps() = default;

    // ---- graph ----
    virtual int32_t AddMediaSource2TYX(const stRcSourceRequest &request);
    virtual int32_t RemoveMediaSource(uint32_t id, const std::wstring &alias);
    virtual int32_t AddVSToMux(int32_t region, const std::wstring &alias, const std::wstring &muxAlias);
    virtual int32_t RemoveVSFromMux(const std::wstring &alias, const std::wstring &replacement);
    virtual int32_t ChangeMuxLayoutOnDemand(int32_t layout, const std::wstring &sources, const std::wstring &childWindows);
    virtual int32_t ChangeRegionInput(const std::shared_ptr<CTYXWorker> &mux, int32_t region, uint32_t inputId);
    virtual int32_t ChangeFocusInput(const std::shared_ptr<CTYXWorker> &mux, uint32_t inputId);
    // The mux's layout type and the input its focus region shows: 0, or a negative code.
    virtual int32_t GetMuxState(const std::shared_ptr<CTYXWorker> &mux, int32_t &layout, uint32_t &focusInputId);
    virtual int32_t StartDirectOutput(const std::wstring &alias, int32_t monitor);
    virtual int32_t StopDirectOutput(const std::wstring &alias);
    // The record sub-path of a recording writer ("2026-03\" and the like), empty when unknown.
    virtual std::wstring GetRecordSubPath(const std::shared_ptr<CTYXWorker> &writer);

    // ---- overlays ----
    virtual int32_t SetOsdTextByNumber(uint16_t number, const std::wstring &text);
    virtual int32_t AddOsd2Worker(const std::wstring &alias, const stRcOsdRequest &request);
    virtual int32_t RemoveOsdFromWorker(uint16_t number);
    // Parses the definition and adds its geometry to the video that the alias (or a reference text)
    // names: the group id; 0 when no video has the alias; or the parser's or the adder's code.
    virtual int32_t AddOsgGeometry(const std::wstring &alias, int32_t position, const std::string &definition);
    virtual int32_t RemoveOsgFromWorker(uint16_t number);

    // ---- host and program ----
    virtual int32_t SetComputerNameFromRC(const std::string &name);
    virtual int32_t SetAdapterAddress(const stRcAddressRequest &request);
    // Records the exit action (0 exit, 1 power off, 2 reboot, 3 restart after delaySeconds) and
    // sets the exit-request event; by default through the program-wide exit request.
    virtual void RequestServiceExit(int32_t action, uint32_t delaySeconds);
    // Sets the companion program's stop event: 0, TYX_RC_NO_OBJECT without one.
    virtual int32_t SignalMoxExit();
    virtual int32_t StartModuleProcess();
    virtual int32_t StartFfmpegAudio();
    virtual int32_t StopFfmpegAudio();
    // Seconds since 1970 at which the host started.
    virtual int64_t HostBootTime();
    // The INI file that run-time changes are written back to (by default RCM_SETTINGS_FILE_NAME in
    // the program folder); empty: not written back.
    virtual std::wstring SettingsFile();
};
