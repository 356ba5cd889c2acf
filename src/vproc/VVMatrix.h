#pragma once

// The video-to-video matrix of the matrix worker: which input each output carries, the inputs it
// knows and how many outputs carry each. Three locks, always taken in the order usage, output,
// input when more than one is held.

#include "core/ReadWriteLock.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

struct stVVMatrixInputInfo
{
    uint16_t width = 0;
    uint16_t height = 0;
};

struct stVVMatrixSlot
{
    std::unique_ptr<CReadWriteLock> lock = std::make_unique<CReadWriteLock>();
    stVVMatrixInputInfo info;
};

constexpr int32_t TYX_VVM_ERR_NO_FREE_INPUT = -204;
constexpr int32_t TYX_VVM_ERR_NO_INPUT = -210;

class CVVMatrix
{
public:
    // -1 for an id of 0 or below; the number of inputs when it is new, 0 when it was known (its
    // information is then replaced).
    int32_t SetInputInfo(int32_t inputStreamId, const stVVMatrixInputInfo &info);
    // Output o carries input i (0 none): o, or 0 when o exists already (nothing changes). A
    // negative o takes the lowest free output number.
    int32_t SetOutputInput(int16_t output, int32_t inputStreamId);
    // Moves every output that carries a to b (b 0: the first input that no output carries) and
    // forgets a: the number of outputs moved; -1 for a of 0 or below or b equal to a, -210 for a b
    // the matrix does not know, -204 when no input is free. Nothing changes on failure.
    int32_t DetachInput(int32_t inputStreamId, int32_t replacementId);

    std::vector<int16_t> OutputsOf(int32_t inputStreamId) const;
    std::map<int16_t, int32_t> CopyOutputMap() const;
    int16_t UsageOf(int32_t inputStreamId) const;
    bool HasInput(int32_t inputStreamId) const;
    bool GetInputInfo(int32_t inputStreamId, stVVMatrixInputInfo &info) const;

private:
    mutable CReadWriteLock m_usageLock;
    std::map<int32_t, int16_t> m_usage;
    mutable CReadWriteLock m_outputLock;
    std::map<int16_t, int32_t> m_outputs;
    mutable CReadWriteLock m_inputLock;
    std::map<int32_t, std::unique_ptr<stVVMatrixSlot>> m_inputs;
};
