#pragma once

// The base of every worker that handles pictures (decoders, mid-processors, encoders, the raw video
// reader). On top of CTYXWorker it keeps the source status texts, the overlay slots (one text writer
// and one graphics drawer per drawing target), the clock overlay refresh, a frame-rate adjuster for
// the subclasses, and the two direct outputs of each output stream: the frame pipe (CRVTPServer) and
// the direct display (CRVDOServer).
//
// One output record when the worker keeps a single output (per-output parameters off; stream ids
// are then ignored), else one record per output stream id, made by the subclass with
// AddOutputRecord. The same for the input overlay slot (target 2) with per-input parameters.
//
// Threads: the server operations run on the pipeline manager's or a remote-control thread, one at a
// time; the overlay slots are set from configuration threads; the worker's own threads draw and feed
// the servers. Slots and server holders are guarded by one lock, and writers, drawers and servers are
// shared, so whatever a frame thread has taken stays alive while it uses it.

#include "core/FrameRateAdjuster.h"
#include "core/TYXConfigRecords.h"
#include "core/TYXWorker.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class COsdWriter;
class COsgDrawer;
class CDirectOutputServer;
class CRVDOServer;
class CRVTPServer;

// Drawing targets (bit codes).
constexpr int32_t TYX_OVERLAY_INPUT = 2;
constexpr int32_t TYX_OVERLAY_OUTPUT = 4;
constexpr int32_t TYX_OVERLAY_OUTPUT2 = 8;
constexpr int32_t TYX_OVERLAY_DIRECT_DISPLAY = 16;
constexpr int32_t TYX_OVERLAY_FRAME_PIPE = 32;

// Display types of the direct display.
constexpr int32_t TYX_DISPLAY_WINDOW = 1;
constexpr int32_t TYX_DISPLAY_NAMED_WINDOW = 2;
constexpr int32_t TYX_DISPLAY_MONITOR = 4;

// Results of the server operations.
constexpr int32_t TYX_RVP_ERR_SIZE = -1;
constexpr int32_t TYX_RVP_ERR_RECORD = -2; // no record for the stream, or the server cannot initialise
constexpr int32_t TYX_RVP_ERR_HOLDER = -4;
constexpr int32_t TYX_RVP_ERR_SERVER = -8;
constexpr int32_t TYX_RVP_ERR_DISPLAY = -128; // display type or monitor not usable

// Item numbers of the status texts start here (code -90 -> 101, ...).
constexpr int32_t TYX_STATUS_OSD_FIRST = 101;

struct stOverlaySlot
{
    uint8_t osdOn = 0; // a writer is set
    uint8_t osgOn = 0; // a drawer is set
    std::shared_ptr<COsdWriter> writer;
    std::shared_ptr<COsgDrawer> drawer;
};

struct stFramePipeHolder
{
    int32_t option = 0;              // set by SetRvtpServerOption while no server exists
    int64_t optionValues[2] = {0, 0}; // handed to the server when non-zero
    std::wstring outputName;          // the socket name's suffix
    std::shared_ptr<CRVTPServer> server;
};

struct stDirectDisplayHolder
{
    uint8_t enabled = 0;
    int32_t displayType = 0;          // TYX_DISPLAY_*
    int16_t monitorNo = 0;            // 1 to 8
    int16_t windowWidth = 0;
    int32_t windowHeight = 0;
    std::wstring text1;               // the two names of display type 2
    std::wstring text2;
    std::wstring name;                // names the server, its window and its monitor; the worker's when empty
    std::shared_ptr<CRVDOServer> server;
};

// Everything one output stream needs besides its queue.
struct stVideoOutputRecord
{
    stOverlaySlot outputSlot;         // target 4
    stFramePipeHolder pipe;
    stOverlaySlot pipeSlot;           // target 32, drawn by the pipe server
    stDirectDisplayHolder display;
    stOverlaySlot displaySlot;        // target 16, drawn by the display server
    // Left to the subclasses.
    uint8_t flag1 = 0;
    uint8_t flag2 = 0;
    int64_t value64 = 0;
    int16_t value16 = 0;
    std::wstring text1;
    std::wstring text2;
    stOverlaySlot outputSlot2;        // target 8
};

// True when both texts were non-empty; both are emptied.
bool SwapStrings(std::wstring &first, std::wstring &second);

class CRVProcWorker : public CTYXWorker
{
public:
    CRVProcWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
                  int32_t workerKind, bool perInputParams, bool perOutputParams);
    ~CRVProcWorker() override;

    // Starts the frame pipe of an output for pictures of width x height: 0 (also when it already
    // runs), -1 for an empty or odd size, -2 without a record or when the server cannot initialise,
    // a negative errno when its thread cannot start.
    virtual int32_t StartRvtpServer(int32_t width, int32_t height, int32_t outputStreamId);
    // Stops the pipe server's thread and uninitialises it (destroy: and deletes it): 0, -2 without
    // a record, -8 without a server.
    virtual int32_t StopRvtpServer(bool destroy, int32_t outputStreamId);
    // Starts the direct display of an output by its display settings (EnableDirectOutput): 0 (also
    // while it shows), -1 for an empty or odd size, -2 as above, -128 for a display type or monitor
    // that cannot be used, a negative errno when the thread cannot start.
    virtual int32_t StartRvdoServer(int32_t width, int32_t height, int32_t outputStreamId);
    virtual int32_t StopRvdoServer(bool destroy, int32_t outputStreamId);
    virtual std::shared_ptr<COsdWriter> GetOsdWriter(int32_t target, int32_t streamId);
    // Sets the writer of a slot (none clears it): the slot, or none.
    virtual stOverlaySlot *SetOsdWriter(std::shared_ptr<COsdWriter> writer, int32_t target, int32_t streamId);
    virtual std::shared_ptr<COsgDrawer> GetOsgDrawer(int32_t target, int32_t streamId);
    virtual stOverlaySlot *SetOsgDrawer(std::shared_ptr<COsgDrawer> drawer, int32_t target, int32_t streamId);
    // Turns the direct display of an output on with the settings; display type 4 takes the monitor
    // (1 to 8) for this worker's name unless another worker owns it. False when refused.
    virtual bool EnableDirectOutput(const stDirectOutputConfig &settings, int32_t outputStreamId);
    virtual void DisableDirectOutput(int32_t outputStreamId);
    virtual void SetRvtpServerOption(int32_t value, int32_t outputStreamId);
    // True when the output's frame pipe is enabled (its pipe option is set).
    bool IsRvtpServerOptionOn(int32_t outputStreamId);
    // Disables the direct display, waits 75 ms and signals its server to stop showing.
    virtual void StopDirectOutput(int32_t outputStreamId);
    // True for 0 to 8 (callers check 1 to 8 themselves).
    virtual bool IsValidMonitorNo(uint16_t number);

    // Stops and deletes every pipe and display server of the worker.
    void unInitialize() override;

    // The slot of a target (2 input; 4, 8, 16, 32 output) and stream, or none. The slot lives as long
    // as the worker; read its fields through CopyOverlaySlot.
    stOverlaySlot *FindOverlaySlot(int32_t target, int32_t streamId);
    std::optional<stOverlaySlot> CopyOverlaySlot(int32_t target, int32_t streamId);
    // Sets the clock texts (content kind 1 time, 4 date and time) of the writers in the selected single
    // slots (target bits 2, 4, 8, 16, 32) when the second of timeUs (program clock) is new: the
    // number of texts set, 0 with the time overlay off or an old second, -2 without a writer, -4
    // when the time cannot be converted.
    int32_t PrepareTimeOsdInNeed(int64_t timeUs, int32_t targetBits);
    // Switches the clock texts on once a time or date-and-time text is configured for the worker.
    void SetTimeOsdOn(bool on) { m_timeOsdOn = on ? 1 : 0; }

protected:
    // ---- for the subclasses ----
    // Adds the record of an output stream (per-output parameters) or the input slot of an input
    // stream (per-input parameters); false for an id of 0 or below or one already present. Call them
    // before the worker's threads run.
    bool AddOutputRecord(int32_t outputStreamId, const std::wstring &pipeOutputName = {});
    bool AddInputSlot(int32_t inputStreamId);
    void SetPipeOutputName(const std::wstring &name, int32_t outputStreamId);
    // The name of an output's direct display (before EnableDirectOutput), for a worker of several
    // outputs that each show on their own.
    void SetDisplayOutputName(const std::wstring &name, int32_t outputStreamId);

    // A text writer holding one hidden-or-shown text per source status code (item numbers 101 to
    // 109), in "Arial" of the status text height and the error text colour (the info colour for codes
    // below -598), at the position code given. Its frame size is not set yet.
    std::shared_ptr<COsdWriter> CreateStatusOsdWriter(int32_t position) const;
    // Shows only the status text of the code on the picture: 0 drawn, 1 when no text has that code
    // (logged; the picture is left alone), -1 for a picture without data, the writer's negative code.
    int32_t DrawStatusOnFrame(COsdWriter &writer, FramePackage &frame, int32_t statusCode);
    // Draws the text overlays, then the graphics of one slot onto a picture, sizing them to it;
    // failures are logged and the picture goes on. 0, or -1 without a slot.
    int32_t DrawOverlaysOnFrame(FramePackage &frame, int32_t target, int32_t streamId);
    // Queues a device copy of the picture to the pipe and the display server of the output when they
    // run (each holds at most 30; a copy that does not fit is dropped): the number of queues reached.
    int32_t PushFrameToDirectOutputs(const FramePackage &frame, int32_t outputStreamId);
    // The servers of an output (none when absent).
    std::shared_ptr<CRVTPServer> GetRvtpServer(int32_t outputStreamId);
    std::shared_ptr<CRVDOServer> GetRvdoServer(int32_t outputStreamId);
    // The status text of a code ("" when none).
    std::wstring StatusText(int32_t statusCode) const;

    int32_t m_statusItemBase = -1;
    int32_t m_counters[3] = {0, 0, 0};
    CFrameRateAdjuster m_frameRateAdjuster;
    std::atomic<uint8_t> m_timeOsdOn{0};      // a clock text is configured
    std::atomic<int64_t> m_lastShownSecond{0};
    std::map<int16_t, std::wstring> m_statusTexts;
    std::map<int16_t, int32_t> m_statusItems;  // status code -> OSD item number

private:
    stVideoOutputRecord *ChooseRecord(int32_t outputStreamId);
    // Gives back the monitors this worker owns and no enabled output of it uses (all: every one).
    void ReleaseMonitors(bool all);
    stOverlaySlot *ChooseSlot(int32_t target, int32_t streamId);
    // Changes a slot under the lock and hands its overlays to the server that draws them.
    stOverlaySlot *UpdateSlot(int32_t target, int32_t streamId, const std::function<void(stOverlaySlot &)> &update);
    stVideoOutputRecord *RecordToStart(int32_t width, int32_t height, int32_t outputStreamId, int32_t &result);
    int32_t StopServer(bool pipe, bool destroy, int32_t outputStreamId);
    void ForgetServer(bool pipe, int32_t outputStreamId, const std::shared_ptr<CDirectOutputServer> &server);
    void StopServerForGood(CDirectOutputServer &server);
    std::shared_ptr<CRVTPServer> PreparePipeServer(stVideoOutputRecord &record, int32_t width, int32_t height,
                                                   int32_t &result);
    std::shared_ptr<CRVDOServer> PrepareDisplayServer(stVideoOutputRecord &record, int32_t width, int32_t height,
                                                      int32_t &result);
    int32_t ShowOnDisplay(stVideoOutputRecord &record, CRVDOServer &server);
    std::wstring DisplayNameOf(const stVideoOutputRecord &record) const; // under the record lock
    std::vector<std::shared_ptr<COsdWriter>> CollectClockWriters(int32_t targetBits);
    void DestroyServers(stVideoOutputRecord &record);

    mutable std::mutex m_recordLock;  // slots and holders of every record
    std::mutex m_serverOpLock;        // one server operation at a time
    stOverlaySlot m_inputSlot;
    stVideoOutputRecord m_outputRecord;
    std::map<int32_t, stOverlaySlot> m_inputSlots;
    std::map<int32_t, stVideoOutputRecord> m_outputRecords;
};
