#include "WriterTestSupport.h"
#include "host/GlobalVars.h"
#include "support/LeakCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

// A push writer whose open failed waits before it tries again. A new destination or a start
// command ends that wait, and the output then starts on a fresh common key frame: nothing that
// queued during the wait is sent.

namespace {

constexpr int64_t kBase = 1700000000000000;
constexpr int64_t kStale = 1;  // marks (in readTime) of the packages fed before and after the change
constexpr int64_t kFresh = 2;

struct stWrittenPackage
{
    bool video = false;
    bool key = false;
    int64_t mark = 0;
};

// A push destination that records what it is given; its opens fail as the test says.
class CRecordingWriter : public CStreamWriter
{
public:
    int32_t Write_Frame(int16_t index, const FramePackage &package, AVRational) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto stream = m_streams.find(static_cast<uint8_t>(index));
        const bool video = stream != m_streams.end() && stream->second.mediaType == 0;
        m_written.push_back({video, (package.flags & TYX_PKT_FLAG_KEY) != 0, package.readTime});
        return 0;
    }
    int32_t Open(const std::string *destination, std::vector<stWriterStreamParams> *, int32_t) override
    {
        if (destination)
            SetDestination(*destination);
        if (failAlways || failNext > 0) {
            failNext = std::max(0, failNext - 1);
            return -111;
        }
        m_open = true;
        return 0;
    }
    void Close() override
    {
        m_opened = false;
        m_open = false;
        m_streams.clear();
    }
    int32_t addNewStream(stWriterStreamParams &params, int32_t) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto index = static_cast<int16_t>(m_streams.size());
        stOutputStream stream;
        stream.index = index;
        stream.mediaType = params.mediaType;
        m_streams[static_cast<uint8_t>(index)] = std::move(stream);
        params.index = index;
        return index;
    }
    int32_t PrepareForWriting(const stWriterMetadata *) override
    {
        m_opened = m_open;
        return 0;
    }
    int32_t GetWriterType() const override { return TYX_WRITER_RTMP; }

    std::vector<stWrittenPackage> Written()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_written;
    }
    size_t WrittenVideo(size_t from = 0)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(std::count_if(m_written.begin() + static_cast<std::ptrdiff_t>(std::min(from, m_written.size())),
                                                 m_written.end(), [](const stWrittenPackage &p) { return p.video; }));
    }

    std::atomic<bool> failAlways{false};
    std::atomic<int> failNext{0};

private:
    std::mutex m_mutex;
    std::vector<stWrittenPackage> m_written;
    bool m_open = false;
};

class WriterReopenWaitTest : public CLeakCheckedTest
{
protected:
    void SetUp() override
    {
        CLeakCheckedTest::SetUp();
        CTYXGVMS::ResetForTests();
        CTYXGVMS::GeneralSettings().LiveBCWriter = L"PushWriter";
        ClearTYXEventQueue();
        m_harness = std::make_unique<CWriterHarness>(TestClip(), true);
    }
    void TearDown() override
    {
        m_harness.reset();
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
        CLeakCheckedTest::TearDown();
    }
    CTYXMediaWriteWorker &Worker() { return m_harness->Worker(); }

    // Starts the push writer on the recording destination; the 30 s wait is not shortened.
    void Start()
    {
        m_config = CWriterHarness::PushConfig(TYX_WRITER_RTMP, "rtmp://127.0.0.1:1/live/old", true);
        ASSERT_EQ(Worker().CopyInConfiguration(&m_config), 0);
        auto writer = std::make_unique<CRecordingWriter>();
        m_writer = writer.get();
        Worker().SetStreamWriter(std::move(writer));
        ASSERT_GE(Worker().Initialize(0, -1), 0);
        Worker().StartWorkingThread(1, 0, 0);
        Worker().ResumeWorkingThread();
        Worker().StartDataPushing();
    }
    // Queues the clip's packets with dts in [fromUs, toUs) of its loop-th play, marked.
    void Feed(int64_t loop, int64_t fromUs, int64_t toUs, int64_t mark)
    {
        const int64_t base = kBase + loop * TestClip().ClipUs();
        std::vector<const stCodedPacket *> chosen;
        for (const auto *list : {&TestClip().Video(), &TestClip().Audio()})
            for (const stCodedPacket &packet : *list)
                if (packet.dts >= fromUs && packet.dts < toUs)
                    chosen.push_back(&packet);
        std::stable_sort(chosen.begin(), chosen.end(), [](const auto *a, const auto *b) { return a->dts < b->dts; });
        for (const stCodedPacket *packet : chosen) {
            FramePackage package = CTestEncoder::MakePackage(*packet, base);
            package.readTime = mark;
            m_harness->Queue(package, packet->video);
        }
    }
    // Feeds the clip again and again, as a live encoder would, until enough video was written.
    bool FeedUntilWritten(int64_t firstLoop, size_t videoWanted, size_t from = 0, int64_t startUs = 0)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        constexpr int64_t kSliceUs = 100000;
        for (int64_t position = startUs; std::chrono::steady_clock::now() < deadline; position += kSliceUs) {
            const int64_t at = position % TestClip().ClipUs();
            Feed(firstLoop + position / TestClip().ClipUs(), at, at + kSliceUs, kFresh);
            if (m_writer->WrittenVideo(from) >= videoWanted)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }
    // Fails the opens, waits until the writer waits to try again, and queues a stale stretch.
    void FailAndQueueStale()
    {
        m_writer->failAlways = true;
        Feed(0, 0, 1500000, kStale);
        ASSERT_TRUE(WaitFor([this] {
            return Worker().GetWorkingStep() == TYX_MW_STEP_REOPENING && Worker().LastRequestedWaitMs() == 30000u;
        }));
        Feed(0, 1500000, TestClip().ClipUs(), kStale);
    }
    void ExpectFreshStartOnAKeyFrame()
    {
        const std::vector<stWrittenPackage> written = m_writer->Written();
        const auto firstVideo = std::find_if(written.begin(), written.end(), [](const auto &p) { return p.video; });
        ASSERT_NE(firstVideo, written.end());
        EXPECT_TRUE(firstVideo->key);
        EXPECT_TRUE(std::any_of(written.begin(), written.end(), [](const auto &p) { return !p.video; }));
        for (const stWrittenPackage &package : written)
            ASSERT_EQ(package.mark, kFresh) << "a package queued during the wait was sent";
    }

    std::unique_ptr<CWriterHarness> m_harness;
    stMediaWriteWorkerConfig m_config;
    CRecordingWriter *m_writer = nullptr;
};

} // namespace

TEST_F(WriterReopenWaitTest, ANewDestinationEndsTheWaitAndStartsOnFreshPackages)
{
    Start();
    FailAndQueueStale();
    m_writer->failAlways = false;
    ASSERT_EQ(Worker().ChangeOutput("rtmp://127.0.0.1:2/live/new"), 0);
    ASSERT_TRUE(FeedUntilWritten(1, 20)) << "the new destination got nothing while the wait lasted";
    ExpectFreshStartOnAKeyFrame();
    EXPECT_EQ(Worker().GetDestination(), L"rtmp://127.0.0.1:2/live/new");
}

TEST_F(WriterReopenWaitTest, AStartCommandEndsTheWaitAndStartsOnFreshPackages)
{
    Start();
    FailAndQueueStale();
    m_writer->failAlways = false;
    Worker().StartDataPushing();
    ASSERT_TRUE(FeedUntilWritten(1, 20)) << "nothing was sent while the wait lasted";
    ExpectFreshStartOnAKeyFrame();
}

TEST_F(WriterReopenWaitTest, AChangeOfDestinationThatFailsStillRealignsOnAKeyFrame)
{
    Start();
    ASSERT_TRUE(FeedUntilWritten(0, 10));
    ASSERT_TRUE(m_harness->WaitDrained(20000));
    const size_t before = m_writer->Written().size();
    m_writer->failNext = 1;
    EXPECT_LT(Worker().ChangeOutput("rtmp://127.0.0.1:2/live/new"), 0);
    // The next open succeeds; what comes first is no key frame (the clip has one a second).
    ASSERT_TRUE(FeedUntilWritten(100, 5, before, 500000));
    const std::vector<stWrittenPackage> written = m_writer->Written();
    const auto firstVideo = std::find_if(written.begin() + static_cast<std::ptrdiff_t>(before), written.end(),
                                         [](const auto &p) { return p.video; });
    ASSERT_NE(firstVideo, written.end());
    EXPECT_TRUE(firstVideo->key) << "the next output started on a picture that needs an earlier one";
}
