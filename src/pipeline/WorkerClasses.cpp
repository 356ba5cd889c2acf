#include "pipeline/WorkerClasses.h"

#include "codec/FpgVDcdWorker.h"
#include "codec/FpgVEcdWorker.h"
#include "codec/NvHwVDcdWorker.h"
#include "codec/NvHwVEcdWorker.h"
#include "host/GlobalVars.h"
#include "input/MFRdrWorker.h"
#include "input/NrtMRdrWorker.h"
#include "input/RAReadWorker.h"
#include "input/RVReadWorker.h"
#include "output/MWrtWorker.h"
#include "vproc/VideoMatrixWorker.h"
#include "vproc/VideoMuxWorker.h"
#include "vproc/VideoSplitWorker.h"
#include "vproc/VideoUnifyWorker.h"

namespace {

// Decoder and encoder types.
constexpr int32_t kCodecFfmpeg = 0;
constexpr int32_t kCodecNvidia = 1;

template <typename Worker>
WorkerCreateFunction ReaderClass()
{
    return [](const stTYXWorkerConfig &, uint32_t id, const CTYXWorker::InputLinkMap *,
              const CTYXWorker::ConsumerLinkMap *consumers) -> std::shared_ptr<CTYXWorker> {
        return std::make_shared<Worker>(id, consumers);
    };
}

// A worker with linked inputs and outputs: worker id, input links, consumer links.
template <typename Worker>
WorkerCreateFunction LinkedClass()
{
    return [](const stTYXWorkerConfig &, uint32_t id, const CTYXWorker::InputLinkMap *inputs,
              const CTYXWorker::ConsumerLinkMap *consumers) -> std::shared_ptr<CTYXWorker> {
        return std::make_shared<Worker>(id, inputs, consumers);
    };
}

WorkerCreateFunction WriterClass()
{
    return [](const stTYXWorkerConfig &, uint32_t id, const CTYXWorker::InputLinkMap *inputs,
              const CTYXWorker::ConsumerLinkMap *) -> std::shared_ptr<CTYXWorker> {
        return std::make_shared<CTYXMediaWriteWorker>(id, inputs);
    };
}

WorkerCreateFunction FfmpegEncoderClass()
{
    return [](const stTYXWorkerConfig &config, uint32_t id, const CTYXWorker::InputLinkMap *inputs,
              const CTYXWorker::ConsumerLinkMap *consumers) -> std::shared_ptr<CTYXWorker> {
        auto worker = std::make_shared<CFpgVEcdWorker>(id, inputs, consumers);
        const auto *encoder = dynamic_cast<const stVideoEncodeWorkerConfig *>(&config);
        SetFpgEncoderHwAcclrt(*worker, encoder ? encoder->HwAcclrt : 0);
        return worker;
    };
}

void AddReaders(CWorkerFactoryTable &table)
{
    table.Register({TYX_KIND_MEDIA_READER, TYX_MS_FILE, L"CMediaFileReadWorker", ReaderClass<CMediaFileReadWorker>(), {}});
    table.Register({TYX_KIND_MEDIA_READER, TYX_MS_RTSP, L"CNRTMediaReadWorker", ReaderClass<CNRTMediaReadWorker>(), {}});
    table.Register({TYX_KIND_MEDIA_READER, TYX_MS_RTMP, L"CNRTMediaReadWorker", ReaderClass<CNRTMediaReadWorker>(), {}});
    // A capture device outside the usual rates is taken at the negotiated input rate.
    table.Register({TYX_KIND_MEDIA_READER, TYX_MS_VCAP, L"CRawVideoReadWorker", ReaderClass<CRawVideoReadWorker>(),
                    [](CTYXWorker &worker, float rate) {
                        if (auto *capture = dynamic_cast<CRawVideoReadWorker *>(&worker); capture && rate > 0.0f)
                            capture->SetCorrectedFrameRate(static_cast<uint16_t>(rate + 0.5f));
                    }});
    table.Register({TYX_KIND_MEDIA_READER, TYX_MS_ACAP, L"CRawAudioReadWorker", ReaderClass<CRawAudioReadWorker>(), {}});
}

// The decoders read the negotiated input frame rate from the registry when they initialise.
void AddDecoders(CWorkerFactoryTable &table)
{
    table.Register({TYX_KIND_VIDEO_DECODER, kCodecNvidia, L"NvHwVDecoder", LinkedClass<NvHwVDecoder>(), {}});
    table.Register({TYX_KIND_VIDEO_DECODER, kCodecFfmpeg, L"CFpgVDcdWorker", LinkedClass<CFpgVDcdWorker>(), {}});
}

void AddMidProcessors(CWorkerFactoryTable &table)
{
    table.Register({TYX_KIND_VIDEO_MIDPROC, TYX_MP_MUX, L"CVideoMuxWorker", LinkedClass<CVideoMuxWorker>(), {}});
    table.Register({TYX_KIND_VIDEO_MIDPROC, TYX_MP_MATRIX, L"CVideoMatrixWorker", LinkedClass<CVideoMatrixWorker>(), {}});
    table.Register({TYX_KIND_VIDEO_MIDPROC, TYX_MP_SPLIT, L"CVideoSplitWorker", LinkedClass<CVideoSplitWorker>(), {}});
    table.Register({TYX_KIND_VIDEO_MIDPROC, TYX_MP_UNIFY, L"CVideoUnifyWorker", LinkedClass<CVideoUnifyWorker>(), {}});
}

void AddEncoders(CWorkerFactoryTable &table)
{
    table.Register({TYX_KIND_VIDEO_ENCODER, kCodecNvidia, L"CNvHwVEcdWorker", LinkedClass<CNvHwVEcdWorker>(), {}});
    table.Register({TYX_KIND_VIDEO_ENCODER, kCodecFfmpeg, L"CFpgVEcdWorker", FfmpegEncoderClass(), {}});
}

} // namespace

bool SetFpgEncoderHwAcclrt(CFpgVEcdWorker &worker, int32_t code)
{
    return worker.SetHwAcceleration(code) == 0;
}

CWorkerFactoryTable BuildWorkerFactoryTable()
{
    CWorkerFactoryTable table;
    AddReaders(table);
    AddDecoders(table);
    AddMidProcessors(table);
    AddEncoders(table);
    table.Register({TYX_KIND_MEDIA_WRITER, 0, L"CTYXMediaWriteWorker", WriterClass(), {}});
    return table;
}
