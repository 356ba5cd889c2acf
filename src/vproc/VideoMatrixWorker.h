#pragma once

// The matrix worker: routes pictures unchanged. Each output stream (worker id + output number)
// carries one input stream; every package of an input goes to the consumers of every output that
// carries it, each consumer getting its own copy.

#include "vproc/MIMOVMP.h"
#include "vproc/VVMatrix.h"

constexpr int32_t TYX_MATRIX_ERR_NO_LINK = -210;

class CVideoMatrixWorker : public CMIMO_VMP
{
public:
    CVideoMatrixWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks);

    uint32_t WorkingFunc() override;
    int32_t Initialize(uint8_t gpuProcessing, int32_t gpuDevice) override;
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    int32_t SetInputParameters(const stStreamParams &params, uint32_t streamId) override;
    int32_t OnNewInputAdded(uint32_t inputStreamId) override;
    // -1 for an id of 0, -210 when a (or a given b) has no input link; else the matrix's result.
    int32_t DetachInput(uint32_t inputStreamId, uint32_t replacementId) override;

    CVVMatrix &Matrix() { return m_matrix; }

private:
    // One pass over the inputs: the number of packages moved, -1 on the quit event.
    int32_t RoutePass();
    size_t CountConsumersOf(const std::vector<int16_t> &outputs);
    void RouteInput(uint32_t inputStreamId, stWorkerInputLink &link, const std::vector<int16_t> &outputs);

    CVVMatrix m_matrix;
};
