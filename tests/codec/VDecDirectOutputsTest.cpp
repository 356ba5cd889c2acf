// A decode worker whose only output is the frame pipe still decodes, and a real pipe client gets
// its pictures.

#include "codec/DecodeTestSupport.h"
#include "codec/FpgVDcdWorker.h"
#include "core/I420Layout.h"
#include "host/GlobalVars.h"
#include "output/FramePipeClient.h"
#include "output/OutputTestSupport.h"

#include "support/LeakCheck.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// Luma samples of the picture other than its top left one's: the text of a status picture.
int LitLuma(const stPicture &picture)
{
    int lit = 0;
    const auto luma = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    for (size_t i = 0; i < luma && i < picture.bytes.size(); ++i)
        lit += picture.bytes[i] != picture.bytes[0] ? 1 : 0;
    return lit;
}

} // namespace

class VDecDirectOutputsTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        CLeakCheckedTest::TearDown();
    }
    CRuntimeFolderScope m_folder;
};

TEST_F(VDecDirectOutputsTest, APipeAloneIsFedWithDecodedPictures)
{
    stTestStreamSpec spec;
    spec.frames = 10;
    stCodedStream stream;
    ASSERT_TRUE(EncodeTestStream(spec, stream));
    std::map<int64_t, stPicture> reference;
    for (const stPicture &picture : ReferenceDecode(stream.packets, stream.params))
        reference[picture.pts] = picture;

    CDecodeHarness harness(
        [](uint32_t id, const CTYXWorker::InputLinkMap *inputs, const CTYXWorker::ConsumerLinkMap *consumers) {
            return std::make_shared<CFpgVDcdWorker>(id, inputs, consumers);
        },
        false);
    harness.Config().RVTP = 1;
    ASSERT_TRUE(harness.Configure(stream.params));
    ASSERT_TRUE(harness.Start());
    for (const stCodedPacket &packet : stream.packets)
        harness.Feed(packet);
    CFramePipeClient client;
    ASSERT_TRUE(PollUntil([&] { return client.Connect(m_folder.Path() + "/RVTP_VdcdTest"); }))
        << "the pipe server starts with the first picture";
    // Pictures before the client came are gone: the stream is sent once more, stamped later.
    constexpr int64_t kLater = 10000000;
    for (stCodedPacket packet : stream.packets) {
        packet.pts += kLater;
        packet.dts += kLater;
        harness.Feed(packet);
    }
    stFrameMessage message;
    int matched = 0;
    while (matched < 3 && client.ReadMessage(message, 5000)) {
        const auto found = reference.find(message.pts - kLater);
        if (found == reference.end())
            continue;
        EXPECT_EQ(message.width, 320);
        EXPECT_EQ(message.height, 240);
        EXPECT_TRUE(message.data == found->second.bytes) << "picture of pts " << message.pts;
        ++matched;
    }
    EXPECT_EQ(matched, 3);
    client.Close();
    harness.Stop();
}

// The status pictures of a decoder of an odd picture size have the size and the layout of its
// decoded pictures, for its consumers and on its pipe alike.
TEST_F(VDecDirectOutputsTest, StatusPicturesOfAnOddSizedStreamHaveTheDecodedLayout)
{
    constexpr int kOddWidth = 321;
    constexpr int kOddHeight = 181;
    CTYXGVMS::GeneralSettings().DefaultBGC = 1; // blue: a background whose chroma shows the layout
    stTestStreamSpec spec;
    spec.encoder = "mpeg4"; // libx264 takes even sizes only
    spec.width = kOddWidth;
    spec.height = kOddHeight;
    spec.frames = 5;
    stCodedStream stream;
    ASSERT_TRUE(EncodeTestStream(spec, stream));

    CDecodeHarness harness([](uint32_t id, const CTYXWorker::InputLinkMap *inputs,
                              const CTYXWorker::ConsumerLinkMap *consumers) {
        return std::make_shared<CFpgVDcdWorker>(id, inputs, consumers);
    });
    harness.Config().RVTP = 1;
    ASSERT_TRUE(harness.Configure(stream.params));
    ASSERT_TRUE(harness.Start());
    for (const stCodedPacket &packet : stream.packets)
        harness.Feed(packet);
    std::vector<FramePackage> decoded = harness.TakeAtLeast(static_cast<size_t>(spec.frames));
    ASSERT_EQ(decoded.size(), static_cast<size_t>(spec.frames));
    const stPicture first = ReadPicture(decoded.front());
    ASSERT_EQ(first.width, kOddWidth);
    ASSERT_EQ(first.height, kOddHeight);
    const auto length = static_cast<size_t>(I420Size(kOddWidth, kOddHeight));
    ASSERT_EQ(first.bytes.size(), length) << "decoded pictures round their chroma planes up";
    FreePackages(decoded);
    CFramePipeClient client;
    ASSERT_TRUE(PollUntil([&] { return client.Connect(m_folder.Path() + "/RVTP_VdcdTest"); }));

    // Every picture from here on is a default one, the status picture among them.
    harness.Feed(MakeStatusPackage(TYX_SRC_CLOSED, GetCurrentTimeUs()));
    stPicture status;
    ASSERT_TRUE(PollUntil([&] {
        std::vector<FramePackage> taken = harness.Take();
        for (const FramePackage &package : taken) {
            const stPicture picture = ReadPicture(package);
            EXPECT_EQ(picture.width, kOddWidth);
            EXPECT_EQ(picture.height, kOddHeight);
            EXPECT_EQ(picture.bytes.size(), length) << "a default picture in another layout";
            if (picture.bytes.size() == length && LitLuma(picture) > LitLuma(status))
                status = picture;
        }
        FreePackages(taken);
        return LitLuma(status) > 100;
    })) << "a status picture with its text";
    SaveI420AsPng("vdec_odd_status", status);
    // The background to the last sample of every plane, where the decoded layout has it.
    const auto u = static_cast<size_t>(I420UOffset(kOddWidth, kOddHeight));
    const auto v = static_cast<size_t>(I420VOffset(kOddWidth, kOddHeight));
    const std::pair<size_t, size_t> firstAndLast[] = {{0, u - 1}, {u, v - 1}, {v, length - 1}};
    for (const auto &[firstSample, lastSample] : firstAndLast)
        EXPECT_EQ(status.bytes[lastSample], status.bytes[firstSample]) << "byte " << lastSample;
    EXPECT_GT(status.bytes[u], 240) << "blue's U";
    EXPECT_NEAR(status.bytes[v], 107, 2) << "blue's V";

    // The pipe sends it as it is.
    stFrameMessage message;
    ASSERT_TRUE(PollUntil([&] { return client.ReadMessage(message, 60000) && message.data == status.bytes; }))
        << "the status picture on the pipe";
    EXPECT_EQ(message.width, kOddWidth);
    EXPECT_EQ(message.height, kOddHeight);
    client.Close();
    harness.Stop();
}
