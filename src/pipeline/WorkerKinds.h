#pragma once

#include "host/WorkerInstanceInfo.h"

#include <cstdint>
#include <memory>
#include <vector>

// The five kinds that the graph builds, with what each pass needs of a kind's registries.
struct stWorkerKindInfo
{
    int32_t kind = 0;
    const wchar_t *name = L"";   // the kind name in messages
};

// The kinds in creation order (consumers first): writers, encoders, mid-processors, decoders,
// readers. The other passes walk this list forwards or backwards.
const std::vector<stWorkerKindInfo> &GraphKindsConsumersFirst();
// The kind name of a kind code ("" for a kind the graph does not build).
const wchar_t *WorkerKindName(int32_t kind);

// The kind's configuration records, one per worker id (the first in registry order when several
// share one), in descending order of worker id.
std::vector<stTYXWorkerConfig *> ConfiguredWorkersOfKind(int32_t kind);
// The size of the kind's configuration registry.
size_t ConfiguredCountOfKind(int32_t kind);
// A new, empty instance record of the kind's class; none for a kind the graph does not build.
std::shared_ptr<stTYXWorkerInstanceInfo> NewInstanceRecord(int32_t kind);
// The kind's instance records in ascending worker id (shared with the registry).
std::vector<std::shared_ptr<stTYXWorkerInstanceInfo>> InstanceRecordsOfKind(int32_t kind);
// Empties the kind's instance registry.
void ClearInstancesOfKind(int32_t kind);
size_t InstanceCountOfKind(int32_t kind);
