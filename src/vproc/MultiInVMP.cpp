// CMultiIn_VMP: inputs added and removed while the worker runs.

#include "vproc/MultiInVMP.h"

#include "core/debuglog.h"
#include "host/GlobalVars.h"

CMultiIn_VMP::CMultiIn_VMP(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
                           bool multiOutput)
    : CTYXMPWorker(workerId, inputLinks, consumerLinks, true, multiOutput)
{
}

int32_t CMultiIn_VMP::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    if (CTYXMPWorker::CopyInConfiguration(config) < 0)
        return -1;
    const stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    m_systemTimings[0] = settings.MTRTD;
    m_systemTimings[1] = static_cast<int16_t>(settings.MTIFD);
    m_systemTimings[2] = static_cast<int16_t>(settings.KeyStrmWaitTime);
    return 0;
}

stWorkerInputLink CMultiIn_VMP::AddInputStream(uint32_t inputStreamId, uint8_t notRequired)
{
    stWorkerInputLink link;
    if (inputStreamId == 0)
        return link;
    link.CreateQueue();
    link.consumer = weak_from_this();
    link.consumerId = m_workerId;
    link.producerId = inputStreamId & ~TYX_STREAM_BITS;
    link.paketKind = TYX_PKT_KIND_RAW_VIDEO;
    link.required = notRequired == 0 ? 1 : 0;
    link.lastActiveTime = NowUs();
    if (AddInputLink(inputStreamId, link) != 0) {
        TYX_LOG(3, L"MidProc[WID=%d] input(%x) adding refused: it is an input already.", static_cast<int32_t>(m_workerId),
                inputStreamId);
        return stWorkerInputLink();
    }
    AddInputState(static_cast<int32_t>(inputStreamId));
    OnNewInputAdded(inputStreamId);
    return link;
}

int32_t CMultiIn_VMP::RemoveInputStream(uint32_t inputStreamId)
{
    return RemoveInputStream(inputStreamId, nullptr, 0);
}

int32_t CMultiIn_VMP::RemoveInputStream(uint32_t inputStreamId, stWorkerInputLink *removed, uint32_t replacementId)
{
    if (inputStreamId == 0)
        return -1;
    const int32_t detached = DetachInput(inputStreamId, replacementId);
    if (detached < 0)
        return detached;
    if (RemoveInputLink(inputStreamId, removed) != 0)
        return -1;
    RemoveInputState(static_cast<int32_t>(inputStreamId));
    FreeBackupFrame(static_cast<int32_t>(inputStreamId));
    return GetInputLinkCount();
}
