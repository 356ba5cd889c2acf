#pragma once

// Changes of the running graph on remote command: sources removed, direct displays switched, overlay
// texts changed, mux layout lists read. They run on the remote-control threads, take the registry
// locks one at a time through the registries' own operations and call the workers' operations
// outside them.

#include "core/TYXConfigRecords.h"
#include "core/TYXWorkerConfig.h"
#include "host/WorkerInstanceInfo.h"
#include "vproc/VideoMux.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CTYXWorker;

// Results beyond 0.
constexpr int32_t IND_WORKER_NOT_FOUND = -1;
constexpr int32_t IND_SOURCE_TYPE_REFUSED = -8;
constexpr int32_t IND_SOURCE_WITHOUT_STREAMS = -15;
constexpr int32_t IND_ALIAS_IN_USE = -18;
constexpr int32_t IND_NO_SUCH_OSD = -8;
constexpr int32_t IND_SOURCE_NOT_FOUND = -16;
constexpr int32_t IND_SOURCE_IN_USE = -20;
constexpr int32_t IND_NO_OSD_OWNER = -32;
constexpr int32_t IND_MONITOR_IN_USE = -44;

// The text of an OSD by the number every command names it with (above 2048: an encoder's): 0, -8 or
// -32, or the writer's negative code for a text it refuses (empty, or longer than it draws).
int32_t SetOsdTextByNumber(uint16_t number, const std::wstring &text);

// Shows the worker the alias names full screen on the monitor: 0; -44 when another worker shows on
// it; -1 when no worker has the alias, the monitor is outside 1..8 or the worker cannot show; the
// negative code of a bad reference.
int32_t StartDirectOutput(const std::wstring &alias, int32_t monitor);
// Switches the worker's direct display off and frees its monitors: 0, -1 or a reference's code.
int32_t StopDirectOutput(const std::wstring &alias);

// Decoder choices of a new source's video streams that get a decoder here.
constexpr int32_t IND_DECODER_DEFAULT = 256;
constexpr int32_t IND_DECODER_NOT_GIVEN = 65535;

// One stream of a newly added source: its id, its decoder's id (0 without one) and its name.
struct stMediaStreamLink
{
    uint32_t streamId = 0;
    uint32_t decoderId = 0;
    std::wstring streamName;
};

// How new workers are made (the worker graph's CreateSingleWorker) and on which device they run.
struct stInDemandGraph
{
    std::function<int32_t(int32_t kind, stTYXWorkerConfig *config, stTYXWorkerInstanceInfo *record)> create;
    int32_t deviceIndex = 0;
    uint8_t screenOutput = 0;
};

// Adds a source (RTSP, RTMP or capture video) with a decoder for each of its video streams, linked,
// initialised and started while the rest runs: the new reader's id; -16 for an empty alias; -18 for an
// alias in use; -8 for another source type; -15 without streams or for a network source that cannot be
// opened; the creation's negative result, after which nothing of the source is left.
int32_t AddMediaSource2TYX(const stMediaSourceReadWorkerConfig &config, int32_t decoderChoice,
                           std::list<stMediaStreamLink> &streams, const stInDemandGraph &graph);

// Removes a source by id (alias written back) or, with id 0, by alias (id written back): its reader
// and every decoder of it are stopped and destroyed. 0; -16 when it is not registered; -20 when the
// reader or one of its decoders feeds anything else, and then nothing changes.
int32_t RemoveMediaSource(uint32_t &id, std::wstring &alias);

// The record sub-path of a recording writer for the local date ("2026-03\" and the case number with
// "\" as the writer keeps them) and the list file name; false for a worker that records no files.
bool GetRecordSubPath(const std::shared_ptr<CTYXWorker> &writer, const std::tm &localDate, std::wstring &subPath,
                      std::string &listName);

constexpr int32_t IND_TOO_FEW_SOURCES = -28;
constexpr int32_t IND_NO_OBJECT = -33792; // no decoder for the source, no mux

// What a producer sends on, which the mux's inputs and regions are keyed by: its first output
// stream, or its single output (id + 1).
uint32_t VideoOutputOf(const CTYXWorker &producer, uint32_t producerId);
// The mux input of a source: the video output of the reader itself for capture video, else of its
// first decoder, with that producer: 0; -16 when no source has the alias; -33792 when it has no decoder.
int32_t FindSourceInputId(const std::wstring &alias, uint32_t &inputId, std::shared_ptr<CTYXWorker> &producer);
// The input-to-region map of a layout change (inputs in the order of the aliases, regions from 1):
// the number of sources the layout needs; -1 for a layout type without an on-demand count; -28 when
// fewer of the aliases name sources with an input.
int32_t BuildMuxLayoutRegions(int32_t layoutType, const std::list<std::wstring> &aliases,
                              std::map<int32_t, int16_t> &regions);

constexpr int32_t IND_REGION_OUTSIDE_LAYOUT = -1024;

// Joins a source into the mux of the alias (every mux when empty) and shows it at the region (0: joined
// without a window): 0; -16 for an unknown source; -1024 for a region outside the current layout
// (checked before anything joins); -33792 without a decoder for the source or without a mux; the
// mux's negative result of the region change.
int32_t AddVSToMux(const std::wstring &sourceAlias, const std::wstring &muxAlias, int32_t region);
// Takes a source out of the first mux, optionally showing the replacement in its place: 0; -16 for an
// empty, unknown or self replacing source; -33792 without a mux; -26 when the source is not an input of
// the mux; -24 or -22 when the mux cannot let it go.
int32_t RemoveVSFromMux(const std::wstring &sourceAlias, const std::wstring &replacementAlias);
// A new layout with the listed sources on the first mux: the mux's result; -1, -28 or -33792.
int32_t ChangeMuxLayoutOnDemand(int32_t layoutType, const std::wstring &sources, const std::wstring &childWindows);

// Reads "a;b;..." into aliases and, with two or more of them, "n:n:n:n:n:n;..." into child windows
// (anchor, kind, x, y, width, height: the first six numbers of an item, items with fewer skipped,
// each bounded to its field and never negative): the number of aliases.
int32_t ParseMuxLayoutLists(const std::wstring &sources, const std::wstring &childWindows,
                            std::list<std::wstring> &aliases, std::vector<stPipWindowInfo> &windows);
