#include "input/NetTestSupport.h"
#include "PushReceiver.h"
#include "WriterTestSupport.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "support/LeakCheck.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

// A push whose server was down gets a new address while it waits to try again: the push moves
// to the new RTMP server at once and starts there on a key frame, with its sound.

namespace {

constexpr int64_t kBase = 1700000000000000;

// Plays the clip into the writer's links in real time, again and again, as a live encoder would.
class CRealTimeFeeder
{
public:
    explicit CRealTimeFeeder(CWriterHarness &harness) : m_harness(harness)
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~CRealTimeFeeder()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    void Run()
    {
        constexpr int64_t kSliceUs = 40000;
        const int64_t clip = TestClip().ClipUs();
        for (int64_t position = 0; !m_stop; position += kSliceUs) {
            const int64_t from = position % clip;
            m_harness.Feed(kBase + position / clip * clip, from, std::min(from + kSliceUs, clip));
            std::this_thread::sleep_for(std::chrono::microseconds(kSliceUs));
        }
    }

    CWriterHarness &m_harness;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

class PushUrlChangeTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        CTYXGVMS::GeneralSettings().LiveBCWriter = L"PushWriter";
        ClearTYXEventQueue();
    }
    void TearDown() override
    {
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
        CLeakCheckedTest::TearDown();
    }
};

TEST_F(PushUrlChangeTest, ANewAddressDuringTheWaitAfterAFailedOpenIsPushedToAtOnce)
{
    CWriterHarness harness(TestClip(), true);
    const std::string down = "rtmp://127.0.0.1:" + std::to_string(FindFreeTcpPort()) + "/live/down";
    ASSERT_EQ(harness.Start(CWriterHarness::PushConfig(TYX_WRITER_RTMP, down, true)), 0);
    {
        CRealTimeFeeder feeder(harness);
        ASSERT_TRUE(WaitFor([&] { return harness.Worker().GetWorkingStep() == TYX_MW_STEP_REOPENING; }, 30000));
        CPushReceiver receiver;
        ASSERT_EQ(receiver.Start(CPushReceiver::EProtocol::Rtmp), 0);
        // The change alone ends the wait: a start command would end it by itself.
        ASSERT_EQ(harness.Worker().ChangeOutput(receiver.Url()), 0);
        // The wait after the failed open lasts 30 s; the new server gets pictures long before.
        ASSERT_TRUE(receiver.WaitForVideo(25, 20000)) << "the new address waited for the old one's retry";
        const std::vector<CPushReceiver::stSession> sessions = receiver.Sessions();
        ASSERT_FALSE(sessions.empty());
        EXPECT_TRUE(sessions.front().firstVideoKey);
        EXPECT_EQ(sessions.front().streams, 2);
        EXPECT_GT(sessions.front().audioPackets, 0);
    }
    harness.Stop();
}
