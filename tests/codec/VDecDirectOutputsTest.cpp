// A decode worker whose only output is the frame pipe still decodes, and a real pipe client gets
// its pictures.

#include "codec/DecodeTestSupport.h"
#include "codec/FpgVDcdWorker.h"
#include "host/GlobalVars.h"
#include "output/FramePipeClient.h"
#include "output/OutputTestSupport.h"

#include "support/LeakCheck.h"

#include <gtest/gtest.h>

#include <map>

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
