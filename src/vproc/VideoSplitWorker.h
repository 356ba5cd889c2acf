#pragma once

// The split worker: cuts every input picture into rectangular outputs in one kernel launch; each
// output is a stream of its own with its overlays, consumers, frame pipe and direct display.

#include "vproc/GVSplit.h"
#include "vproc/MultiOutVMP.h"

#include <map>
#include <string>
#include <vector>

class CVideoSplitWorker : public CMultiOut_VMP
{
public:
    CVideoSplitWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks);

    uint32_t WorkingFunc() override;
    // 0; -8 without a GPU context, -1 while the input size is not known.
    int32_t Initialize(uint8_t gpuProcessing, int32_t gpuDevice) override;
    // 0, -1 without a configuration.
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;

    const std::vector<stSplitOutput> &SplitList() const { return m_splitList; }

private:
    struct stSplitServers
    {
        bool pipe = false;
        bool display = false;
    };

    bool FillSourceInfo(stSrcFrameInfo &source);
    bool HasAnyOutput();
    void StartServers(bool start);
    // Splits one picture and hands the pieces on; the input package stays the caller's.
    void SplitAndSend(const FramePackage &input, const stSrcFrameInfo &sourceInfo, std::vector<stSplitOutput> &work);
    void SendPiece(const FramePackage &input, stSplitOutput &piece);

    std::vector<stSplitOutput> m_splitList;
    std::map<int32_t, std::wstring> m_outputNames;
    std::map<int32_t, stSplitServers> m_servers;
    uint32_t m_inputStreamId = 0;
};
