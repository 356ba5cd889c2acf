#include "core/TYXWorkerConfig.h"

#include "core/FramePackage.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

stTYXStreamConfig MakeStream(int32_t streamId, int32_t mediaType, const std::wstring &alias)
{
    stTYXStreamConfig stream;
    stream.StreamId = streamId;
    stream.MediaType = mediaType;
    stream.StrmAlias = alias;
    return stream;
}

stTYXWorkerItemInfo Item(int32_t id, int16_t no, int32_t kind, const std::wstring &name)
{
    stTYXWorkerItemInfo item;
    item.Id = id;
    item.No = no;
    item.Kind = kind;
    item.Name = name;
    return item;
}

TEST(TYXWorkerConfigTest, ReaderItemsFollowStreamNumbersAndStreamsAreFoundById)
{
    stMediaSourceReadWorkerConfig reader;
    reader.WorkerId = 0x01010000;
    reader.MSTYPE = TYX_MS_RTSP;
    reader.Streams[2] = MakeStream(0x01010002, 1, L"mic");
    reader.Streams[1] = MakeStream(0x01010001, 0, L"cam");
    reader.Streams[3] = MakeStream(0x01010003, 5, L"data");
    reader.BuildIOItems();

    const std::vector<stTYXWorkerItemInfo> expected = {
        Item(0x01010001, 1, TYX_PKT_KIND_CODED_VIDEO, L"cam"),
        Item(0x01010002, 2, TYX_PKT_KIND_CODED_AUDIO, L"mic"),
        Item(0x01010003, 3, TYX_PKT_KIND_NONE, L"data"),
    };
    EXPECT_EQ(reader.GetInputItems(), expected);
    EXPECT_EQ(reader.GetOutputItems(), expected);

    reader.Streams[2].ProactiveCache = 2000;
    EXPECT_EQ(reader.GetStreamConfig(0x01010002).ProactiveCache, 2000);
    EXPECT_EQ(reader.GetStreamConfig(0x01010004).StreamId, 0);    // no stream 4
    EXPECT_EQ(reader.GetStreamConfig(0x01000005).MediaType, -1); // below the source's id
}

TEST(TYXWorkerConfigTest, ReaderMasksAndMultiFlagsDependOnTheSourceType)
{
    struct stCase
    {
        int32_t type;
        uint8_t in, out, multi;
    };
    for (const stCase &c : {stCase{TYX_MS_VCAP, 0x16, 0x17, 0}, stCase{TYX_MS_ACAP, 0x1C, 0x1D, 0},
                            stCase{TYX_MS_FILE, 0x14, 0x15, 1}, stCase{TYX_MS_RTMP, 0x14, 0x15, 1}}) {
        stMediaSourceReadWorkerConfig reader;
        reader.MSTYPE = c.type;
        reader.BuildIOItems();
        EXPECT_EQ(reader.InputStreamTypes, c.in) << c.type;
        EXPECT_EQ(reader.OutputStreamTypes, c.out) << c.type;
        EXPECT_EQ(reader.MultiInput, c.multi) << c.type;
        EXPECT_EQ(reader.MultiOutput, c.multi) << c.type;
    }
}

TEST(TYXWorkerConfigTest, StreamNumbersOutsideTheLowByteAreRefused)
{
    CLogCapture log;
    stMediaSourceReadWorkerConfig reader;
    reader.Name = L"Cam1";
    reader.WorkerId = 0x01010000;
    reader.Streams[1] = MakeStream(0x01010001, 0, L"v");
    reader.Streams[256] = MakeStream(0x01010100, 0, L"far");
    reader.BuildIOItems();
    ASSERT_EQ(reader.InputItems.size(), 1u);
    EXPECT_EQ(reader.InputItems[0].No, 1);
    EXPECT_TRUE(log.Contains(L"Stream No[256] of worker[Cam1:1010000]", 3));

    stVideoMidProcWorkerConfig matrix;
    matrix.WorkerId = 0x04020000;
    matrix.MPType = TYX_MP_MATRIX;
    matrix.MatrixOutputs[1] = 1;
    matrix.MatrixOutputs[300] = 1;
    matrix.BuildIOItems();
    ASSERT_EQ(matrix.OutputItems.size(), 1u);
    EXPECT_EQ(matrix.OutputItems[0].Id, 0x04020001);
}

TEST(TYXWorkerConfigTest, SingleStreamKindsMapTheirInputToOwnIdPlusOne)
{
    stVideoDecodeWorkerConfig decoder;
    decoder.WorkerId = 0x02010000;
    decoder.Name = L"Dec1";
    decoder.VideoSource = 0x01010001;
    decoder.VideoSourceName = L"MediaSources.Cam1.VideoOutput";
    decoder.BuildIOItems();
    EXPECT_EQ(decoder.InputItems, (std::vector{Item(0x01010001, 1, TYX_PKT_KIND_CODED_VIDEO, L"MediaSources.Cam1.VideoOutput")}));
    EXPECT_EQ(decoder.OutputItems, (std::vector{Item(0x02010001, 1, TYX_PKT_KIND_RAW_VIDEO, L"Dec1")}));

    stVideoEncodeWorkerConfig encoder;
    encoder.WorkerId = 0x06010000;
    encoder.Name = L"Enc1";
    encoder.VideoSource = 0x04010001;
    encoder.BuildIOItems();
    EXPECT_EQ(encoder.InputItems, (std::vector{Item(0x04010001, 1, TYX_PKT_KIND_RAW_VIDEO, L"")}));
    EXPECT_EQ(encoder.OutputItems, (std::vector{Item(0x06010001, 1, TYX_PKT_KIND_CODED_VIDEO, L"Enc1")}));

    stAudioDecodeWorkerConfig audioDecoder;
    audioDecoder.WorkerId = 0x0A010000;
    audioDecoder.AudioSource = 0x01010002;
    audioDecoder.BuildIOItems();
    EXPECT_EQ(audioDecoder.InputItems, (std::vector{Item(0x01010002, 1, TYX_PKT_KIND_CODED_AUDIO, L"")}));
    EXPECT_EQ(audioDecoder.OutputItems, (std::vector{Item(0x0A010001, 1, TYX_PKT_KIND_RAW_AUDIO, L"")}));

    stAudioEncodeWorkerConfig audioEncoder;
    audioEncoder.WorkerId = 0x0E010000;
    audioEncoder.AudioSource = 0x0A010001;
    audioEncoder.BuildIOItems();
    EXPECT_EQ(audioEncoder.InputItems, (std::vector{Item(0x0A010001, 1, TYX_PKT_KIND_RAW_AUDIO, L"")}));
    EXPECT_EQ(audioEncoder.OutputItems, (std::vector{Item(0x0E010001, 1, TYX_PKT_KIND_CODED_AUDIO, L"")}));
}

TEST(TYXWorkerConfigTest, MidProcessorItemsByType)
{
    stVideoMidProcWorkerConfig mux;
    mux.WorkerId = 0x04010000;
    mux.Name = L"Mux1";
    mux.MPType = TYX_MP_MUX;
    mux.MuxSettings.MuxInputs = {{2, 0x02020001}, {1, 0x02010001}};
    mux.MuxSettings.MuxInputNames = {{0x02010001, L"VideoDecoders.Dec1.VideoOutput"}};
    mux.BuildIOItems();
    EXPECT_EQ(mux.InputItems, (std::vector{Item(0x02010001, 1, 1, L"VideoDecoders.Dec1.VideoOutput"),
                                           Item(0x02020001, 2, 1, L"")}));
    EXPECT_EQ(mux.OutputItems, (std::vector{Item(0x04010001, 1, 1, L"Mux1")}));
    EXPECT_EQ(mux.MultiInput, 1);
    EXPECT_EQ(mux.MultiOutput, 0);

    stVideoMidProcWorkerConfig matrix;
    matrix.WorkerId = 0x04020000;
    matrix.MPType = TYX_MP_MATRIX;
    matrix.MatrixInputs = {{1, 0x02010001}};
    matrix.MatrixOutputs = {{2, 1}, {1, 1}};
    matrix.BuildIOItems();
    EXPECT_EQ(matrix.OutputItems, (std::vector{Item(0x04020001, 1, 1, L""), Item(0x04020002, 2, 1, L"")}));
    EXPECT_EQ(matrix.MultiInput, 1);
    EXPECT_EQ(matrix.MultiOutput, 1);

    stVideoMidProcWorkerConfig split;
    split.WorkerId = 0x04030000;
    split.MPType = TYX_MP_SPLIT;
    split.SingleInput.VideoSource = 0x04010001;
    split.SingleInput.SourceName = L"VideoMidProcessors.Mux1.VideoOutput";
    split.SingleInput.Outputs[2].StreamId = 0x04030002;
    split.SingleInput.Outputs[2].Alias = L"right";
    split.SingleInput.Outputs[1].StreamId = 0x04030001;
    split.SingleInput.Outputs[1].Alias = L"left";
    split.BuildIOItems();
    EXPECT_EQ(split.InputItems, (std::vector{Item(0x04010001, 1, 1, L"VideoMidProcessors.Mux1.VideoOutput")}));
    EXPECT_EQ(split.OutputItems, (std::vector{Item(0x04030001, 1, 1, L"left"), Item(0x04030002, 2, 1, L"right")}));
    EXPECT_EQ(split.MultiInput, 0);
    EXPECT_EQ(split.MultiOutput, 1);
    // Outputs are found by number (which wins over the name) or by name ignoring case.
    EXPECT_EQ(split.FindOutputItemId(0, L""), -2);
    EXPECT_EQ(split.FindOutputItemId(-1, L""), -2);
    EXPECT_EQ(split.FindOutputItemId(0, L"rIGHT"), 0x04030002);
    EXPECT_EQ(split.FindOutputItemId(0, L"middle"), 0);
    EXPECT_EQ(split.FindOutputItemId(2, L"Left"), 0x04030002);
    EXPECT_EQ(split.FindOutputItemId(7, L""), 0);

    stVideoMidProcWorkerConfig unify;
    unify.WorkerId = 0x04040000;
    unify.Name = L"Uni";
    unify.MPType = TYX_MP_UNIFY;
    unify.SingleInput.VideoSource = 0x02010001;
    unify.BuildIOItems();
    EXPECT_EQ(unify.OutputItems, (std::vector{Item(0x04040001, 0, 1, L"Uni")}));
    EXPECT_EQ(unify.MultiInput, 0);
    EXPECT_EQ(unify.MultiOutput, 0);

    stVideoMidProcWorkerConfig other;
    other.MPType = 2;
    other.MuxSettings.MuxInputs = {{1, 5}};
    other.BuildIOItems();
    EXPECT_TRUE(other.InputItems.empty());
    EXPECT_TRUE(other.OutputItems.empty());
}

TEST(TYXWorkerConfigTest, WriterTakesVideoThenAudioInputs)
{
    stMediaWriteWorkerConfig writer;
    writer.WorkerId = static_cast<int32_t>(0x90000004u); // above the signed range
    writer.AudioStreams = {{0x01010002, L"a"}};
    writer.VideoStreams = {{0x06020001, L"v2"}, {0x06010001, L"v1"}};
    writer.BuildIOItems();
    const std::vector<stTYXWorkerItemInfo> expected = {Item(0x06010001, 1, 2, L"v1"), Item(0x06020001, 1, 2, L"v2"),
                                                       Item(0x01010002, 1, 8, L"a")};
    EXPECT_EQ(writer.InputItems, expected);
    EXPECT_EQ(writer.OutputItems, expected);
}

} // namespace
