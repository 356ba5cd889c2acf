// The NVENC option text: every option family, its value forms and its refusals.

#include "codec/NvEncoderInitParam.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace {

struct stParams
{
    stParams()
    {
        config.version = NV_ENC_CONFIG_VER;
        init.version = NV_ENC_INITIALIZE_PARAMS_VER;
        init.encodeConfig = &config;
    }
    NV_ENC_INITIALIZE_PARAMS init{};
    NV_ENC_CONFIG config{};
};

stParams Apply(const char *text, NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_IYUV)
{
    stParams params;
    NvEncoderInitParam parser(text);
    parser.ApplyToInitParams(&params.init, format);
    return params;
}

std::string RefusalOf(const char *text)
{
    try {
        Apply(text);
    } catch (const std::invalid_argument &error) {
        return error.what();
    }
    return "accepted";
}

TEST(NvEncoderInitParamTest, TheWorkersOptionTextGivesItsCodecProfileRateGopAndBitRate)
{
    NvEncoderInitParam parser(" -codec h264 -profile high -fps 25 -gop 50 -bitrate 4000K");
    EXPECT_TRUE(parser.IsH264());
    EXPECT_FALSE(parser.IsHevc());
    EXPECT_TRUE(IsSameGuid(parser.PresetGuid(), NV_ENC_PRESET_P3_GUID));
    EXPECT_EQ(parser.TuningInfo(), NV_ENC_TUNING_INFO_HIGH_QUALITY);
    stParams params;
    parser.ApplyToInitParams(&params.init, NV_ENC_BUFFER_FORMAT_IYUV);
    EXPECT_TRUE(IsSameGuid(params.config.profileGUID, NV_ENC_H264_PROFILE_HIGH_GUID));
    EXPECT_EQ(params.init.frameRateNum, 25u);
    EXPECT_EQ(params.config.gopLength, 50u);
    EXPECT_EQ(params.config.encodeCodecConfig.h264Config.idrPeriod, 50u);
    EXPECT_EQ(params.config.rcParams.averageBitRate, 4000000u);
}

TEST(NvEncoderInitParamTest, CodecPresetAndTuningAreSettledByTheConstructorUnknownNamesKeepTheDefaults)
{
    NvEncoderInitParam chosen("-codec HEVC -preset P7 -tuninginfo ultralowlatency");
    EXPECT_TRUE(chosen.IsHevc());
    EXPECT_TRUE(IsSameGuid(chosen.PresetGuid(), NV_ENC_PRESET_P7_GUID));
    EXPECT_EQ(chosen.TuningInfo(), NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY);
    NvEncoderInitParam unknown("-codec h.264 -preset fast -tuninginfo turbo");
    EXPECT_TRUE(unknown.IsH264());
    EXPECT_TRUE(IsSameGuid(unknown.PresetGuid(), NV_ENC_PRESET_P3_GUID));
    EXPECT_EQ(unknown.TuningInfo(), NV_ENC_TUNING_INFO_HIGH_QUALITY);
    EXPECT_NO_THROW(Apply("-codec h.264 -preset fast -tuninginfo turbo")); // the values are skipped
    NvEncoderInitParam av1("-codec av1");
    EXPECT_TRUE(av1.IsAv1());
    NvEncoderInitParam missing("-codec");
    EXPECT_TRUE(missing.IsH264());
}

TEST(NvEncoderInitParamTest, ProfilesComeFromTheChosenCodecsList)
{
    stParams hevc = Apply("-codec hevc -profile main10");
    EXPECT_TRUE(IsSameGuid(hevc.config.profileGUID, NV_ENC_HEVC_PROFILE_MAIN10_GUID));
    EXPECT_TRUE(IsSameGuid(Apply("-codec hevc -profile frext").config.profileGUID, NV_ENC_HEVC_PROFILE_FREXT_GUID));
    EXPECT_TRUE(IsSameGuid(Apply("-profile baseline").config.profileGUID, NV_ENC_H264_PROFILE_BASELINE_GUID));
    EXPECT_TRUE(IsSameGuid(Apply("-profile HIGH444").config.profileGUID, NV_ENC_H264_PROFILE_HIGH_444_GUID));
    EXPECT_EQ(RefusalOf("-codec h264 -profile main10"),
              "Incorrect parameter: main10\nRe-run the application with the -h option to get a list of the "
              "supported options.\n");
}

TEST(NvEncoderInitParamTest, QpValuesTakeOneOrThreeNumbers)
{
    stParams qmin = Apply("-qmin 20,22,18");
    EXPECT_EQ(qmin.config.rcParams.minQP.qpInterP, 20u);
    EXPECT_EQ(qmin.config.rcParams.minQP.qpInterB, 22u);
    EXPECT_EQ(qmin.config.rcParams.minQP.qpIntra, 18u);
    EXPECT_EQ(qmin.config.rcParams.enableMinQP, 1u);
    EXPECT_EQ(qmin.config.rcParams.enableMaxQP, 0u);
    stParams one = Apply("-initqp 30 -qmax 40 -constqp 1,2,3");
    EXPECT_EQ(one.config.rcParams.initialRCQP.qpInterB, 30u);
    EXPECT_EQ(one.config.rcParams.initialRCQP.qpIntra, 30u);
    EXPECT_EQ(one.config.rcParams.enableInitialRCQP, 1u);
    EXPECT_EQ(one.config.rcParams.maxQP.qpInterP, 40u);
    EXPECT_EQ(one.config.rcParams.enableMaxQP, 1u);
    EXPECT_EQ(one.config.rcParams.constQP.qpInterB, 2u);
    EXPECT_NE(RefusalOf("-qmin 20,22").find("Incorrect parameter: 20,22\n"), std::string::npos);
    EXPECT_NE(RefusalOf("-qmin 20,22,18,4").find("Incorrect parameter: 20,22,18,4\n"), std::string::npos);
    EXPECT_NE(RefusalOf("-qmin 20,,18").find("Incorrect parameter: 20,,18\n"), std::string::npos);
}

TEST(NvEncoderInitParamTest, BitRatesTakeKiloAndMegaAndRefuseWhatDoesNotFit)
{
    EXPECT_EQ(Apply("-bitrate 1.5m").config.rcParams.averageBitRate, 1500000u);
    EXPECT_EQ(Apply("-bitrate 4000k").config.rcParams.averageBitRate, 4000000u);
    EXPECT_EQ(Apply("-BITRATE 4000K").config.rcParams.averageBitRate, 4000000u);
    stParams all = Apply("-maxbitrate 8m -vbvbufsize 500k -vbvinit 250000");
    EXPECT_EQ(all.config.rcParams.maxBitRate, 8000000u);
    EXPECT_EQ(all.config.rcParams.vbvBufferSize, 500000u);
    EXPECT_EQ(all.config.rcParams.vbvInitialDelay, 250000u);
    EXPECT_THROW(Apply("-bitrate 5000m"), std::out_of_range);
    EXPECT_NE(RefusalOf("-bitrate fast").find("Incorrect parameter: fast\n"), std::string::npos);
}

TEST(NvEncoderInitParamTest, IntegerOptionsSetTheirFields)
{
    EXPECT_EQ(Apply("-bf 0").config.frameIntervalP, 1);
    EXPECT_EQ(Apply("-bf 2").config.frameIntervalP, 3);
    EXPECT_NE(RefusalOf("-bf -1").find("Incorrect parameter: -1\n"), std::string::npos);
    stParams look = Apply("-lookahead 16 -aq 8 -cq 28 -temporalaq");
    EXPECT_EQ(look.config.rcParams.lookaheadDepth, 16);
    EXPECT_EQ(look.config.rcParams.enableLookahead, 1u);
    EXPECT_EQ(look.config.rcParams.aqStrength, 8u);
    EXPECT_EQ(look.config.rcParams.enableAQ, 1u);
    EXPECT_EQ(look.config.rcParams.targetQuality, 28);
    EXPECT_EQ(look.config.rcParams.enableTemporalAQ, 1u);
    EXPECT_EQ(Apply("-lookahead 16 -lookahead 0").config.rcParams.enableLookahead, 0u);
    stParams hevcGop = Apply("-codec hevc -gop 120");
    EXPECT_EQ(hevcGop.config.gopLength, 120u);
    EXPECT_EQ(hevcGop.config.encodeCodecConfig.hevcConfig.idrPeriod, 120u);
    EXPECT_THROW(Apply("-fps 99999999999"), std::out_of_range);
    EXPECT_NE(RefusalOf("-fps many").find("Incorrect parameter: many\n"), std::string::npos);
}

TEST(NvEncoderInitParamTest, RateControlAndMultiPassNames)
{
    stParams params = Apply("-rc cbr -multipass fullres");
    EXPECT_EQ(params.config.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CBR);
    EXPECT_EQ(params.config.rcParams.multiPass, NV_ENC_TWO_PASS_FULL_RESOLUTION);
    EXPECT_EQ(Apply("-rc vbr -multipass qres").config.rcParams.multiPass, NV_ENC_TWO_PASS_QUARTER_RESOLUTION);
    EXPECT_EQ(Apply("-rc constqp").config.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CONSTQP);
    EXPECT_NE(RefusalOf("-rc vbr_hq").find("Incorrect parameter: vbr_hq\n"), std::string::npos);
    EXPECT_NE(RefusalOf("-multipass twice").find("Incorrect parameter: twice\n"), std::string::npos);
}

TEST(NvEncoderInitParamTest, FourFourFourAndTenBitFormats)
{
    EXPECT_EQ(Apply("-444").config.encodeCodecConfig.h264Config.chromaFormatIDC, 3u);
    EXPECT_EQ(Apply("-codec hevc -444").config.encodeCodecConfig.hevcConfig.chromaFormatIDC, 3u);
    EXPECT_EQ(RefusalOf("-codec av1 -444"), "Incorrect Parameter: YUV444 Input not supported with AV1 Codec");
    EXPECT_EQ(Apply("-codec hevc", NV_ENC_BUFFER_FORMAT_YUV420_10BIT).config.encodeCodecConfig.hevcConfig.pixelBitDepthMinus8,
              2u);
    EXPECT_EQ(Apply("-codec hevc", NV_ENC_BUFFER_FORMAT_IYUV).config.encodeCodecConfig.hevcConfig.pixelBitDepthMinus8,
              0u);
}

TEST(NvEncoderInitParamTest, UnknownOptionsAndMissingValuesAreRefusedAnEmptyTextChangesNothing)
{
    EXPECT_EQ(RefusalOf("-fps 25 -turbo"), "Incorrect parameter: -turbo\nRe-run the application with the -h "
                                           "option to get a list of the supported options.\n");
    EXPECT_NE(RefusalOf("-gop 50 -fps").find("Incorrect parameter: -fps\n"), std::string::npos);
    EXPECT_NE(RefusalOf("h264").find("Incorrect parameter: h264\n"), std::string::npos);
    const stParams untouched;
    const stParams empty = Apply("");
    EXPECT_EQ(std::memcmp(&empty.config, &untouched.config, sizeof(NV_ENC_CONFIG)), 0);
    EXPECT_EQ(empty.init.frameRateNum, 0u);
    const stParams blanks = Apply("   \t ");
    EXPECT_EQ(std::memcmp(&blanks.config, &untouched.config, sizeof(NV_ENC_CONFIG)), 0);
    stParams noConfig;
    noConfig.init.encodeConfig = nullptr;
    NvEncoderInitParam parser("-fps 25");
    EXPECT_THROW(parser.ApplyToInitParams(&noConfig.init, NV_ENC_BUFFER_FORMAT_IYUV), std::invalid_argument);
}

TEST(NvEncoderInitParamTest, CopiesWorkOnTheirOwn)
{
    NvEncoderInitParam original("-codec hevc -fps 50");
    NvEncoderInitParam copy = original;
    EXPECT_TRUE(copy.IsHevc());
    EXPECT_EQ(copy.Tokens().size(), 4u);
    stParams params;
    copy.ApplyToInitParams(&params.init, NV_ENC_BUFFER_FORMAT_IYUV);
    EXPECT_EQ(params.init.frameRateNum, 50u);
}

TEST(NvEncoderInitParamTest, ATelevisionRateIsTakenAsItsFraction)
{
    const stParams television = Apply("-fps 30000/1001");
    EXPECT_EQ(television.init.frameRateNum, 30000u);
    EXPECT_EQ(television.init.frameRateDen, 1001u);
    EXPECT_NE(RefusalOf("-fps 30000/0").find("Incorrect parameter"), std::string::npos);
    EXPECT_NE(RefusalOf("-fps 30000/x").find("Incorrect parameter"), std::string::npos);
}

} // namespace
