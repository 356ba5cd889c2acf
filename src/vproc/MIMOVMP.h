#pragma once

// The shape of the mid-processing workers with several inputs and outputs (the matrix): its inputs
// are those it was configured with.

#include "vproc/TYXMPWorker.h"

class CMIMO_VMP : public CTYXMPWorker
{
public:
    CMIMO_VMP(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks)
        : CTYXMPWorker(workerId, inputLinks, consumerLinks, true, true)
    {
    }

    virtual int32_t OnNewInputAdded(uint32_t inputStreamId) = 0;
    virtual int32_t DetachInput(uint32_t inputStreamId, uint32_t replacementId) = 0;
    virtual int32_t AddInputStream(uint32_t, uint8_t) { return 0; }
};
