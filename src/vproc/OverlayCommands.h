#pragma once

// On-screen texts (OSDs) and graphics (OSGs) added to and removed from running workers by remote
// commands and by worker creation, with the program-wide registries that remember them. Any thread may
// call; the registries have their own lock, the workers' writers and drawers guard their own entries.

#include "config/WorkerReference.h"
#include "core/OsdOsgConfig.h"
#include "vproc/OsgItem.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CTYXWorker;

// Owner kinds of an OSD request.
constexpr int32_t OSD_OWNER_DECODER = 0; // a video decoder, or a capture-device reader
constexpr int32_t OSD_OWNER_ENCODER = 1;
// How every command names an OSD: the OSD of an encoder by its registry number plus this base
// (2049..3072), the OSD of any other worker that draws texts (decoder, raw video reader,
// mid-processor) by its registry number (1..2048). The owner's writer keeps the registry number.
constexpr uint16_t OSD_ENCODER_NUMBER_BASE = 2048;
constexpr uint16_t OSD_HIGHEST_NUMBER = 3072;
// Results of the OSD operations besides 0.
constexpr int32_t OSD_NO_SUCH_NUMBER = -8; // no registered OSD, or its owner does not draw it
constexpr int32_t OSD_NO_OWNER = -32;      // no running owner, or the number names the other range

class COsdWriter;
class CRVProcWorker;

// The OSD a command number names, with its registry number, configuration and running owner.
struct stNamedOsd
{
    uint16_t key = 0;
    stTYXOSDConfig config;
    std::shared_ptr<CRVProcWorker> owner;
    std::shared_ptr<COsdWriter> writer; // the owner's writer of the OSD's slot; none when it has none
};
// 0, OSD_NO_SUCH_NUMBER or OSD_NO_OWNER (also for numbers above OSD_HIGHEST_NUMBER).
int32_t FindOsdByNumber(uint16_t number, stNamedOsd &osd);
// Shows or hides the OSD: 0, or the codes of FindOsdByNumber.
int32_t SetOsdVisibleByNumber(uint16_t number, bool visible);
// Renders a new text for the OSD: 0, the codes of FindOsdByNumber, or the writer's negative code for a
// text it refuses (empty, or longer than it draws).
int32_t SetOsdTextOfNumber(uint16_t number, const std::wstring &text);

struct stOsdRequest
{
    int32_t OwnerKind = OSD_OWNER_DECODER;
    int32_t OsdType = 0;
    int32_t PosBase = 0;
    int16_t XShift = 0;
    int16_t YShift = 0;
    int32_t TextColor = 0;
    int32_t FontHeight = 32;
    std::wstring Text;
};

// The id of the instance of the reference's kind whose alias is the reference's alias (ignoring case),
// with its worker; 0 when none or for a kind other than 1, 4, 6, 8 and 9.
int32_t FindWorkerByKindAndAlias(const stTYXWorkerReference &reference, std::shared_ptr<CTYXWorker> &worker);

// The new OSD's number as the commands name it; -1 for an owner kind other than 0 and 1, a text the
// writer refuses (type or font height) or no number left in the owner's range; -32 when the owner is
// not found.
int32_t AddOsd2Worker(const std::wstring &ownerAlias, const stOsdRequest &request);
// 0; -8 when the number is not registered, or when its running owner does not draw it (the
// registration is removed); -32 when the number names the other range (nothing is removed) or when
// its owner worker is not running (the registration is removed).
int32_t RemoveOsdFromWorker(uint16_t number);

// Adds the configured OSGs of the alias that fit the worker kind: the number converted without error.
int32_t AddCfgOsgs2Worker(OsgConfigRegistry configs, const std::wstring &alias,
                          const std::shared_ptr<CTYXWorker> &worker, int32_t workerKind);
// Adds count items of a kind (1 geometries; 2 and 4 one picture or clip) for the target of the worker
// the reference names (or of worker when given): the new OSG number; -1 for bad arguments, an item
// kind other than 1, 2 and 4, or a worker that cannot draw at the target; the negative result of the
// reference parsing; 0 or below when no worker has the reference's alias.
int32_t AddOsgs2Worker(const std::wstring &reference, int32_t target, int32_t kind, std::vector<stOsgItem> items,
                       const std::shared_ptr<CTYXWorker> &worker = nullptr);
// The number of registered OSGs; -1 when none is registered; -2 when the number is not registered.
int32_t RemoveOsgFromWorker(uint16_t number);

// Registry views (status and tests).
int32_t GetRegisteredOsgCount();
// The item ids an OSG still has on its worker; empty when none or unknown.
std::vector<uint32_t> GetOsgItemIds(uint16_t number);
// Forgets every OSG (shutdown and tests); the workers keep what they draw.
void ClearOsgRegistry();
