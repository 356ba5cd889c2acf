#pragma once

// The shape of the mid-processing workers with one input and several outputs (the split worker).

#include "vproc/TYXMPWorker.h"

class CMultiOut_VMP : public CTYXMPWorker
{
public:
    CMultiOut_VMP(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks)
        : CTYXMPWorker(workerId, inputLinks, consumerLinks, false, true)
    {
    }
};
