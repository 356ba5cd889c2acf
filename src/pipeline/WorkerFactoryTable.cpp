#include "pipeline/WorkerFactoryTable.h"

#include "host/GlobalVars.h"

void CWorkerFactoryTable::Register(stWorkerFactoryEntry entry)
{
    const auto key = std::make_pair(entry.kind, entry.type);
    m_entries[key] = std::move(entry);
}

const stWorkerFactoryEntry *CWorkerFactoryTable::Find(int32_t kind, int32_t type) const
{
    const auto found = m_entries.find(std::make_pair(kind, type));
    return found == m_entries.end() ? nullptr : &found->second;
}

int32_t CWorkerFactoryTable::TypeOfConfig(int32_t kind, const stTYXWorkerConfig &config)
{
    switch (kind) {
    case TYX_KIND_MEDIA_READER:
        if (const auto *reader = dynamic_cast<const stMediaSourceReadWorkerConfig *>(&config))
            return reader->MSTYPE;
        break;
    case TYX_KIND_VIDEO_DECODER:
        if (const auto *decoder = dynamic_cast<const stVideoDecodeWorkerConfig *>(&config))
            return decoder->DecoderType;
        break;
    case TYX_KIND_VIDEO_MIDPROC:
        if (const auto *vmp = dynamic_cast<const stVideoMidProcWorkerConfig *>(&config))
            return vmp->MPType;
        break;
    case TYX_KIND_VIDEO_ENCODER:
        if (const auto *encoder = dynamic_cast<const stVideoEncodeWorkerConfig *>(&config))
            return encoder->EncoderType;
        break;
    case TYX_KIND_MEDIA_WRITER:
        if (dynamic_cast<const stMediaWriteWorkerConfig *>(&config))
            return 0;
        break;
    default:
        break;
    }
    return -1;
}

int32_t CWorkerFactoryTable::NoClassResult(int32_t kind)
{
    switch (kind) {
    case TYX_KIND_MEDIA_READER:
        return -8;
    case TYX_KIND_VIDEO_DECODER:
    case TYX_KIND_VIDEO_ENCODER:
        return -1;
    default:
        return -2;
    }
}
