#pragma once

// Turns a text of command-line style options into the encoder API's choices: the constructor
// settles the codec, the preset and the tuning info (which NvEncoder needs for its default
// parameters); ApplyToInitParams writes every other option into the initialisation parameters and
// their encode configuration. An unknown option, or a value that cannot be used and is no option
// itself, is refused with std::invalid_argument; a number too large with std::out_of_range.

#include <ffnvcodec/nvEncodeAPI.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

inline bool IsSameGuid(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// AV1 needs encode API 12; with older headers "av1" names a codec no session accepts.
#if NVENCAPI_MAJOR_VERSION >= 12
#define TYX_NVENC_HAS_AV1 1
inline const GUID &Av1CodecGuid() { return NV_ENC_CODEC_AV1_GUID; }
inline const GUID &Av1MainProfileGuid() { return NV_ENC_AV1_PROFILE_MAIN_GUID; }
#else
#define TYX_NVENC_HAS_AV1 0
const GUID &Av1CodecGuid();
const GUID &Av1MainProfileGuid();
#endif

class NvEncoderInitParam
{
public:
    explicit NvEncoderInitParam(const char *options = "");
    virtual ~NvEncoderInitParam() = default;
    NvEncoderInitParam(const NvEncoderInitParam &) = default;
    NvEncoderInitParam &operator=(const NvEncoderInitParam &) = default;

    virtual bool IsH264() const { return IsSameGuid(m_encodeGuid, NV_ENC_CODEC_H264_GUID); }
    virtual bool IsHevc() const { return IsSameGuid(m_encodeGuid, NV_ENC_CODEC_HEVC_GUID); }
    virtual bool IsAv1() const { return IsSameGuid(m_encodeGuid, Av1CodecGuid()); }
    virtual GUID EncodeGuid() const { return m_encodeGuid; }
    virtual GUID PresetGuid() const { return m_presetGuid; }
    virtual NV_ENC_TUNING_INFO TuningInfo() const { return m_tuningInfo; }
    // params must carry an encode configuration.
    virtual void ApplyToInitParams(NV_ENC_INITIALIZE_PARAMS *params, NV_ENC_BUFFER_FORMAT bufferFormat);

    const std::string &Text() const { return m_options; }
    const std::vector<std::string> &Tokens() const { return m_tokens; }

private:
    // Applies an option with its value: false when the value cannot be used.
    bool ApplyValue(const std::string &option, const std::string &value, NV_ENC_INITIALIZE_PARAMS &params);
    void ApplyFlag(const std::string &option, NV_ENC_CONFIG &config);
    void SetIdrPeriod(NV_ENC_CONFIG &config, uint32_t period) const;
    [[noreturn]] static void Refuse(const std::string &token);

    std::string m_options;
    std::vector<std::string> m_tokens;
    GUID m_encodeGuid;
    GUID m_presetGuid;
    NV_ENC_TUNING_INFO m_tuningInfo = NV_ENC_TUNING_INFO_HIGH_QUALITY;
};
