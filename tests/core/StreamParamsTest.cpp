#include "core/StreamParams.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <utility>

namespace {

// A record with every field away from its default, so that a field a copy or move forgets shows.
stStreamParams MakeAudioParams()
{
    stStreamParams params;
    params.sourceType = 2;
    params.mediaType = 1;
    params.timeBase = {1, 48000};
    params.frameSize = 1024;
    params.bitRate = 128000;
    params.profile = 1;
    params.level = 4;
    params.startTime = 90;
    params.gopSize = 5;
    params.reserved64 = 6;
    const uint8_t extradata[] = {0x12, 0x10, 0x56, 0xE5};
    params.SetExtradata(extradata, sizeof(extradata));
    params.codecId = AV_CODEC_ID_AAC;
    params.pixelFormat = 3;
    params.width = 9;
    params.height = 10;
    params.bitDepth = 16;
    params.frameRate = 1.5f;
    params.streamId = 0x101;
    params.pitch = 7;
    params.pitchUV = 8;
    params.sampleFormat = AV_SAMPLE_FMT_FLTP;
    params.sampleRate = 48000;
    const AVChannelLayout surround = AV_CHANNEL_LAYOUT_5POINT1;
    EXPECT_EQ(av_channel_layout_copy(&params.channelLayout, &surround), 0);
    params.followFrameRate = 0;
    params.followFrameSize = 0;
    params.followPixelFormat = 0;
    params.codecName = L"AAC";
    params.name = L"audio";
    params.profileName = L"LC";
    params.note = L"note";
    return params;
}

auto Values(const stStreamParams &p)
{
    return std::make_tuple(p.sourceType, p.mediaType, p.timeBase.num, p.timeBase.den, p.frameSize, p.bitRate,
                           p.profile, p.level, p.startTime, p.gopSize, p.reserved64, p.codecId, p.pixelFormat,
                           p.width, p.height, p.bitDepth, p.frameRate, p.streamId, p.pitch, p.pitchUV,
                           p.sampleFormat, p.sampleRate, p.followFrameRate, p.followFrameSize,
                           p.followPixelFormat, p.codecName, p.name, p.profileName, p.note);
}

void ExpectSameValues(const stStreamParams &a, const stStreamParams &b)
{
    EXPECT_EQ(Values(a), Values(b));
    ASSERT_EQ(a.extradataSize, b.extradataSize);
    if (a.extradataSize > 0) {
        EXPECT_EQ(std::memcmp(a.extradata, b.extradata, static_cast<size_t>(a.extradataSize)), 0);
    }
    EXPECT_EQ(av_channel_layout_compare(&a.channelLayout, &b.channelLayout), 0);
}

TEST(StreamParamsTest, CopyOwnsItsExtradataAndLayout)
{
    stStreamParams source = MakeAudioParams();
    stStreamParams copy(source);
    ExpectSameValues(copy, source);
    ASSERT_NE(copy.extradata, source.extradata);
    for (int i = 0; i < AV_INPUT_BUFFER_PADDING_SIZE; ++i)
        EXPECT_EQ(copy.extradata[copy.extradataSize + i], 0) << "padding byte " << i;

    source.extradata[0] = 0xFF;
    EXPECT_EQ(copy.extradata[0], 0x12);
    source.SetExtradata(nullptr, 0);
    av_channel_layout_uninit(&source.channelLayout);
    EXPECT_EQ(copy.extradata[3], 0xE5);
    EXPECT_EQ(copy.channelLayout.nb_channels, 6);

    // Assigning a record without extradata releases the old block (the leak check sees it).
    stStreamParams empty;
    copy = empty;
    EXPECT_EQ(copy.extradata, nullptr);
    EXPECT_EQ(copy.extradataSize, 0);
    EXPECT_EQ(copy.channelLayout.nb_channels, 0);
}

TEST(StreamParamsTest, CustomChannelLayoutIsCopiedDeeply)
{
    stStreamParams source;
    source.channelLayout.order = AV_CHANNEL_ORDER_CUSTOM;
    source.channelLayout.nb_channels = 2;
    source.channelLayout.u.map = static_cast<AVChannelCustom *>(av_calloc(2, sizeof(AVChannelCustom)));
    ASSERT_NE(source.channelLayout.u.map, nullptr);
    source.channelLayout.u.map[0].id = AV_CHAN_FRONT_CENTER;
    source.channelLayout.u.map[1].id = AV_CHAN_LOW_FREQUENCY;
    stStreamParams copy;
    copy = source;
    ASSERT_EQ(copy.channelLayout.order, AV_CHANNEL_ORDER_CUSTOM);
    EXPECT_NE(copy.channelLayout.u.map, source.channelLayout.u.map);
    EXPECT_EQ(copy.channelLayout.u.map[1].id, AV_CHAN_LOW_FREQUENCY);

    stStreamParams moved(std::move(copy));
    EXPECT_EQ(moved.channelLayout.u.map[0].id, AV_CHAN_FRONT_CENTER);
    EXPECT_EQ(copy.channelLayout.nb_channels, 0); // NOLINT(bugprone-use-after-move): moved-from state is defined
}

TEST(StreamParamsTest, SelfAssignmentKeepsEverything)
{
    stStreamParams params = MakeAudioParams();
    const stStreamParams expected = params;
    stStreamParams &alias = params;
    params = alias;
    ExpectSameValues(params, expected);
    params = std::move(alias);
    ExpectSameValues(params, expected);
    // Extradata taken from the record's own block.
    params.SetExtradata(params.extradata + 1, 2);
    ASSERT_EQ(params.extradataSize, 2);
    EXPECT_EQ(params.extradata[0], 0x10);
    EXPECT_EQ(params.extradata[1], 0x56);
}

TEST(StreamParamsTest, MoveTakesTheOwnedBlocks)
{
    stStreamParams source = MakeAudioParams();
    const stStreamParams expected = source;
    uint8_t *extradata = source.extradata;
    stStreamParams target;
    target.SetExtradata(extradata, 1); // replaced by the move, released without a leak
    target = std::move(source);
    ExpectSameValues(target, expected);
    EXPECT_EQ(target.extradata, extradata);
    EXPECT_EQ(source.extradata, nullptr); // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(source.extradataSize, 0);
}

TEST(StreamParamsTest, CodecParametersOutliveTheReadersBlock)
{
    AVCodecParameters *readers = avcodec_parameters_alloc();
    ASSERT_NE(readers, nullptr);
    readers->codec_type = AVMEDIA_TYPE_VIDEO;
    readers->codec_id = AV_CODEC_ID_H264;
    readers->width = 1920;
    readers->height = 1080;
    const uint8_t sps[] = {0, 0, 0, 1, 0x67, 0x42};
    readers->extradata = static_cast<uint8_t *>(av_mallocz(sizeof(sps) + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(readers->extradata, sps, sizeof(sps));
    readers->extradata_size = sizeof(sps);

    stStreamParams params;
    params.SetCodecParameters(readers);
    stStreamParams copy = params;
    avcodec_parameters_free(&readers); // the reader reconnects: its block is gone

    for (const stStreamParams *record : {&params, &copy}) {
        ASSERT_NE(record->codecParameters, nullptr);
        EXPECT_EQ(record->codecParameters->codec_id, AV_CODEC_ID_H264);
        EXPECT_EQ(record->codecParameters->width, 1920);
        ASSERT_EQ(record->codecParameters->extradata_size, 6);
        EXPECT_EQ(record->codecParameters->extradata[4], 0x67);
    }
    EXPECT_NE(params.codecParameters, copy.codecParameters);
    params.SetCodecParameters(nullptr);
    EXPECT_EQ(params.codecParameters, nullptr);
}

} // namespace
