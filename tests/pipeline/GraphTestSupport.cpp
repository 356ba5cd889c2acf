#include "GraphTestSupport.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"

void CCallLog::Add(const std::string &call)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(call);
}

std::vector<std::string> CCallLog::Calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<std::string> CCallLog::Of(const std::string &pass) const
{
    std::vector<std::string> names;
    for (const std::string &call : Calls())
        if (call.rfind(pass + " ", 0) == 0)
            names.push_back(call.substr(pass.size() + 1));
    return names;
}

CGraphTestWorker::CGraphTestWorker(uint32_t id, int32_t kind, const InputLinkMap *inputs,
                                   const ConsumerLinkMap *consumers, std::shared_ptr<CCallLog> log)
    : CRVProcWorker(id, inputs, consumers, kind, false, false), m_log(std::move(log))
{
}

CGraphTestWorker::~CGraphTestWorker() = default;

std::string CGraphTestWorker::Tag() const
{
    return WStringToString(GetName());
}

uint32_t CGraphTestWorker::WorkingFunc()
{
    m_log->Add("run " + Tag());
    if (hangUntil)
        hangUntil->wait();
    m_exitEvent->Wait();
    int64_t queued = 0;
    CReadLockGuard guard(m_inputLinks.Lock());
    for (const auto &[stream, link] : m_inputLinks.Items()) {
        if (!link.HasQueue())
            continue;
        CCsLock lock(*link.queueLock);
        queued += static_cast<int64_t>(link.queue->size());
    }
    queuedAtExit = queued;
    return 0;
}

int32_t CGraphTestWorker::Initialize(uint8_t flag, int32_t value)
{
    m_log->Add("init " + Tag());
    initFlag = flag;
    initValue = value;
    return CRVProcWorker::Initialize(flag, value);
}

void CGraphTestWorker::unInitialize()
{
    m_log->Add("uninit " + Tag());
    ++uninitialised;
    CRVProcWorker::unInitialize();
}

void CGraphTestWorker::SetThreadsPriorityAffinity(int32_t newPriority, uint64_t affinityMask)
{
    m_log->Add("affinity " + Tag());
    priority = newPriority;
    mask = affinityMask;
}

CWorkerFactoryTable TestFactoryTable(const std::shared_ptr<CCallLog> &log)
{
    CWorkerFactoryTable table;
    auto add = [&](int32_t kind, int32_t type) {
        table.Register({kind, type, L"CGraphTestWorker",
                        [log, kind](const stTYXWorkerConfig &config, uint32_t id, const CTYXWorker::InputLinkMap *inputs,
                                    const CTYXWorker::ConsumerLinkMap *consumers) -> std::shared_ptr<CTYXWorker> {
                            log->Add("create " + WStringToString(config.Name));
                            return std::make_shared<CGraphTestWorker>(id, kind, inputs, consumers, log);
                        },
                        [](CTYXWorker &worker, float rate) {
                            static_cast<CGraphTestWorker &>(worker).inputFrameRate = rate;
                        }});
    };
    add(TYX_KIND_MEDIA_READER, TYX_MS_FILE);
    add(TYX_KIND_VIDEO_DECODER, 0);
    add(TYX_KIND_VIDEO_MIDPROC, TYX_MP_MUX);
    add(TYX_KIND_VIDEO_ENCODER, 0);
    add(TYX_KIND_MEDIA_WRITER, 0);
    return table;
}

std::string GraphConfigText()
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<Config>
  <MediaSources>
    <MSCount>2</MSCount>
    <Cam1 id="1"><MSTYPE>FILE</MSTYPE><MRType>FMPGAV</MRType><MSFullPath>a.mp4</MSFullPath><STRMCOUNT>1</STRMCOUNT>
      <Stream id="1"><StrmType>Video</StrmType><avStrmId>0</avStrmId></Stream></Cam1>
    <Cam2 id="2"><MSTYPE>FILE</MSTYPE><MRType>FMPGAV</MRType><MSFullPath>b.mp4</MSFullPath><STRMCOUNT>1</STRMCOUNT>
      <Stream id="1"><StrmType>Video</StrmType><avStrmId>0</avStrmId></Stream></Cam2>
  </MediaSources>
  <VideoDecoders>
    <VDCDCount>2</VDCDCount>
    <Dec1 id="1"><DecoderType>FFMPG</DecoderType><VideoSource>MediaSources.Cam1.VideoOutput</VideoSource></Dec1>
    <Dec2 id="2"><DecoderType>FFMPG</DecoderType><VideoSource>MediaSources.Cam2.VideoOutput</VideoSource></Dec2>
  </VideoDecoders>
  <VideoMidProcessors>
    <MProcCount>1</MProcCount>
    <Mux1 id="1"><MPType>VMux</MPType><RVSInCount>2</RVSInCount>
      <IRVS id="1">VideoDecoders.Dec1.VideoOutput</IRVS><IRVS id="2">VideoDecoders.Dec2.VideoOutput</IRVS>
      <MuxLayout>PIP-1-On-1</MuxLayout><RgnVs id="1">1</RgnVs><RgnVs id="2">2</RgnVs>
      <OutputWidth>640</OutputWidth><OutputHeight>360</OutputHeight><OutputFramerate>25</OutputFramerate></Mux1>
  </VideoMidProcessors>
  <VideoEncoders>
    <VECDCount>1</VECDCount>
    <Enc1 id="1"><EncoderType>FFMPG</EncoderType><VCodec>H264</VCodec><VideoSource>VideoMidProcessors.Mux1.VideoOutput</VideoSource>
      <Width>640</Width><Height>360</Height><BitRate>1000</BitRate><GopLengh>25</GopLengh></Enc1>
  </VideoEncoders>
  <MediaWriters>
    <MWCount>1</MWCount>
    <Rec1 id="1"><MWType>FILE</MWType><Container>MP4</Container><RootFolder>records</RootFolder>
      <VideoStreams>VideoEncoders.Enc1.VideoOutput</VideoStreams><SegmentLength>10</SegmentLength><PushAtBegin>True</PushAtBegin></Rec1>
  </MediaWriters>
  <OSDs>
    <OSDCount>1</OSDCount>
    <OSD id="1"><DrawOn>VideoMidProcessors.Mux1.VideoOutput</DrawOn><OsdType>Datetime</OsdType><PosBase>LTCorner</PosBase>
      <XShift>8</XShift><YShift>8</YShift><TextColor>White</TextColor><TextHeight>24</TextHeight></OSD>
  </OSDs>
</Config>
)";
}
