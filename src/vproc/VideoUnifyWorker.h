#pragma once

// The unify worker: brings one input stream to a fixed picture size and, when configured, a fixed
// frame rate, draws its overlays and passes the pictures on.

#include "vproc/TYXMPWorker.h"

#include <set>

class CVideoUnifyWorker : public CTYXMPWorker
{
public:
    CVideoUnifyWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks);

    uint32_t WorkingFunc() override;
    int32_t Initialize(uint8_t gpuProcessing, int32_t gpuDevice) override;
    void unInitialize() override;
    // 0; -1 without a configuration; -10 for an output size outside 320..15360 x 180..8640.
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;

    uint16_t OutputWidth() const { return m_outputWidth; }
    uint16_t OutputHeight() const { return m_outputHeight; }

private:
    // Brings the package to the output size: false when it cannot (the package is then freed).
    bool FitToOutputSize(FramePackage &package);
    void SendConverted(FramePackageQueue &converted);

    uint16_t m_outputWidth = 0;
    uint16_t m_outputHeight = 0;
    float m_outputFrameRate = 0.0f;
    uint32_t m_inputStreamId = 0;
    bool m_pipeWanted = false;
    bool m_displayWanted = false;
    std::set<uint32_t> m_inputStreams;
};
