#include "host/WorkerInstanceInfo.h"

#include "host/GlobalVars.h"

void stTYXWorkerInstanceInfo::CopyFromConfig(stTYXWorkerConfig *config)
{
    if (!config)
        return;
    No = config->No;
    WorkerId = config->WorkerId;
    Name = config->Name;
    Enabled = 1;
    PushAtBegin = config->PushAtBegin;
    Config = config->Clone();
}

std::shared_ptr<stTYXWorkerInstanceInfo> stTYXWorkerInstanceInfo::Clone() const
{
    return std::make_shared<stTYXWorkerInstanceInfo>(*this);
}

void stMediaReadWorkerInstanceInfo::CopyFromConfig(stTYXWorkerConfig *config)
{
    stTYXWorkerInstanceInfo::CopyFromConfig(config);
    const auto *reader = dynamic_cast<const stMediaSourceReadWorkerConfig *>(config);
    if (!reader)
        return;
    Value3 = 0;
    Value4 = 1000;
    MSTYPE = reader->MSTYPE;
    MRType = reader->MRType;
    SourceReader.reset();
}

void stVideoDecodeWorkerInstanceInfo::CopyFromConfig(stTYXWorkerConfig *config)
{
    stTYXWorkerInstanceInfo::CopyFromConfig(config);
    const auto *decoder = dynamic_cast<const stVideoDecodeWorkerConfig *>(config);
    if (!decoder)
        return;
    Running = 0;
    Value4 = 0;
    VideoSource = decoder->VideoSource;
    DecodeParam = decoder->DecodeParam;
}

void stVideoMidProcessWorkerInstanceInfo::CopyFromConfig(stTYXWorkerConfig *config)
{
    stTYXWorkerInstanceInfo::CopyFromConfig(config);
    const auto *midProc = dynamic_cast<const stVideoMidProcWorkerConfig *>(config);
    if (!midProc)
        return;
    MPType = midProc->MPType;
    Value1 = 0;
}

void stVideoEncodeWorkerInstanceInfo::CopyFromConfig(stTYXWorkerConfig *config)
{
    stTYXWorkerInstanceInfo::CopyFromConfig(config);
    const auto *encoder = dynamic_cast<const stVideoEncodeWorkerConfig *>(config);
    if (!encoder)
        return;
    Value2 = 0;
    Value3 = 0;
    EncodeSettings.Width = encoder->Width;
    EncodeSettings.Height = encoder->Height;
    EncodeSettings.OutputFramerate = encoder->OutputFramerate;
    EncodeSettings.GopLengh = encoder->GopLengh;
    EncodeSettings.BitRate = encoder->BitRate;
    EncodeSettings.LowLatency = encoder->LowLatency;
    EncodeSettings.VCodec = encoder->VCodec;
    EncodeSettings.VCodecName = encoder->VCodecName;
    EncodeSettings.Profile = encoder->Profile;
    EncodeSettings.Preset = encoder->Preset;
    EncodeSettings.Usage = encoder->Usage;
    EncodeExtra = 0; // the configuration carries nothing after the block
    if (encoder->OutputFramerate == -1.0f) {
        const float negotiated = CTYXGVMS::NegotiatedInputFrameRate().load();
        EncodeSettings.OutputFramerate = (negotiated >= 10.0f && negotiated <= 120.0f) ? negotiated : 30.0f;
    }
}

void stMediaWriteWorkerInstanceInfo::CopyFromConfig(stTYXWorkerConfig *config)
{
    stTYXWorkerInstanceInfo::CopyFromConfig(config);
    if (const auto *writer = dynamic_cast<const stMediaWriteWorkerConfig *>(config))
        MWType = writer->MWType;
}

std::shared_ptr<stTYXWorkerInstanceInfo> stMediaReadWorkerInstanceInfo::Clone() const
{
    return std::make_shared<stMediaReadWorkerInstanceInfo>(*this);
}

std::shared_ptr<stTYXWorkerInstanceInfo> stVideoDecodeWorkerInstanceInfo::Clone() const
{
    return std::make_shared<stVideoDecodeWorkerInstanceInfo>(*this);
}

std::shared_ptr<stTYXWorkerInstanceInfo> stVideoMidProcessWorkerInstanceInfo::Clone() const
{
    return std::make_shared<stVideoMidProcessWorkerInstanceInfo>(*this);
}

std::shared_ptr<stTYXWorkerInstanceInfo> stVideoEncodeWorkerInstanceInfo::Clone() const
{
    return std::make_shared<stVideoEncodeWorkerInstanceInfo>(*this);
}

std::shared_ptr<stTYXWorkerInstanceInfo> stMediaWriteWorkerInstanceInfo::Clone() const
{
    return std::make_shared<stMediaWriteWorkerInstanceInfo>(*this);
}
