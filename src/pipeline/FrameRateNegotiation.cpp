#include "pipeline/FrameRateNegotiation.h"

#include "host/GlobalVars.h"
#include "input/GMediaReader.h"
#include "input/MediaStreamInfo.h"

#include <vector>

float NegotiateFrameRate(uint16_t count, const float *rates, float defaultRate)
{
    const uint16_t used = count % 256;
    float largest = 0.0f;
    bool has24 = false;
    for (uint16_t i = 0; rates && i < used; ++i) {
        if (rates[i] == 0.0f)
            continue;
        largest = rates[i] > largest ? rates[i] : largest;
        has24 = has24 || rates[i] == 24.0f;
    }
    if (largest == 0.0f || defaultRate <= largest)
        return defaultRate;
    if (largest == 25.0f && !has24)
        return defaultRate;
    return largest;
}

namespace {

float RateOfReader(const stMediaReadWorkerInstanceInfo &record, float defaultRate)
{
    if (record.SourceReader) {
        const stMediaStreamInfo *stream = record.SourceReader->GetStreamParameters(0);
        if (!stream || stream->frameRate.den == 0)
            return 0.0f;
        return static_cast<float>(stream->frameRate.num) / static_cast<float>(stream->frameRate.den);
    }
    return record.FrameRate > 0.0f ? record.FrameRate : defaultRate;
}

} // namespace

float GetNegotiatedInputFrameRate(float defaultRate)
{
    const uint16_t count = static_cast<uint16_t>(CTYXGVMS::MSReaderConfigs().size());
    if (count < 1)
        return 0.0f;
    std::vector<float> rates(count, 0.0f);
    size_t slot = 0;
    for (const auto &[id, record] : CTYXGVMS::CopyMReaderMap()) {
        if (!record || record->NegotiateRate != 1 || slot >= rates.size())
            continue;
        rates[slot++] = RateOfReader(*record, defaultRate);
    }
    return NegotiateFrameRate(count, rates.data(), defaultRate);
}
