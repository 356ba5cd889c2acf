#pragma once

#include <cstdint>
#include <string>

// What a worker takes in or gives out; a worker's input and output masks combine these bits.
enum TYXStreamTypeMask : uint8_t
{
    TYX_STRM_LINKED = 0x01,      // linked to other workers
    TYX_STRM_RAW_VIDEO = 0x02,   // decoded pictures
    TYX_STRM_CODED_VIDEO = 0x04,
    TYX_STRM_RAW_AUDIO = 0x08,
    TYX_STRM_CODED_AUDIO = 0x10,
};

// One input or output stream of a worker. For an output item Id is the stream the worker gives
// out; for an input item it is the producer's output stream that feeds it.
struct stTYXWorkerItemInfo
{
    int32_t Id = 0;
    int16_t No = 0;    // stream number within the worker
    int32_t Kind = 0;  // package kind (TYX_PKT_KIND_*)
    std::wstring Name;
    std::wstring Note;

    bool operator==(const stTYXWorkerItemInfo &) const = default;
};
