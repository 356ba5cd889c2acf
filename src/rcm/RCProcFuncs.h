#pragma once

#include "platform/Event.h"
#include "rcm/RCCommand.h"
#include "rcm/RCInDemandOps.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

struct stTYXStatusInfo;

// Results of the executor's own commands.
constexpr int32_t TYX_RC_WAITING_START = -4;
constexpr int32_t TYX_RC_NO_SUCH_ID = -8;
constexpr int32_t TYX_RC_STOP_TOO_SOON = -10;
constexpr int32_t TYX_RC_NO_SUCH_ALIAS = -16;
constexpr int32_t TYX_RC_NO_OWNER = -32;
constexpr int32_t TYX_RC_NO_COMPANION = -50;
constexpr int32_t TYX_RC_BAD_FAMILY = -64;
constexpr int32_t TYX_RC_NO_SOURCES = -1024;

// The one way remote commands reach the running system. The server's category threads call
// OnRCCmd, up to three at once; the executor keeps no state but the start gate, takes the registry
// locks one at a time through the registries' own operations, and reaches what lies above it
// through the in-demand operations.
class CRCCommandExecutor
{
public:
    // waitForStart: every command but StartWork is refused until StartWork arrives.
    CRCCommandExecutor(std::shared_ptr<CRCInDemandOps> operations, bool waitForStart);

    // 0 or a positive id on success, a negative code on failure; reply receives the reply bytes of
    // the few commands that have one.
    int32_t OnRCCmd(uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply);
    bool IsStarted() const { return m_started.IsSet(); }
    // Waits for StartWork (the main run waits here when the configuration asks for it).
    bool WaitForStart(uint32_t timeoutMs);

    // The status record of GetTYXStatus.
    void FillStatusInfo(stTYXStatusInfo &status);
    // One line per running worker with its state and packet counts.
    std::string BuildWorkersStatus();

private:
    int32_t Dispatch(uint16_t code, const stRCCommand &command, std::vector<uint8_t> &reply);
    int32_t MediaWriterControl(const stRCCommand &command, std::vector<uint8_t> &reply);
    int32_t ChangeRegionInput(const stRCCommand &command);
    int32_t ChangeMuxFocus(const stRCCommand &command);
    int32_t OsdControl(const stRCCommand &command);
    int32_t OsdSetText(const stRCCommand &command);
    int32_t AddNewInputOsd(const stRCCommand &command);
    int32_t RemoveOverlay(const stRCCommand &command, bool graphics);
    int32_t MuxMembership(uint16_t code, const stRCCommand &command);
    int32_t ChangeMuxLayout(const stRCCommand &command);
    int32_t AddInput(const stRCCommand &command, bool video);
    int32_t DelInput(const stRCCommand &command);
    int32_t DirectOutput(const stRCCommand &command, bool start);
    int32_t SetServerAddr(const stRCCommand &command);
    int32_t ExitRequest(uint16_t code, const stRCCommand &command);
    int32_t Companion(bool start);
    int32_t AddOsgGeometry(const stRCCommand &command);

    std::shared_ptr<CRCInDemandOps> m_ops;
    CEvent m_started{true, false};
};

// The control port change of SetServerRCPort: the companion's port is written into its
// configuration (restarting it when changed), the program's own port into the settings file, and
// either change restarts the program after 60 s.
void SetMoxCtrlPort(uint16_t controlPort, uint16_t companionPort, CRCInDemandOps &operations);
