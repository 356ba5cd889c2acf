#pragma once

// The shape of the mid-processing workers with several inputs and one output (the mux): inputs
// are added and removed while the worker runs.

#include "vproc/TYXMPWorker.h"

class CMultiIn_VMP : public CTYXMPWorker
{
public:
    CMultiIn_VMP(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
                 bool multiOutput);

    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    int32_t RemoveInputStream(uint32_t inputStreamId) override;
    // Removes an input once the worker has let it go (DetachInput, which may name a replacement):
    // the number of inputs left; -1 for id 0 or an unknown input, or DetachInput's negative result
    // (the input then stays). The link record goes to removed when given.
    int32_t RemoveInputStream(uint32_t inputStreamId, stWorkerInputLink *removed, uint32_t replacementId);

    virtual int32_t OnNewInputAdded(uint32_t inputStreamId) = 0;
    virtual int32_t DetachInput(uint32_t inputStreamId, uint32_t replacementId) = 0;
    // Adds an input with a new queue: the link (its queue and lock), or one without a queue when
    // the id is 0 or already an input. notRequired 0 marks the input as required.
    virtual stWorkerInputLink AddInputStream(uint32_t inputStreamId, uint8_t notRequired);
};
