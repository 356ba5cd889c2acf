// The option text of the NVENC encoder: its name lists, the value forms and the walk.

#include "codec/NvEncoderInitParam.h"

#include <cctype>
#include <cmath>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>

#if !TYX_NVENC_HAS_AV1
const GUID &Av1CodecGuid()
{
    // Not a codec of this API version: no session takes it ("Invalid codec guid").
    static const GUID guid = {0x5f2a39f5, 0xf14e, 0x4f95, {0x9a, 0x9e, 0xb7, 0x6d, 0x56, 0x8f, 0xcf, 0x97}};
    return guid;
}
const GUID &Av1MainProfileGuid()
{
    static const GUID guid = {0x5f2a39f5, 0xf14e, 0x4f95, {0x9a, 0x9e, 0xb7, 0x6d, 0x56, 0x8f, 0xcf, 0x98}};
    return guid;
}
#endif

namespace {

template <typename Value>
struct stNameList
{
    const char *names;
    std::vector<Value> values;

    // The value of a name that equals one of the list's names exactly.
    std::optional<Value> Find(const std::string &name) const
    {
        std::istringstream words(names);
        std::string word;
        for (size_t i = 0; words >> word; ++i) {
            if (word == name && i < values.size())
                return values[i];
        }
        return std::nullopt;
    }
};

const stNameList<GUID> &CodecList()
{
    static const stNameList<GUID> list{"h264 hevc av1", {NV_ENC_CODEC_H264_GUID, NV_ENC_CODEC_HEVC_GUID, Av1CodecGuid()}};
    return list;
}
const stNameList<GUID> &PresetList()
{
    static const stNameList<GUID> list{"p1 p2 p3 p4 p5 p6 p7",
                                       {NV_ENC_PRESET_P1_GUID, NV_ENC_PRESET_P2_GUID, NV_ENC_PRESET_P3_GUID,
                                        NV_ENC_PRESET_P4_GUID, NV_ENC_PRESET_P5_GUID, NV_ENC_PRESET_P6_GUID,
                                        NV_ENC_PRESET_P7_GUID}};
    return list;
}
const stNameList<GUID> &H264Profiles()
{
    static const stNameList<GUID> list{"baseline main high high444",
                                       {NV_ENC_H264_PROFILE_BASELINE_GUID, NV_ENC_H264_PROFILE_MAIN_GUID,
                                        NV_ENC_H264_PROFILE_HIGH_GUID, NV_ENC_H264_PROFILE_HIGH_444_GUID}};
    return list;
}
const stNameList<GUID> &HevcProfiles()
{
    static const stNameList<GUID> list{"main main10 frext", {NV_ENC_HEVC_PROFILE_MAIN_GUID,
                                                            NV_ENC_HEVC_PROFILE_MAIN10_GUID,
                                                            NV_ENC_HEVC_PROFILE_FREXT_GUID}};
    return list;
}
const stNameList<GUID> &Av1Profiles()
{
    static const stNameList<GUID> list{"main", {Av1MainProfileGuid()}};
    return list;
}
const stNameList<NV_ENC_TUNING_INFO> &TuningList()
{
    static const stNameList<NV_ENC_TUNING_INFO> list{
        "hq lowlatency ultralowlatency lossless",
        {NV_ENC_TUNING_INFO_HIGH_QUALITY, NV_ENC_TUNING_INFO_LOW_LATENCY, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY,
         NV_ENC_TUNING_INFO_LOSSLESS}};
    return list;
}
const stNameList<NV_ENC_PARAMS_RC_MODE> &RateControlList()
{
    static const stNameList<NV_ENC_PARAMS_RC_MODE> list{
        "constqp vbr cbr", {NV_ENC_PARAMS_RC_CONSTQP, NV_ENC_PARAMS_RC_VBR, NV_ENC_PARAMS_RC_CBR}};
    return list;
}
const stNameList<NV_ENC_MULTI_PASS> &MultiPassList()
{
    static const stNameList<NV_ENC_MULTI_PASS> list{
        "disabled qres fullres", {NV_ENC_MULTI_PASS_DISABLED, NV_ENC_TWO_PASS_QUARTER_RESOLUTION,
                                  NV_ENC_TWO_PASS_FULL_RESOLUTION}};
    return list;
}

bool TakesValue(const std::string &option)
{
    static const char *const options[] = {"-codec",     "-preset",   "-tuninginfo", "-multipass", "-profile",
                                          "-rc",        "-fps",      "-bf",         "-bitrate",   "-maxbitrate",
                                          "-vbvbufsize", "-vbvinit", "-cq",         "-initqp",    "-qmin",
                                          "-qmax",      "-constqp",  "-lookahead",  "-aq",        "-gop"};
    for (const char *known : options) {
        if (option == known)
            return true;
    }
    return false;
}

bool IsFlag(const std::string &option)
{
    return option == "-temporalaq" || option == "-444";
}

// A decimal integer read by the standard conversion: none when the text starts with no number;
// std::out_of_range passes when it does not fit.
std::optional<int32_t> ParseInteger(const std::string &text)
{
    try {
        return std::stoi(text);
    } catch (const std::invalid_argument &) {
        return std::nullopt;
    }
}

// A rate such as 4000k or 1.5m, in bit/s.
std::optional<uint32_t> ParseBitRate(const std::string &text)
{
    size_t used = 0;
    double value = 0.0;
    try {
        value = std::stod(text, &used);
    } catch (const std::invalid_argument &) {
        return std::nullopt;
    }
    if (used < text.size()) {
        if (text[used] == 'k')
            value *= 1000.0;
        else if (text[used] == 'm')
            value *= 1000000.0;
    }
    if (!std::isfinite(value) || value < 0.0)
        return std::nullopt;
    // A rate past 32 bits cannot be told to the encoder; truncating it would be undefined.
    if (value > static_cast<double>(std::numeric_limits<int32_t>::max()))
        throw std::out_of_range("bit rate " + text);
    return static_cast<uint32_t>(value);
}

// One QP for every picture type, or P, B and intra separated by commas.
std::optional<NV_ENC_QP> ParseQp(const std::string &text)
{
    std::vector<int32_t> numbers;
    std::string part;
    std::istringstream parts(text);
    while (std::getline(parts, part, ',')) {
        const std::optional<int32_t> number = ParseInteger(part);
        if (!number)
            return std::nullopt;
        numbers.push_back(*number);
    }
    if (numbers.size() == 1)
        numbers.assign(3, numbers.front());
    if (numbers.size() != 3 || text.back() == ',')
        return std::nullopt;
    return NV_ENC_QP{static_cast<uint32_t>(numbers[0]), static_cast<uint32_t>(numbers[1]),
                     static_cast<uint32_t>(numbers[2])};
}

} // namespace

NvEncoderInitParam::NvEncoderInitParam(const char *options)
    : m_options(options ? options : ""), m_encodeGuid(NV_ENC_CODEC_H264_GUID), m_presetGuid(NV_ENC_PRESET_P3_GUID)
{
    for (char &c : m_options)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::istringstream words(m_options);
    for (std::string word; words >> word;)
        m_tokens.push_back(word);
    for (size_t i = 0; i + 1 < m_tokens.size(); ++i) {
        const std::string &value = m_tokens[i + 1];
        if (m_tokens[i] == "-codec") {
            if (const auto guid = CodecList().Find(value))
                m_encodeGuid = *guid;
        } else if (m_tokens[i] == "-preset") {
            if (const auto guid = PresetList().Find(value))
                m_presetGuid = *guid;
        } else if (m_tokens[i] == "-tuninginfo") {
            if (const auto tuning = TuningList().Find(value))
                m_tuningInfo = *tuning;
        }
    }
}

void NvEncoderInitParam::Refuse(const std::string &token)
{
    throw std::invalid_argument("Incorrect parameter: " + token +
                                "\nRe-run the application with the -h option to get a list of the supported options.\n");
}

void NvEncoderInitParam::SetIdrPeriod(NV_ENC_CONFIG &config, uint32_t period) const
{
    if (IsH264()) {
        config.encodeCodecConfig.h264Config.idrPeriod = period;
        return;
    }
#if TYX_NVENC_HAS_AV1
    if (IsAv1()) {
        config.encodeCodecConfig.av1Config.idrPeriod = period;
        return;
    }
#endif
    if (IsHevc())
        config.encodeCodecConfig.hevcConfig.idrPeriod = period;
}

bool NvEncoderInitParam::ApplyValue(const std::string &option, const std::string &value,
                                    NV_ENC_INITIALIZE_PARAMS &params)
{
    NV_ENC_CONFIG &config = *params.encodeConfig;
    NV_ENC_RC_PARAMS &rc = config.rcParams;
    if (option == "-codec" || option == "-preset" || option == "-tuninginfo")
        return true;
    if (option == "-multipass") {
        const auto mode = MultiPassList().Find(value);
        if (mode)
            rc.multiPass = *mode;
        return mode.has_value();
    }
    if (option == "-profile") {
        const stNameList<GUID> &profiles = IsH264() ? H264Profiles() : IsHevc() ? HevcProfiles() : Av1Profiles();
        const auto guid = profiles.Find(value);
        if (guid)
            config.profileGUID = *guid;
        return guid.has_value();
    }
    if (option == "-rc") {
        const auto mode = RateControlList().Find(value);
        if (mode)
            rc.rateControlMode = *mode;
        return mode.has_value();
    }
    if (option == "-bitrate" || option == "-maxbitrate" || option == "-vbvbufsize" || option == "-vbvinit") {
        const std::optional<uint32_t> rate = ParseBitRate(value);
        if (!rate)
            return false;
        uint32_t &field = option == "-bitrate"      ? rc.averageBitRate
                          : option == "-maxbitrate" ? rc.maxBitRate
                          : option == "-vbvbufsize" ? rc.vbvBufferSize
                                                    : rc.vbvInitialDelay;
        field = *rate;
        return true;
    }
    if (option == "-initqp" || option == "-qmin" || option == "-qmax" || option == "-constqp") {
        const std::optional<NV_ENC_QP> qp = ParseQp(value);
        if (!qp)
            return false;
        if (option == "-initqp") {
            rc.initialRCQP = *qp;
            rc.enableInitialRCQP = 1;
        } else if (option == "-qmin") {
            rc.minQP = *qp;
            rc.enableMinQP = 1;
        } else if (option == "-qmax") {
            rc.maxQP = *qp;
            rc.enableMaxQP = 1;
        } else {
            rc.constQP = *qp;
        }
        return true;
    }
    // A television rate is a fraction (30000/1001): a whole number of pictures would lose one
    // picture in a thousand.
    const size_t slash = option == "-fps" ? value.find('/') : std::string::npos;
    if (slash != std::string::npos) {
        const std::optional<int32_t> num = ParseInteger(value.substr(0, slash));
        const std::optional<int32_t> den = ParseInteger(value.substr(slash + 1));
        if (!num || !den || *num <= 0 || *den <= 0)
            return false;
        params.frameRateNum = static_cast<uint32_t>(*num);
        params.frameRateDen = static_cast<uint32_t>(*den);
        return true;
    }
    const std::optional<int32_t> number = ParseInteger(value);
    if (!number)
        return false;
    if (option == "-fps") {
        params.frameRateNum = static_cast<uint32_t>(*number);
    } else if (option == "-bf") {
        if (*number < 0)
            return false; // -1 would ask for a frame interval of 0, intra pictures only
        config.frameIntervalP = *number + 1;
    } else if (option == "-cq") {
        rc.targetQuality = static_cast<uint8_t>(*number);
    } else if (option == "-lookahead") {
        rc.lookaheadDepth = static_cast<uint16_t>(*number);
        rc.enableLookahead = rc.lookaheadDepth != 0 ? 1 : 0;
    } else if (option == "-aq") {
        rc.aqStrength = static_cast<uint32_t>(*number) & 0xF;
        rc.enableAQ = 1;
    } else if (option == "-gop") {
        config.gopLength = static_cast<uint32_t>(*number);
        SetIdrPeriod(config, static_cast<uint32_t>(*number));
    }
    return true;
}

void NvEncoderInitParam::ApplyFlag(const std::string &option, NV_ENC_CONFIG &config)
{
    if (option == "-temporalaq") {
        config.rcParams.enableTemporalAQ = 1;
        return;
    }
    if (IsAv1())
        throw std::invalid_argument("Incorrect Parameter: YUV444 Input not supported with AV1 Codec");
    if (IsH264())
        config.encodeCodecConfig.h264Config.chromaFormatIDC = 3;
    else
        config.encodeCodecConfig.hevcConfig.chromaFormatIDC = 3;
}

void NvEncoderInitParam::ApplyToInitParams(NV_ENC_INITIALIZE_PARAMS *params, NV_ENC_BUFFER_FORMAT bufferFormat)
{
    if (!params || !params->encodeConfig)
        throw std::invalid_argument("Incorrect parameter: NV_ENC_INITIALIZE_PARAMS without encodeConfig\n");
    size_t i = 0;
    while (i < m_tokens.size()) {
        const std::string &token = m_tokens[i];
        if (IsFlag(token)) {
            ApplyFlag(token, *params->encodeConfig);
            ++i;
            continue;
        }
        if (!TakesValue(token) || i + 1 >= m_tokens.size())
            Refuse(token); // unknown, or an option at the end without its value
        // A value that cannot be used is looked at as the next option.
        i += ApplyValue(token, m_tokens[i + 1], *params) ? 2 : 1;
    }
    const bool tenBit = bufferFormat == NV_ENC_BUFFER_FORMAT_YUV420_10BIT ||
                        bufferFormat == NV_ENC_BUFFER_FORMAT_YUV444_10BIT;
    if (IsHevc() && tenBit)
        params->encodeConfig->encodeCodecConfig.hevcConfig.pixelBitDepthMinus8 = 2;
#if TYX_NVENC_HAS_AV1
    if (IsAv1() && bufferFormat == NV_ENC_BUFFER_FORMAT_YUV420_10BIT) {
        params->encodeConfig->encodeCodecConfig.av1Config.inputPixelBitDepthMinus8 = 2;
        params->encodeConfig->encodeCodecConfig.av1Config.pixelBitDepthMinus8 = 2;
    }
#endif
}
