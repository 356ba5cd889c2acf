#include "input/RAReadWorker.h"

#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "host/TYXEvent.h"
#include "input/ReadWorkerSteps.h"
#include "input/StreamInfoParams.h"
#include "platform/Thread.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <cstring>

namespace {

const stTimeBase kMicroseconds{1, 1000000};

// Releases av_samples_alloc's buffer on every path.
struct stSampleBuffer
{
    uint8_t *data = nullptr;
    int lineSize = 0;
    ~stSampleBuffer() { av_freep(&data); }
};

} // namespace

int16_t SampleFormatBits(int32_t sampleFormat)
{
    if (sampleFormat < 0 || sampleFormat >= AV_SAMPLE_FMT_NB)
        return 0;
    return static_cast<int16_t>(8 * av_get_bytes_per_sample(static_cast<AVSampleFormat>(sampleFormat)));
}

CRawAudioReadWorker::CRawAudioReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks)
    : CTYXWorker(workerId, nullptr, consumerLinks, 1, false, false)
{
    m_typeCode = TYX_MS_ACAP;
    m_inputStreamTypes = 0x08;
    m_outputStreamTypes = 0x09;
    TYX_LOG(6, L"RawAudioReadWorker[WID=%d] constructed.", static_cast<int32_t>(workerId));
}

CRawAudioReadWorker::~CRawAudioReadWorker()
{
    if (m_reader)
        m_reader->Close();
}

int32_t CRawAudioReadWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    if (!config)
        return -1;
    CTYXWorker::CopyInConfiguration(config);
    if (!TakeCaptureSource(config, m_sourceName, m_sourceNameForLog, m_stream))
        return -1;
    m_reader = std::make_unique<CRawAudioReader>();
    m_reader->AllowTestSources(m_allowTestSources);
    m_outSampleRate = m_stream.SampleRate;
    m_outChannels = static_cast<uint8_t>(std::clamp<int16_t>(m_stream.ChannelNum, 0, 64));

    // The device's own format is taken; the resampler makes the configured one.
    m_reader->SetRequest(0, 0, 0);
    LogSourceOpen(*this, m_sourceNameForLog, m_reader->OpenMediaSource(WStringToString(m_sourceName)), m_screenOutput != 0);

    const stTYXWorkerItemInfo item = CaptureOutputItem(m_stream, m_workerId, TYX_PKT_KIND_RAW_AUDIO, m_name);
    m_outputStreamId = static_cast<uint32_t>(item.Id);
    {
        CWriteLockGuard guard(m_outputItemsLock);
        m_outputItems = {item};
    }
    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    m_outputStatistics = {{m_outputStreamId, stStreamStatistics{}}};
    return 0;
}

int32_t CRawAudioReadWorker::Initialize(uint8_t flag, int32_t value)
{
    CTYXWorker::Initialize(flag, value);
    TYX_LOG(6, L"RawAudioReadWorker[WID=%d] initializing...", static_cast<int32_t>(m_workerId));
    if (m_screenOutput)
        ConsolePrintf("RawAudioReadWorker[%d] Context initialized... \n", static_cast<int32_t>(m_workerId));
    if (!m_reader) {
        TYX_LOG(3, L"[RawAudioReadWorker][WID=%d]Media source reader not set(created) yet!", static_cast<int32_t>(m_workerId));
        return -1;
    }
    OpenAtInitialize(*this, *m_reader, L"[RawAudioReadWorker]");
    if (m_reader->IsOpened())
        OnDeviceOpenned();
    return 0;
}

int32_t CRawAudioReadWorker::OnDeviceOpenned()
{
    const AVCodecParameters *par = m_reader ? m_reader->CodecParameters() : nullptr;
    if (!par)
        return -1;
    m_readerOpened = 1;
    m_capturedIndex = m_reader->CapturedIndex();
    const stMediaStreamInfo *info = m_reader->GetStreamParameters(0);
    if (!info) {
        TYX_LOG(3, L"[RawAudioReadWorker][WID=%d]Stream information getting failed.", static_cast<int32_t>(m_workerId));
        return -1016;
    }
    m_inputTimeBase = info->timeBase;
    // A rate or channel count left out of the configuration keeps the device's.
    const int32_t outRate = m_outSampleRate > 0 ? m_outSampleRate : info->sampleRate;
    const int32_t outChannels = m_outChannels > 0 ? m_outChannels : info->channelLayout.nb_channels;
    stStreamParams params;
    StreamInfoToStreamParams(params, *info);
    params.sampleRate = outRate;
    params.sampleFormat = m_outSampleFormat;
    params.bitDepth = m_outBitsPerSample;
    av_channel_layout_uninit(&params.channelLayout);
    av_channel_layout_default(&params.channelLayout, outChannels);
    // Packages leave stamped in µs of the program clock.
    params.timeBase = kMicroseconds;
    SetOutputParameters(params, m_outputStreamId);
    if (m_outputParamsCallback)
        m_outputParamsCallback(this, m_outputStreamId, &params);

    m_resampler.reset();
    m_decoder.reset();
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    m_decoder.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!m_decoder)
        return TYX_RAR_NO_DECODER;
    if (avcodec_parameters_to_context(m_decoder.get(), par) < 0 || avcodec_open2(m_decoder.get(), codec, nullptr) < 0) {
        m_decoder.reset();
        return TYX_RAR_DECODER_OPEN;
    }
    if (m_screenOutput)
        ConsolePrintf("Audio decoder for captured stream initialized.\n");
    m_decodedFrame.reset(av_frame_alloc());

    AVChannelLayout inLayout{};
    if (m_decoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || m_decoder->ch_layout.nb_channels <= 0)
        av_channel_layout_default(&inLayout, std::max(1, m_decoder->ch_layout.nb_channels));
    else
        av_channel_layout_copy(&inLayout, &m_decoder->ch_layout);
    SwrContext *resampler = nullptr;
    const int made = swr_alloc_set_opts2(&resampler, &params.channelLayout, static_cast<AVSampleFormat>(m_outSampleFormat),
                                         outRate, &inLayout, m_decoder->sample_fmt, m_decoder->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    m_resampler.reset(resampler);
    if (made < 0 || !m_resampler || swr_init(m_resampler.get()) < 0) {
        m_resampler.reset();
        return TYX_RAR_RESAMPLER;
    }
    m_outSampleRate = outRate;
    m_outChannels = static_cast<uint8_t>(outChannels);
    if (m_screenOutput)
        ConsolePrintf("Audio resampler for output initialized.\n");
    return 0;
}

int64_t CRawAudioReadWorker::RebaseTimestamp(FramePackage &package)
{
    return RebaseCapturedStamps(m_rebase, package, m_inputTimeBase, NowUs());
}

void CRawAudioReadWorker::ReportSourceEvent(int32_t eventType)
{
    ReportWorkerSourceEvent(*this, eventType, m_sourceNameForLog);
}

std::map<int16_t, stReadStreamCounts> CRawAudioReadWorker::GetStreamStatisticsA()
{
    return {{0, m_readCounts}};
}

int32_t CRawAudioReadWorker::OpenAtThreadStart()
{
    m_workingStep = 20;
    const int32_t result = ReopenAtThreadStart(*this, *m_reader, m_sourceNameForLog);
    if (result < 0)
        return result;
    OnDeviceOpenned();
    SetStateOfAllStreams(TYX_STATUS_RUNNING);
    return 0;
}

void CRawAudioReadWorker::CountRead(const FramePackage &package)
{
    UpdateStatistics(false, m_outputStreamId, [&package](stStreamStatistics &entry) {
        ++entry.packetsIn;
        if (package.nLength > 0)
            ++entry.dataPacketsIn;
    });
}

void CRawAudioReadWorker::EndOfSource(int32_t result)
{
    TYX_LOG(3, L"[WID=%d]Media source stream reading failed with retValue=%d!", static_cast<int32_t>(m_workerId), result);
    m_reader->Close();
    m_readerOpened = 0;
    m_workingStep = 30;
    SetStateOfAllStreams(TYX_STATUS_CLOSED);
    ReportSourceEvent(TYX_EVENT_SOURCE_CLOSED);
    SendStatusPaket2Consumers(TYX_SRC_CLOSED, m_reader->LastPts());
    TYX_LOG(5, L"[WID=%d]Media Reading worker exiting in case of EOF!", static_cast<int32_t>(m_workerId));
}

uint32_t CRawAudioReadWorker::WorkingFunc()
{
    const int32_t threadId = GetCurrentThreadIdInt();
    const int32_t wid = static_cast<int32_t>(m_workerId);
    TYX_LOG(6, L"[WID=%d]Media reading Thread[%d] Starting.", wid, threadId);
    if (!m_reader) {
        TYX_LOG(3, L"There no valid media reader instance for the media reading worker[%d] input...exit.", wid);
        return 1;
    }
    if (!m_reader->IsOpened() && OpenAtThreadStart() < 0)
        return 2;
    if (!m_decoder || !m_resampler) {
        // Without them nothing could be sent: the source counts as failed.
        TYX_LOG(3, L"[WID=%d]Audio decoder or resampler for the captured stream not ready, exiting...", wid);
        m_workingStep = 44;
        EndOfSource(TYX_RAR_NO_DECODER);
        return 2;
    }

    uint32_t decoded = 0;
    for (;;) {
        if (ExitRequested()) {
            TYX_LOG(6, L"[WID=%d]Media reading Thread[%d] Recieved exit signal, exiting...", wid, threadId);
            return 0;
        }
        if (!m_reader->IsOpened()) {
            m_workingStep = 44;
            TYX_LOG(5, L"[WID=%d]Media source closed! exiting...", wid);
            ReportSourceEvent(TYX_EVENT_SOURCE_CLOSED);
            break;
        }
        FramePackage package;
        const int32_t result = m_reader->ReadPacket(package);
        if (result <= 0) {
            EndOfSource(result);
            break;
        }
        CountRead(package);
        if (!package.pData && package.nLength <= 0) {
            TYX_LOG(6, L"[WID=%d]Media Reading worker got a invalid paket without data, discard it.", wid);
            continue;
        }
        m_workingStep = 29;
        RebaseTimestamp(package);
        const int32_t sent = DecodeAndSend(package);
        if (sent < 0) {
            EndOfSource(sent);
            break;
        }
        ++decoded;
    }
    TYX_LOG(6, L"[WID=%d]Media reading Thread[%d] exiting.", wid, threadId);
    m_workingStep = 31;
    if (m_screenOutput)
        ConsolePrintf("Media reading Thread[%d] is exiting...\n", threadId);
    return decoded;
}

int32_t CRawAudioReadWorker::DecodeAndSend(const FramePackage &package)
{
    AvPacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), package.nLength) < 0)
        return AVERROR(ENOMEM);
    std::memcpy(packet->data, package.pData, static_cast<size_t>(package.nLength));
    packet->stream_index = 0;
    packet->flags = package.flags;
    packet->pos = -1;
    packet->pts = package.pts;
    packet->dts = package.dts;
    packet->duration = package.duration;
    int result = avcodec_send_packet(m_decoder.get(), packet.get());
    if (result < 0) {
        // One bad block costs only itself.
        TYX_LOG(3, L"[RawAudioReadWorker][WID=%d]avcodec_send_packet() failed with error(%d)!", static_cast<int32_t>(m_workerId),
                result);
        return 0;
    }
    for (;;) {
        result = avcodec_receive_frame(m_decoder.get(), m_decodedFrame.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return 0;
        if (result < 0) {
            TYX_LOG(3, L"[RawAudioReadWorker][WID=%d] Unhandled Error(%d) during decoding!", static_cast<int32_t>(m_workerId),
                    result);
            return 0;
        }
        const int converted = m_decodedFrame->nb_samples > 0 ? ResampleAndSend(*m_decodedFrame) : 0;
        av_frame_unref(m_decodedFrame.get());
        if (converted < 0)
            return converted;
    }
}

int32_t CRawAudioReadWorker::ResampleAndSend(const AVFrame &frame)
{
    const int64_t wanted = av_rescale_rnd(swr_get_delay(m_resampler.get(), m_decoder->sample_rate) + frame.nb_samples,
                                          m_outSampleRate, m_decoder->sample_rate, AV_ROUND_UP);
    stSampleBuffer buffer;
    const auto format = static_cast<AVSampleFormat>(m_outSampleFormat);
    if (av_samples_alloc(&buffer.data, &buffer.lineSize, m_outChannels, static_cast<int>(wanted), format, 0) < 0)
        return AVERROR(ENOMEM);
    const int converted = swr_convert(m_resampler.get(), &buffer.data, static_cast<int>(wanted),
                                      const_cast<const uint8_t **>(frame.extended_data), frame.nb_samples);
    if (converted < 0) {
        TYX_LOG(3, L"[RawAudioReadWorker][WID=%d]Audio resampling failed with error(%d)!", static_cast<int32_t>(m_workerId),
                converted);
        return converted;
    }
    if (converted == 0)
        return 0;
    // The block holds the converted samples only, not the room the buffer was given.
    const int bytes = av_samples_get_buffer_size(nullptr, m_outChannels, converted, format, 1);
    FramePackage package;
    package.inDevice = 0;
    if (bytes <= 0 || AllocFramePackageData(package, bytes) < 0)
        return 0;
    std::memcpy(package.pData, buffer.data, static_cast<size_t>(bytes));
    package.mediaType = TYX_MEDIA_AUDIO;
    package.kind = TYX_PKT_KIND_RAW_AUDIO;
    package.streamIndex = static_cast<int16_t>(m_capturedIndex);
    package.format = m_outSampleFormat;
    package.pts = frame.pts != AV_NOPTS_VALUE ? frame.pts : frame.best_effort_timestamp;
    package.dts = frame.pkt_dts;
    package.duration = static_cast<int64_t>(converted) * 1000000 / m_outSampleRate;
    package.flags = IsKeyFrame(frame) ? TYX_PKT_FLAG_KEY : 0;
    package.audioSamples = converted;
    package.sampleRate = m_outSampleRate;
    bool handedOver = false;
    SendPaket2Consumers(handedOver, package, true, true, 0);
    if (!handedOver)
        FreeFramePackage(package);
    return 0;
}

void CRawAudioReadWorker::unInitialize()
{
    TYX_LOG(6, L"[RawAudioReadWorker][WID=%d] uninitializing...", static_cast<int32_t>(m_workerId));
    if (m_reader && m_reader->IsOpened())
        m_reader->Close();
    m_readerOpened = 0;
    m_decodedFrame.reset();
    m_decoder.reset();
    m_resampler.reset();
    CTYXWorker::unInitialize();
}
