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
// Numbers above this name encoder OSDs in removals and text changes.
constexpr uint16_t OSD_ENCODER_NUMBER_BASE = 2048;

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

// The new OSD number; -1 for an owner kind other than 0 and 1 or a text the writer refuses (type or
// font height); -32 when the owner is not found.
int32_t AddOsd2Worker(const std::wstring &ownerAlias, const stOsdRequest &request);
// 0; -8 when the number is not registered; -32 when its owner worker is not found.
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
