#include "input/MFRdrWorker.h"

#include "ReadWorkerRun.h"
#include "ReadWorkerTestSupport.h"

#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "host/TYXEvent.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>

namespace {

constexpr uint32_t kWorker = 0x01010000;
constexpr uint32_t kVideoOut = kWorker + 1;
constexpr uint32_t kAudioOut = kWorker + 2;
// A stamp is its time on the clock to the µs below: a package of 1024 samples at 48 kHz is due a
// µs after it now and then.
constexpr int64_t kStampRoundingUs = 1;

// Files made once for the whole suite.
struct stFileMedia
{
    CTestMediaSet set;
    stTestMediaInfo avInfo, bframesInfo, bframesMp4Info, oneSecondAvInfo;
    std::filesystem::path av = set.Add("av.mp4", {.seconds = 2.0}, &avInfo);
    std::filesystem::path videoOnly = set.Add("video.mp4", {.seconds = 2.0, .audio = false});
    // mpeg4, 25 fps, a key frame every 12 pictures.
    std::filesystem::path gop12 = set.Add(
        "gop12.mp4", {.seconds = 3.0, .videoCodec = "mpeg4", .width = 64, .height = 64, .gop = 12, .audio = false});
    std::filesystem::path oneSecond = set.Add(
        "one.mp4", {.seconds = 1.0, .videoCodec = "mpeg4", .width = 64, .height = 64, .gop = 12, .audio = false});
    std::filesystem::path bframes =
        set.Add("bframes.mkv", {.container = "matroska", .seconds = 2.0, .bFrames = 2}, &bframesInfo);
    // H.264 with B-frames, a key frame every second.
    std::filesystem::path bframesMp4 = set.Add("bframes.mp4", {.seconds = 3.0, .gop = 25, .bFrames = 2}, &bframesMp4Info);
    std::filesystem::path oneSecondAv = set.Add("one-av.mp4", {.seconds = 1.0}, &oneSecondAvInfo);
    std::filesystem::path audioOnly = set.Add("audio.mp4", {.seconds = 1.0, .video = false});
    // H.264 with B-frames (decoded two pictures before they are shown) and sound.
    std::filesystem::path bframesAv = set.Add("bframes-av.mp4", {.seconds = 1.0, .gop = 25, .bFrames = 2});
    // The sound of one.mp4 moved 200 ms after its picture.
    std::filesystem::path lateAudio = ShiftedCopy(oneSecondAv, set.Dir().File("late-audio.mp4"), 1, 200000);
    // Stored as cameras and broadcasters store them: a second of pictures, then its second of
    // sound; and the sound 0.8 s ahead of the pictures.
    std::filesystem::path chunked =
        set.Add("chunked.mp4", {.seconds = 8.0, .width = 160, .height = 120, .muxerOptions = {{"chunk_duration", "1000000"}}});
    std::filesystem::path soundAhead = set.Add(
        "sound-ahead.ts",
        {.container = "mpegts", .seconds = 8.0, .width = 160, .height = 120, .muxerOptions = {{"audio_preload", "800000"}}});
    // mpeg4, 25 fps, a key frame every 2 s.
    std::filesystem::path longGop = set.Add(
        "long-gop.mp4", {.seconds = 4.0, .videoCodec = "mpeg4", .width = 64, .height = 64, .gop = 50, .audio = false});

    static std::filesystem::path ShiftedCopy(const std::filesystem::path &from, const std::filesystem::path &to, int mediaType,
                                             int64_t shiftUs)
    {
        EXPECT_EQ(0, WriteShiftedCopy(from, to, mediaType, shiftUs)) << to;
        return to;
    }
};

const stFileMedia &Files()
{
    static const stFileMedia files;
    return files;
}

// The source's time stamps of one media type in µs, in the order the file gives them.
struct stRawStamps
{
    std::vector<int64_t> pts, dts;
};
stRawStamps RawStamps(const std::filesystem::path &file, int mediaType)
{
    stRawStamps raw;
    for (const stTestPacket &p : ReadTestMediaPackets(file)) {
        if (p.mediaType == mediaType) {
            raw.pts.push_back(p.ptsUs);
            raw.dts.push_back(p.dtsUs);
        }
    }
    return raw;
}

// How far (µs) a package comes out of the file ahead of the latest package of the other media
// type read before it, at most.
int64_t StorageLeadUs(const std::filesystem::path &file)
{
    int64_t latest[2] = {INT64_MIN, INT64_MIN};
    int64_t lead = 0;
    for (const stTestPacket &p : ReadTestMediaPackets(file)) {
        if (p.mediaType < 0 || p.dtsUs == INT64_MIN)
            continue;
        latest[p.mediaType] = std::max(latest[p.mediaType], p.dtsUs);
        if (latest[1 - p.mediaType] != INT64_MIN)
            lead = std::max(lead, p.dtsUs - latest[1 - p.mediaType]);
    }
    return lead;
}

// Stamped pts less the source's pts, in µs, of the last package of a play that went to the end of
// the file: the program-clock time of the stream's media time 0.
int64_t ClockOfMediaZero(const std::vector<stSeenPackage> &seen, const std::vector<int64_t> &rawPtsUs)
{
    return seen.back().pts - rawPtsUs.back();
}

// What a file worker sent of every cycle of a repeated play, both streams in the order the file
// gives them: each package's stamp less its time in the file, per cycle (µs). A later cycle, cycleUs
// after the one before, leaves out what would not come after the end of that one.
struct stCycleOffsets
{
    std::vector<std::vector<int64_t>> video, audio;
};
stCycleOffsets CycleOffsets(const std::filesystem::path &file, const std::vector<stSeenPackage> &video,
                            const std::vector<stSeenPackage> &audio, int64_t cycleUs)
{
    stCycleOffsets offsets;
    const stRawStamps rawVideo = RawStamps(file, 0);
    const stRawStamps rawAudio = RawStamps(file, 1);
    const auto split = [cycleUs](const std::vector<stSeenPackage> &seen, const stRawStamps &raw,
                                 std::vector<std::vector<int64_t>> &cycles) {
        size_t overlap = 0;
        while (overlap < raw.dts.size() && raw.dts[overlap] + cycleUs <= raw.dts.back())
            ++overlap;
        for (size_t i = 0, j = 0; i < seen.size(); ++i, ++j) {
            if (i == 0 || j == raw.pts.size()) {
                cycles.emplace_back();
                j = i == 0 ? 0 : overlap;
            }
            cycles.back().push_back(seen[i].pts - raw.pts[j]);
        }
    };
    split(video, rawVideo, offsets.video);
    split(audio, rawAudio, offsets.audio);
    return offsets;
}

// A file worker on the fake clock: every pacing wait moves the clock instead of sleeping, by what
// was asked and, like a real timer, a little more; the wait hook, when given, runs after that. What
// the worker hands over is noted with the time it went (the clock moves only in those waits).
struct stPacedFileWorker
{
    stFakeClock clock;
    CTestConsumers consumers;
    CHandOverLog handOvers{consumers};
    std::shared_ptr<CMediaFileReadWorker> worker;

    explicit stPacedFileWorker(bool audio, uint32_t id = kWorker, int64_t lateWakeUs = 0,
                               std::function<void()> afterWait = {})
    {
        consumers.Add(id + 1, TYX_PKT_KIND_CODED_VIDEO);
        if (audio)
            consumers.Add(id + 2, TYX_PKT_KIND_CODED_AUDIO);
        worker = std::make_shared<CMediaFileReadWorker>(id, &consumers.Links());
        worker->SetClockSources([this] { return clock.Now(); }, [this] { return clock.Tick(); });
        worker->SetPacingSleep([this, lateWakeUs, afterWait](int64_t us) {
            Collect();
            clock.Advance(us + lateWakeUs);
            if (afterWait)
                afterWait();
            return false;
        });
    }
    // Runs the play to its end (the thread ends by itself); the thread's exit code.
    int32_t Play(const stMediaSourceReadWorkerConfig &config)
    {
        if (StartReadWorker(*worker, config) < 0)
            return -1000;
        return Finish();
    }
    int32_t Finish()
    {
        WaitUntil([this] { return worker->GetWorkingStep() == 31; }, 30000);
        // The stream threads may still hold the last packages.
        WaitUntil([this] { return worker->PendingStreamPackages() == 0; }, 10000);
        const int32_t code = StopReadWorker(*worker);
        Collect();
        return code;
    }
    // Notes what was handed over since the last time, as handed over now.
    void Collect() { handOvers.Collect(*worker, clock.Now()); }
    // Everything an output got, each with the time it was handed over.
    std::vector<stSeenPackage> Take(uint32_t output) { return handOvers.Of(output); }
};

} // namespace

class FileReadWorkerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        ClearTYXEventQueue();
    }
    void TearDown() override { ClearTYXEventQueue(); }
};

TEST_F(FileReadWorkerTest, PlaysAFileOnceWithEveryPacketInOrder)
{
    stPacedFileWorker run(true);
    const auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, Files().av.wstring(), true);
    const int32_t handed = run.Play(config);
    EXPECT_EQ(Files().avInfo.videoPackets + Files().avInfo.audioPackets, handed);

    const auto videoAll = run.Take(kVideoOut);
    const auto video = DataOnly(videoAll);
    ASSERT_EQ(static_cast<size_t>(Files().avInfo.videoPackets), video.size());
    EXPECT_EQ(1, CountStatus(videoAll, TYX_SRC_CLOSED));
    // Nothing follows the closed status: the stream threads had sent everything before it.
    EXPECT_EQ(TYX_SRC_CLOSED, videoAll.back().length);
    EXPECT_TRUE(video.front().key());
    int keys = 0;
    for (size_t i = 0; i < video.size(); ++i) {
        keys += video[i].key() ? 1 : 0;
        EXPECT_EQ(TYX_PKT_KIND_CODED_VIDEO, video[i].kind);
        EXPECT_TRUE(video[i].annexB);
        // Stamped on the program clock from the first hand-over, in µs.
        EXPECT_EQ(video.front().pts + int64_t(i) * 40000, video[i].pts) << i;
        EXPECT_EQ(40000, video[i].duration);
    }
    EXPECT_EQ(2, keys);

    const auto audioAll = run.Take(kAudioOut);
    EXPECT_EQ(TYX_SRC_CLOSED, audioAll.back().length);
    const auto audio = DataOnly(audioAll);
    ASSERT_EQ(static_cast<size_t>(Files().avInfo.audioPackets), audio.size());
    for (const stSeenPackage &p : audio)
        EXPECT_EQ(TYX_PKT_KIND_CODED_AUDIO, p.kind);

    const auto counts = run.worker->GetStreamStatisticsA(0);
    ASSERT_EQ(2u, counts.size());
    EXPECT_EQ(Files().avInfo.videoPackets, counts.at(1).packetsSent);
    EXPECT_EQ(Files().avInfo.audioPackets, counts.at(2).packetsRead);
    EXPECT_EQ(int64_t(Files().avInfo.audioPackets) * 1024, counts.at(2).unitsSent);

    // The output parameters are published in µs.
    const auto params = run.worker->GetOutputParametersMap();
    ASSERT_TRUE(params.has_value());
    EXPECT_EQ(1000000, params->at(kVideoOut).timeBase.den);
    EXPECT_FLOAT_EQ(25.0f, params->at(kVideoOut).frameRate);

    std::vector<stTYXEvent> events;
    for (stTYXEvent event; PopTYXEvent(event);)
        events.push_back(event);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(TYX_EVENT_SOURCE_CLOSED, events.back().type);
    EXPECT_EQ(Files().av.string(), WStringToString(events.back().attributes.at("InputPath").wtext));
}

TEST_F(FileReadWorkerTest, AFilePlaysAtItsOwnSpeedOnTheProgramClock)
{
    // Every wake-up half a millisecond late: the waits go by an absolute schedule, so the
    // lateness never adds up.
    stPacedFileWorker run(false, kWorker, 500);
    run.Play(MakeSourceConfig(kWorker, TYX_MS_FILE, Files().videoOnly.wstring(), false));
    const auto video = DataOnly(run.Take(kVideoOut));
    ASSERT_EQ(50u, video.size());
    // Each package is handed over when the time its stamp gives has come, neither before nor later.
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_GE(video[i].handedAt, video[i].dts) << i;
        EXPECT_LE(video[i].handedAt, video[i].dts + 500) << i;
    }
    EXPECT_EQ(video.front().pts + 49 * 40000, video.back().pts);
}

TEST_F(FileReadWorkerTest, EveryStreamOfAFileIsHandedOverAtItsTimeOnTheProgramClock)
{
    stPacedFileWorker run(true, kWorker, 500); // every wake-up half a millisecond late
    run.Play(MakeSourceConfig(kWorker, TYX_MS_FILE, Files().av.wstring(), true));
    const auto video = DataOnly(run.Take(kVideoOut));
    const auto audio = DataOnly(run.Take(kAudioOut));
    ASSERT_FALSE(video.empty());
    ASSERT_FALSE(audio.empty());
    // A package is read before its time and handed over at it: picture and sound alike keep to the
    // one clock.
    for (const auto *stream : {&video, &audio}) {
        for (size_t i = 0; i < stream->size(); ++i) {
            EXPECT_LE((*stream)[i].readTime, (*stream)[i].handedAt) << i;
            EXPECT_GE((*stream)[i].handedAt, (*stream)[i].dts) << i;
            EXPECT_LE((*stream)[i].handedAt, (*stream)[i].dts + 500 + kStampRoundingUs) << i;
        }
    }
    // The whole file takes its own length, less the last package or two.
    const int64_t first = std::min(video.front().handedAt, audio.front().handedAt);
    const int64_t last = std::max(video.back().handedAt, audio.back().handedAt);
    const stRawStamps rawVideo = RawStamps(Files().av, 0);
    const stRawStamps rawAudio = RawStamps(Files().av, 1);
    const int64_t span = std::max(rawVideo.dts.back(), rawAudio.dts.back()) - std::min(rawVideo.dts.front(), rawAudio.dts.front());
    EXPECT_LE(last - first, span + 1000);
    EXPECT_GE(last - first, span - 2 * 40000);
}

TEST_F(FileReadWorkerTest, TheLeadInOfPlayFromGoesFastAndThePlayThenKeepsToTheClock)
{
    stPacedFileWorker run(false);
    auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, Files().gop12.wstring(), false);
    config.PlayFrom = 1.4f; // the key frame at 0.96 s, so eleven pictures before the start
    run.Play(config);
    const auto video = DataOnly(run.Take(kVideoOut));
    ASSERT_EQ(75u - 24u, video.size());
    for (size_t i = 0; i < video.size(); ++i)
        ASSERT_EQ(i < 11, (video[i].flags & TYX_PKT_FLAG_DISCARD) != 0) << i;
    // The lead-in, decoded but not shown, at twenty times the pace of its 40 ms, and the first
    // picture shown right after it: handed over one such step after the last of the lead-in.
    for (size_t i = 1; i < 12; ++i)
        EXPECT_EQ(2000, video[i].handedAt - video[i - 1].handedAt) << i;
    // From the start position on, every picture is handed over at the time its stamp gives: the
    // stamps stay on the clock.
    for (size_t i = 11; i < video.size(); ++i)
        EXPECT_EQ(video[i].pts, video[i].handedAt) << i;
}

TEST_F(FileReadWorkerTest, ARepeatedPlayFromShowsItsPicturesWithoutAPauseForTheLeadIn)
{
    stPacedFileWorker run(false);
    auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, Files().longGop.wstring(), false);
    config.PlayFrom = 3.4f; // the key frame at 2 s: 1.4 s of lead-in, then 0.6 s shown
    config.Repeat = 1;
    config.ShowTime = 3.0f;
    run.Play(config);
    const auto video = DataOnly(run.Take(kVideoOut));
    // The pictures shown, each with the time it was handed over.
    std::vector<stSeenPackage> shown;
    std::vector<int64_t> handedOver;
    for (size_t i = 0; i < video.size(); ++i) {
        if (video[i].flags & TYX_PKT_FLAG_DISCARD)
            continue;
        shown.push_back(video[i]);
        handedOver.push_back(video[i].handedAt);
    }
    ASSERT_GE(shown.size(), 2u);
    // Each cycle takes the 0.6 s it shows and the lead-in's quick pass, not the lead-in's length.
    EXPECT_GE(run.worker->CycleCount(), 3);
    constexpr int64_t kLeadInPassUs = 1400000 / 20;
    EXPECT_LE(handedOver[0] - video[0].handedAt, kLeadInPassUs + 2000);
    for (size_t i = 1; i < shown.size(); ++i) {
        // One picture after the other in the stamps, over every repeat too,
        EXPECT_EQ(shown[i - 1].pts + 40000, shown[i].pts) << i;
        // and on the clock, with at most the lead-in's quick pass between two of them; none is
        // handed over before its time.
        EXPECT_LE(handedOver[i] - handedOver[i - 1], 40000 + kLeadInPassUs) << i;
        EXPECT_GE(handedOver[i], shown[i].pts) << i;
    }
}

TEST_F(FileReadWorkerTest, AFileWhoseStreamsAreStoredApartPlaysAtItsOwnSpeedWithoutStampJumps)
{
    for (const auto *file : {&Files().chunked, &Files().soundAhead}) {
        SCOPED_TRACE(file->filename().string());
        // The file really comes out of the demuxer with one stream most of a second ahead.
        const int64_t lead = StorageLeadUs(*file);
        ASSERT_GE(lead, 500000);
        stPacedFileWorker run(true, kWorker, 500); // every wake-up half a millisecond late
        run.Play(MakeSourceConfig(kWorker, TYX_MS_FILE, file->wstring(), true));
        const auto video = DataOnly(run.Take(kVideoOut));
        const auto audio = DataOnly(run.Take(kAudioOut));
        const stRawStamps rawVideo = RawStamps(*file, 0);
        const stRawStamps rawAudio = RawStamps(*file, 1);
        ASSERT_EQ(rawVideo.pts.size(), video.size());
        ASSERT_EQ(rawAudio.pts.size(), audio.size());
        // Every package keeps its distance in the file from the first of its stream (no jumps),
        // and picture and sound keep theirs.
        for (size_t i = 0; i < video.size(); ++i)
            EXPECT_NEAR(double(rawVideo.pts[i] - rawVideo.pts[0]), double(video[i].pts - video[0].pts), 2.0) << i;
        for (size_t i = 0; i < audio.size(); ++i)
            EXPECT_NEAR(double(rawAudio.pts[i] - rawAudio.pts[0]), double(audio[i].pts - audio[0].pts), 2.0) << i;
        EXPECT_NEAR(double(video[0].pts - rawVideo.pts[0]), double(audio[0].pts - rawAudio.pts[0]), 2.0);
        // Every package is handed over at its time, the stream stored behind as well: read ahead of
        // it, never handed over before it, nor later than a timer's wake-up after it.
        for (const auto *stream : {&video, &audio}) {
            for (size_t i = 0; i < stream->size(); ++i) {
                EXPECT_LE((*stream)[i].readTime, (*stream)[i].handedAt) << i;
                EXPECT_GE((*stream)[i].handedAt, (*stream)[i].dts) << i;
                EXPECT_LE((*stream)[i].handedAt, (*stream)[i].dts + 500 + kStampRoundingUs) << i;
            }
        }
        // The whole file takes its own length on the clock, at 1.0x.
        const int64_t first = std::min(video.front().handedAt, audio.front().handedAt);
        const int64_t last = std::max(video.back().handedAt, audio.back().handedAt);
        const int64_t span = std::max(rawVideo.dts.back(), rawAudio.dts.back()) - std::min(rawVideo.dts.front(), rawAudio.dts.front());
        EXPECT_LE(last - first, span + 1000);
        EXPECT_GE(last - first, span);
    }
}

// The same files on Repeat: a picture stored a second behind its sound (or the sound stored ahead)
// still goes at its time at the start of every loop and at its second chunk, where the stream
// stored first leads by most. Handed over late, such a picture reached a mux behind its stamp by up
// to a chunk, after the loop's first second had come in time: the mux let its lag shrink over that
// second and then showed the loop's first flash a picture late.
TEST_F(FileReadWorkerTest, AFileStoredApartHandsEveryPackageOverAtItsTimeInEveryLoop)
{
    for (const auto *file : {&Files().chunked, &Files().soundAhead}) {
        SCOPED_TRACE(file->filename().string());
        stPacedFileWorker run(true, kWorker, 500); // every wake-up half a millisecond late
        auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, file->wstring(), true);
        config.Repeat = 1;
        config.ShowTime = 20.0f;
        run.Play(config);
        ASSERT_EQ(2, run.worker->CycleCount());
        const auto video = DataOnly(run.Take(kVideoOut));
        const auto audio = DataOnly(run.Take(kAudioOut));
        ASSERT_EQ(3 * RawStamps(*file, 0).pts.size(), video.size());
        ASSERT_GE(audio.size(), 2 * RawStamps(*file, 1).pts.size());
        for (const auto *stream : {&video, &audio}) {
            const char *name = stream == &video ? "picture " : "sound ";
            for (size_t i = 0; i < stream->size(); ++i) {
                const stSeenPackage &package = (*stream)[i];
                EXPECT_GE(package.handedAt, package.dts) << name << i;
                EXPECT_LE(package.handedAt, package.dts + 500 + kStampRoundingUs)
                    << name << i << " at " << package.dts - video.front().dts << " us of the play";
            }
        }
    }
}

TEST_F(FileReadWorkerTest, AfterPushingWasStoppedTheStampsGoOnFromTheClock)
{
    std::shared_ptr<CMediaFileReadWorker> worker;
    int waits = 0;
    // Pushing stops after twenty pictures (on the reading thread, so at a known package), once the
    // stream thread has sent them.
    stPacedFileWorker run(false, kWorker, 0, [&worker, &waits] {
        if (++waits != 20)
            return;
        EXPECT_TRUE(WaitUntil([&worker] { return worker->PendingStreamPackages() == 0; }, 10000));
        worker->StopDataPushing();
    });
    worker = run.worker;
    ASSERT_EQ(0, StartReadWorker(*worker, MakeSourceConfig(kWorker, TYX_MS_FILE, Files().videoOnly.wstring(), false)));
    ASSERT_TRUE(WaitUntil([&] { return worker->GetWorkingStep() == 27; }, 10000));
    ASSERT_TRUE(WaitUntil([&] { return worker->PendingStreamPackages() == 0; }, 10000));
    run.Collect();
    run.clock.Advance(5000000);
    const int64_t resumed = run.clock.Now();
    ASSERT_EQ(0, worker->StartDataPushing());
    run.Finish();
    const auto video = DataOnly(run.Take(kVideoOut));
    ASSERT_GE(video.size(), 40u);
    size_t after = 0;
    for (size_t i = 0; i < video.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(video[i].dts, video[i - 1].dts) << i;
        }
        if (video[i].handedAt < resumed)
            continue;
        // Handed over at the time of its stamp: not five seconds in the past.
        ++after;
        EXPECT_GE(video[i].handedAt, video[i].dts) << i;
        EXPECT_LE(video[i].handedAt, video[i].dts + 1000) << i;
    }
    EXPECT_GE(after, 25u);
}

TEST_F(FileReadWorkerTest, PlayFromStartsAtTheKeyFrameShownAtOrBeforeItAndMarksTheLeadIn)
{
    struct stCase
    {
        const std::filesystem::path *file;
        size_t expected;  // packages handed over
        size_t leadIn;    // of them, the first ones decoded but not shown
        int64_t step;     // pts from the first to the second, when they are shown in turn
    };
    const stCase cases[] = {
        // mpeg4, a key frame every 12 pictures: the key frame at 0.96 s, then everything from 1.00 s.
        {&Files().gop12, 75u - 24u, 1, 40000},
        // H.264 with B-frames: the key frame shown at 1.0 s is decoded before two pictures shown
        // earlier; a demuxer that seeks by pts must not start a group of pictures early.
        {&Files().bframesMp4, static_cast<size_t>(Files().bframesMp4Info.videoPackets - 25), 0, 0},
    };
    for (const stCase &c : cases) {
        stPacedFileWorker run(false);
        auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, c.file->wstring(), false);
        config.PlayFrom = 1.0f;
        run.Play(config);
        const auto video = DataOnly(run.Take(kVideoOut));
        ASSERT_EQ(c.expected, video.size()) << c.file->filename();
        EXPECT_TRUE(video[0].key());
        for (size_t i = 0; i < video.size(); ++i)
            EXPECT_EQ(i < c.leadIn, (video[i].flags & TYX_PKT_FLAG_DISCARD) != 0) << c.file->filename() << " " << i;
        if (c.step > 0) {
            EXPECT_EQ(video[0].pts + c.step, video[1].pts);
        }
    }
}

TEST_F(FileReadWorkerTest, AudioAndVideoShareOneClockFromPlayFrom)
{
    stPacedFileWorker run(true);
    auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, Files().av.wstring(), true);
    config.PlayFrom = 1.5f;
    run.Play(config);
    const auto video = DataOnly(run.Take(kVideoOut));
    const auto audio = DataOnly(run.Take(kAudioOut));
    ASSERT_FALSE(video.empty());
    ASSERT_FALSE(audio.empty());
    // Media time 0 of either stream falls on the same program-clock time (within a tick).
    EXPECT_NEAR(double(ClockOfMediaZero(video, RawStamps(Files().av, 0).pts)),
                double(ClockOfMediaZero(audio, RawStamps(Files().av, 1).pts)), 1000.0);
}

TEST_F(FileReadWorkerTest, AudioAndVideoStayTogetherOverRepeatedCycles)
{
    stPacedFileWorker run(true);
    auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, Files().oneSecondAv.wstring(), true);
    config.Repeat = 1;
    config.ShowTime = 2.5f;
    run.Play(config);
    const auto video = DataOnly(run.Take(kVideoOut));
    const auto audio = DataOnly(run.Take(kAudioOut));
    const size_t videoPerCycle = static_cast<size_t>(Files().oneSecondAvInfo.videoPackets);
    const size_t audioPerCycle = static_cast<size_t>(Files().oneSecondAvInfo.audioPackets);
    const size_t cycles = size_t(run.worker->CycleCount()) + 1;
    ASSERT_GE(cycles, 3u);
    ASSERT_EQ(cycles * videoPerCycle, video.size());
    // Every later cycle leaves out the sound's priming, stamped before the first picture, which
    // would come before the end of the cycle before.
    ASSERT_EQ(cycles * audioPerCycle - (cycles - 1), audio.size());
    const stRawStamps rawVideo = RawStamps(Files().oneSecondAv, 0);
    const stRawStamps rawAudio = RawStamps(Files().oneSecondAv, 1);
    int64_t previous = 0;
    for (size_t cycle = 0; cycle < cycles; ++cycle) {
        const int64_t videoZero = video[cycle * videoPerCycle].pts - rawVideo.pts.front();
        const size_t firstAudio = cycle == 0 ? 0 : audioPerCycle + (cycle - 1) * (audioPerCycle - 1);
        const int64_t audioZero = audio[firstAudio].pts - rawAudio.pts[cycle == 0 ? 0 : 1];
        EXPECT_NEAR(double(videoZero), double(audioZero), 1000.0) << "cycle " << cycle;
        EXPECT_GT(videoZero, previous) << "cycle " << cycle;
        previous = videoZero;
    }
    for (const auto *stream : {&video, &audio}) {
        for (size_t i = 1; i < stream->size(); ++i)
            EXPECT_GT((*stream)[i].dts, (*stream)[i - 1].dts) << i;
    }
}

TEST_F(FileReadWorkerTest, PictureAndSoundOfOneMomentOfTheFileKeepOneStampInEveryCycle)
{
    const std::filesystem::path *cases[] = {
        &Files().oneSecondAv,
        // Pictures decoded before they are shown: their decode order adds nothing to the length.
        &Files().bframesAv,
        // The sound 200 ms after the picture keeps that distance, in every cycle.
        &Files().lateAudio,
    };
    for (const std::filesystem::path *file : cases) {
        SCOPED_TRACE(file->filename().string());
        stPacedFileWorker run(true);
        auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, file->wstring(), true);
        config.Repeat = 1;
        config.ShowTime = 2.5f;
        run.Play(config);
        const auto video = DataOnly(run.Take(kVideoOut));
        const auto audio = DataOnly(run.Take(kAudioOut));
        const size_t cycles = size_t(run.worker->CycleCount()) + 1;
        ASSERT_GE(cycles, 3u);
        // Each cycle moves the file on by the span of its pictures (25 of them), however far its
        // sound reaches before or after them.
        const int64_t cycleUs = StreamLengthUs(*file, 0);
        ASSERT_EQ(1000000, cycleUs);
        const stCycleOffsets offsets = CycleOffsets(*file, video, audio, cycleUs);
        ASSERT_EQ(cycles, offsets.video.size());
        ASSERT_EQ(cycles, offsets.audio.size());
        // Within the rounding of a stamp to the microsecond.
        constexpr double kRounding = 1.0;
        const int64_t origin = offsets.video[0][0];
        for (size_t cycle = 0; cycle < cycles; ++cycle) {
            const double expected = double(origin + int64_t(cycle) * cycleUs);
            for (const int64_t offset : offsets.video[cycle])
                EXPECT_NEAR(expected, double(offset), kRounding) << "video, cycle " << cycle;
            for (const int64_t offset : offsets.audio[cycle])
                EXPECT_NEAR(expected, double(offset), kRounding) << "audio, cycle " << cycle;
        }
        for (const auto *stream : {&video, &audio}) {
            for (size_t i = 1; i < stream->size(); ++i)
                EXPECT_GT((*stream)[i].dts, (*stream)[i - 1].dts) << i;
        }
    }
}

TEST_F(FileReadWorkerTest, AConfiguredStreamNeverCarriesAStreamOfTheOtherMediaType)
{
    struct stCase
    {
        const std::filesystem::path *file;
        int32_t configuredType; // the only configured stream, number 1
    };
    const stCase cases[] = {{&Files().audioOnly, TYX_MEDIA_VIDEO}, {&Files().videoOnly, TYX_MEDIA_AUDIO}};
    for (const stCase &c : cases) {
        ClearTYXEventQueue();
        CLogCapture log;
        stPacedFileWorker run(false);
        auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, c.file->wstring(), true);
        config.Streams[1] = config.Streams[c.configuredType == TYX_MEDIA_VIDEO ? 1 : 2];
        config.Streams[1].StreamId = int32_t(kVideoOut);
        config.Streams.erase(2);
        config.BuildIOItems();
        run.Play(config);
        const auto all = run.Take(kVideoOut);
        EXPECT_TRUE(DataOnly(all).empty()) << c.file->filename();
        EXPECT_TRUE(log.Contains(L"MultiStrmMediaReadWorker[Source1:1010000]Configured stream[1] not found in the media source.", 3))
            << c.file->filename();
    }
}

// A configured sound track that the file lacks carries nothing: the end of the play goes to the
// picture's consumers only, and a writer of the sound is not handed a status as its first package.
TEST_F(FileReadWorkerTest, TheEndOfThePlayReachesOnlyTheStreamsTheFileHas)
{
    CLogCapture log;
    stPacedFileWorker run(true);
    run.Play(MakeSourceConfig(kWorker, TYX_MS_FILE, Files().videoOnly.wstring(), true));
    EXPECT_TRUE(log.Contains(L"MultiStrmMediaReadWorker[Source1:1010000]Configured stream[2] not found in the media source.", 3));
    const auto video = run.Take(kVideoOut);
    EXPECT_FALSE(DataOnly(video).empty());
    EXPECT_EQ(1, CountStatus(video, TYX_SRC_CLOSED));
    EXPECT_TRUE(run.Take(kAudioOut).empty()) << "nothing on the stream the file lacks";
}

TEST_F(FileReadWorkerTest, PlayToFinishesThePlayAtTheEndPositionAndRepeatNeedsAShowTime)
{
    stPacedFileWorker run(false);
    auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, Files().gop12.wstring(), false);
    config.PlayTo = 1.5f;
    config.Repeat = 1; // without a show time: one cycle
    run.Play(config);
    const auto all = run.Take(kVideoOut);
    const auto video = DataOnly(all);
    // From the start of the file up to the end position (1.52 s, the later of 1.48 and 1.52).
    ASSERT_EQ(38u, video.size());
    EXPECT_TRUE(video.front().key());
    EXPECT_EQ(1, CountStatus(all, TYX_SRC_CLOSED));
    EXPECT_EQ(0, run.worker->CycleCount());
}

TEST_F(FileReadWorkerTest, RepeatPlaysCyclesUntilTheShowTimeWithRisingStamps)
{
    stPacedFileWorker run(false);
    auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, Files().oneSecond.wstring(), false);
    config.Repeat = 1;
    config.ShowTime = 2.5f;
    run.Play(config);
    const auto all = run.Take(kVideoOut);
    const auto video = DataOnly(all);
    // Each cycle takes its second on the clock: the third one ends past 2.5 s.
    EXPECT_EQ(2, run.worker->CycleCount());
    ASSERT_EQ(75u, video.size());
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video.front().pts + int64_t(i) * 40000, video[i].pts) << i;
        // Every cycle starts with its key frame; the others follow every 12 pictures.
        EXPECT_EQ((i % 25) % 12 == 0, video[i].key()) << i;
    }
    EXPECT_EQ(1, CountStatus(all, TYX_SRC_CLOSED));
}

namespace {

// The sound of a clip played for some loops of loopUs each moves on with the loops. What of a loop's
// sound would come before the end of the loop before it is left out, and only that: the priming
// packet stamped before the first picture.
void CheckSoundOfLoops(const std::vector<stSeenPackage> &audio, size_t perLoop, size_t loops, int64_t loopUs)
{
    ASSERT_GE(audio.size(), perLoop);
    size_t next = perLoop;
    for (size_t loop = 1; loop < loops; ++loop) {
        const int64_t previous = audio[next - 1].dts;
        for (size_t j = 0; j < perLoop; ++j) {
            const int64_t moved = audio[j].dts + int64_t(loop) * loopUs;
            if (moved <= previous)
                continue;
            ASSERT_LT(next, audio.size()) << "loop " << loop;
            EXPECT_EQ(moved, audio[next].dts) << "loop " << loop << ", packet " << j;
            EXPECT_EQ(audio[j].pts + int64_t(loop) * loopUs, audio[next].pts) << "loop " << loop << ", packet " << j;
            ++next;
        }
    }
    EXPECT_EQ(audio.size(), next);
    EXPECT_GE(audio.size(), perLoop + (loops - 1) * (perLoop - 1));
}

// Plays a clip of whole pictures (pictureUs each) on Repeat for three loops or more and checks that it goes
// on from its last picture to its first as if the pictures went on. The picture's configured output
// rate, when given, is what the stream is handled at downstream.
void CheckLoopsOfAClip(const std::filesystem::path &clip, const stTestMediaInfo &info, double pictureUs, bool sound,
                       float outputRate = 0.0f)
{
    stPacedFileWorker run(sound);
    auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, clip.wstring(), sound);
    config.Streams[1].OutputFramerate = outputRate;
    config.Repeat = 1;
    config.ShowTime = 2.5f;
    run.Play(config);
    const auto video = DataOnly(run.Take(kVideoOut));
    const size_t loops = size_t(run.worker->CycleCount()) + 1;
    ASSERT_GE(loops, 3u);
    // Every picture of every loop, none twice.
    const size_t pictures = size_t(info.videoPackets);
    ASSERT_EQ(loops * pictures, video.size());
    // Each loop moves every stamp on by the pictures' span, to the microsecond: the clips last a
    // whole number of µs (1 s, 1.001 s at the television rates).
    const int64_t loopUs = std::llround(double(pictures) * pictureUs);
    for (size_t i = pictures; i < video.size(); ++i) {
        EXPECT_EQ(loopUs, video[i].pts - video[i - pictures].pts) << "picture " << i;
        EXPECT_EQ(loopUs, video[i].dts - video[i - pictures].dts) << "picture " << i;
    }
    // From the last picture of a loop to the first of the next: one picture, within the µs the
    // file's own stamps are off the exact grid (a picture of 1501.5 ticks of 1/90000 s is stored
    // as 1501 or 1502).
    const stRawStamps raw = RawStamps(clip, 0);
    double offGrid = 0.0;
    for (size_t j = 0; j < raw.pts.size(); ++j)
        offGrid = std::max(offGrid, std::fabs(double(raw.pts[j] - raw.pts[0]) - double(j) * pictureUs));
    for (size_t loop = 1; loop < loops; ++loop) {
        const size_t first = loop * pictures;
        EXPECT_NEAR(pictureUs, double(video[first].pts - video[first - 1].pts), offGrid + 2.0) << "loop " << loop;
    }
    if (!sound) {
        // Handed over when its stamp comes: the clip keeps its speed over the loops too.
        for (size_t i = 0; i < video.size(); ++i)
            EXPECT_NEAR(double(video[i].pts), double(video[i].handedAt), 1.0) << "picture " << i;
        return;
    }
    CheckSoundOfLoops(DataOnly(run.Take(kAudioOut)), size_t(info.audioPackets), loops, loopUs);
}

} // namespace

// A clip on Repeat steps every loop by the exact span of its pictures, whatever the rate and
// however the container rounds a picture to its ticks, and a sound track's priming before the
// first picture does not make the loop longer. Made as MP4 and TS, with and without sound: a TS
// stores its first picture ahead of the sound packets the demuxer gives first.
TEST_F(FileReadWorkerTest, EveryLoopOfARepeatedClipStepsByTheExactSpanOfItsPictures)
{
    struct stRate
    {
        int fps, base;
    };
    const stRate rates[] = {{30, 1}, {30000, 1001}, {60, 1}, {24000, 1001}, {60000, 1001}};
    CTestMediaSet set;
    for (const std::string container : {"mp4", "mpegts"}) {
        for (const stRate &rate : rates) {
            for (const bool sound : {false, true}) {
                const std::string name = container + "-" + std::to_string(rate.fps) + "-" + std::to_string(rate.base) +
                                         (sound ? "-av" : "-v") + (container == "mp4" ? ".mp4" : ".ts");
                SCOPED_TRACE(name);
                stTestMediaInfo info;
                const auto clip = set.Add(name,
                                          {.container = container, .seconds = 1.0, .width = 64, .height = 48,
                                           .fps = rate.fps, .fpsBase = rate.base, .audio = sound},
                                          &info);
                CheckLoopsOfAClip(clip, info, 1e6 * rate.base / rate.fps, sound);
                // The loop keeps to the file's own pictures whatever rate they are handled at.
                if (container == "mp4" && rate.base == 1001 && rate.fps == 30000 && sound) {
                    SCOPED_TRACE("handled at 25 pictures a second");
                    CheckLoopsOfAClip(clip, info, 1e6 * rate.base / rate.fps, sound, 25.0f);
                }
            }
        }
    }
}

// A single picture beside a second of sound (a cover picture with its music) does not set the loop:
// every loop plays the whole sound, and the picture again with it.
TEST_F(FileReadWorkerTest, ACoverPictureLeavesTheLoopToItsSound)
{
    CTestMediaSet set;
    stTestMediaInfo info;
    const auto clip = set.Add("cover.mp4", {.seconds = 1.0, .width = 64, .height = 48, .pictures = 1}, &info);
    ASSERT_EQ(1, info.videoPackets);
    stPacedFileWorker run(true);
    auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, clip.wstring(), true);
    config.Repeat = 1;
    config.ShowTime = 2.5f;
    run.Play(config);
    const auto video = DataOnly(run.Take(kVideoOut));
    const size_t loops = size_t(run.worker->CycleCount()) + 1;
    ASSERT_GE(loops, 3u);
    ASSERT_EQ(loops, video.size());
    constexpr int64_t kSoundUs = 1000000;
    for (size_t i = 1; i < video.size(); ++i)
        EXPECT_EQ(kSoundUs, video[i].pts - video[i - 1].pts) << "loop " << i;
    CheckSoundOfLoops(DataOnly(run.Take(kAudioOut)), size_t(info.audioPackets), loops, kSoundUs);
}

TEST_F(FileReadWorkerTest, BFrameFilesPlayToTheirEndWithPtsNeverBeforeDts)
{
    for (const auto *file : {&Files().bframes, &Files().bframesMp4}) {
        ClearTYXEventQueue();
        stPacedFileWorker run(true);
        run.Play(MakeSourceConfig(kWorker, TYX_MS_FILE, file->wstring(), true));
        const auto all = run.Take(kVideoOut);
        const auto video = DataOnly(all);
        const stRawStamps raw = RawStamps(*file, 0);
        ASSERT_EQ(raw.pts.size(), video.size()) << file->filename();
        EXPECT_EQ(0, CountStatus(all, TYX_SRC_READ_FAILED));
        EXPECT_EQ(1, CountStatus(all, TYX_SRC_CLOSED));
        // Both stamps of a package take one base, so the source's pts-dts difference survives.
        for (size_t i = 0; i < video.size(); ++i) {
            if (raw.dts[i] == INT64_MIN) {
                EXPECT_EQ(TYX_NOPTS_VALUE, video[i].dts) << i;
                continue;
            }
            EXPECT_GE(video[i].pts, video[i].dts) << file->filename() << " " << i;
            EXPECT_NEAR(double(raw.pts[i] - raw.dts[i]), double(video[i].pts - video[i].dts), 1.0) << i;
        }
    }
}

TEST_F(FileReadWorkerTest, AMissingFileIsRetriedWithoutStoppingOtherSources)
{
    CLogCapture log;
    CTempDir dir;
    const auto later = dir.File("later.mp4");
    CTestConsumers consumers;
    consumers.Add(kVideoOut, TYX_PKT_KIND_CODED_VIDEO);
    auto missing = std::make_shared<CMediaFileReadWorker>(kWorker, &consumers.Links());
    missing->SetOpenRetryWait(20);
    ASSERT_EQ(0, StartReadWorker(*missing, MakeSourceConfig(kWorker, TYX_MS_FILE, later.wstring(), false)));

    // Another source plays meanwhile.
    constexpr uint32_t kOther = 0x01020000;
    stPacedFileWorker other(false, kOther);
    ASSERT_EQ(0, StartReadWorker(*other.worker, MakeSourceConfig(kOther, TYX_MS_FILE, Files().videoOnly.wstring(), false)));
    const auto statuses = consumers.TakeUntil(kVideoOut, [](const auto &all) { return CountStatus(all, TYX_SRC_CONNECT_FAILED) >= 3; }, 10000);
    EXPECT_GE(CountStatus(statuses, TYX_SRC_CONNECT_FAILED), 3);
    EXPECT_TRUE(log.Contains(L"MediaFileReadWorker[Source1:1010000]Media file opening failed with error=", 3));
    const auto stats = missing->GetOutputStatistics(kVideoOut);
    ASSERT_EQ(1u, stats.size());
    EXPECT_EQ(TYX_STATUS_OPEN_FAILED, stats.at(kVideoOut).state);
    const std::vector<int32_t> types = TakeEventTypes();
    EXPECT_NE(std::find(types.begin(), types.end(), TYX_EVENT_SOURCE_OPEN_FAILED), types.end());

    // The file appears: the worker opens it and plays it.
    std::filesystem::copy_file(Files().videoOnly, later);
    const auto played = consumers.TakeUntil(kVideoOut, [](const auto &all) { return DataOnly(all).size() >= 5; }, 20000);
    EXPECT_GE(DataOnly(played).size(), 5u);
    EXPECT_GE(StopReadWorker(*missing), 0);

    other.Finish();
    EXPECT_EQ(50u, DataOnly(other.Take(kOther + 1)).size());
}

TEST_F(FileReadWorkerTest, AFileThatIsNotMediaGivesItsCodeAndStopsPromptly)
{
    CLogCapture log;
    CTempDir dir;
    const auto junk = dir.File("junk.mp4");
    std::ofstream(junk) << std::string(10000, 'j');
    CTestConsumers consumers;
    consumers.Add(kVideoOut, TYX_PKT_KIND_CODED_VIDEO);
    auto worker = std::make_shared<CMediaFileReadWorker>(kWorker, &consumers.Links());
    ASSERT_EQ(0, StartReadWorker(*worker, MakeSourceConfig(kWorker, TYX_MS_FILE, junk.wstring(), false)));
    const auto statuses = consumers.TakeUntil(kVideoOut, [](const auto &all) { return CountStatus(all, TYX_SRC_CONNECT_FAILED) >= 1; }, 10000);
    EXPECT_EQ(1, CountStatus(statuses, TYX_SRC_CONNECT_FAILED));
    EXPECT_TRUE(log.Contains(L"Media file opening failed with error=" + std::to_wstring(-1094995529), 3));
    // The worker waits 20 s before the next try; the stop does not wait for that.
    EXPECT_NE(static_cast<int32_t>(TYX_STILL_ACTIVE), StopReadWorker(*worker));
}

TEST_F(FileReadWorkerTest, StartDelayHoldsTheFirstHandOver)
{
    CTestConsumers consumers;
    consumers.Add(kVideoOut, TYX_PKT_KIND_CODED_VIDEO);
    auto worker = std::make_shared<CMediaFileReadWorker>(kWorker, &consumers.Links());
    auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, Files().videoOnly.wstring(), false);
    config.StartDelay = 0.3f;
    const int64_t before = GetCurrentTimeUs();
    ASSERT_EQ(0, StartReadWorker(*worker, config));
    const auto video = consumers.TakeUntil(kVideoOut, [](const auto &all) { return !all.empty(); }, 10000);
    ASSERT_FALSE(video.empty());
    EXPECT_GE(video.front().readTime - before, 300000);
    StopReadWorker(*worker);
}

TEST_F(FileReadWorkerTest, AReadErrorEndsThePlayWithItsStatus)
{
    stFakeClock clock;
    CTestConsumers consumers;
    consumers.Add(kVideoOut, TYX_PKT_KIND_CODED_VIDEO);
    auto worker = std::make_shared<CScriptedWorker<CMediaFileReadWorker>>(kWorker, &consumers.Links(), clock);
    worker->script->AddStream(0, 0, AVRational{1, 25}, AVRational{25, 1}, 27);
    for (int i = 0; i < 3; ++i)
        worker->script->Push({0, i, i, 1, i == 0, 0, 1});
    worker->script->Push({0, 0, 0, 0, false, 0, -5});
    worker->SetPacingSleep([](int64_t) { return false; });
    CLogCapture log;
    ASSERT_EQ(0, StartReadWorker(*worker, MakeSourceConfig(kWorker, TYX_MS_FILE, L"script", false)));
    const auto all = consumers.TakeUntil(kVideoOut, [](const auto &seen) { return CountStatus(seen, TYX_SRC_READ_FAILED) > 0; }, 10000);
    EXPECT_EQ(1, CountStatus(all, TYX_SRC_READ_FAILED));
    EXPECT_TRUE(log.Contains(L"Media file reading failed with error(-5) returned.", 3));
    EXPECT_EQ(TYX_STATUS_ERROR, worker->GetOutputStatistics(kVideoOut).at(kVideoOut).state);
    StopReadWorker(*worker);
    const std::vector<int32_t> types = TakeEventTypes();
    EXPECT_NE(std::find(types.begin(), types.end(), TYX_EVENT_SOURCE_CLOSED), types.end());
}

TEST_F(FileReadWorkerTest, NothingIsHandedOverWhilePushingIsStopped)
{
    stPacedFileWorker run(false);
    const auto config = MakeSourceConfig(kWorker, TYX_MS_FILE, Files().videoOnly.wstring(), false);
    ASSERT_EQ(0, run.worker->CopyInConfiguration(&config));
    run.worker->Initialize(0, 0);
    ASSERT_GT(run.worker->StartWorkingThread(1, 0), 0);
    ASSERT_EQ(0, run.worker->StopDataPushing());
    ASSERT_EQ(0, run.worker->ResumeWorkingThread());
    ASSERT_TRUE(WaitUntil([&] { return run.worker->GetWorkingStep() == 27; }, 10000));
    // The thread only waits while pushing is stopped.
    EXPECT_FALSE(WaitUntil([&] { return run.worker->PendingStreamPackages() > 0; }, 100));
    EXPECT_TRUE(run.Take(kVideoOut).empty());

    ASSERT_EQ(0, run.worker->StartDataPushing());
    run.Finish();
    const auto video = DataOnly(run.Take(kVideoOut));
    ASSERT_EQ(50u, video.size());
    EXPECT_TRUE(video.front().key());
}
