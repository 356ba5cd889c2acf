// The raw audio read worker on generated tones: conversion, stamps on an injected clock, the end
// of the source and a device that cannot be opened.

#include "CaptureTestSupport.h"

#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "host/TYXEvent.h"
#include "input/RAReadWorker.h"
#include "input/StreamInfoParams.h"
#include "support/LogCapture.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <cstring>

namespace {

constexpr uint32_t kWorker = 0x01030000;
constexpr uint32_t kOutput = kWorker + 1;
constexpr int64_t kClockStart = 1700000000000000LL;

stMediaSourceReadWorkerConfig AudioConfig(const std::string &device, int32_t sampleRate, int16_t channels)
{
    stMediaSourceReadWorkerConfig config;
    config.Name = L"Mic1";
    config.No = 1;
    config.WorkerId = static_cast<int32_t>(kWorker);
    config.MSTYPE = TYX_MS_ACAP;
    config.MSFullPath = StringToWString(device);
    stTYXStreamConfig stream;
    stream.StreamId = static_cast<int32_t>(kOutput);
    stream.MediaType = 1;
    stream.SampleRate = sampleRate;
    stream.ChannelNum = channels;
    config.Streams[1] = stream;
    return config;
}

// A tone paced to ten times real time, so that a consumer polling the link never finds it full.
std::string PacedTone(int sampleRate, double seconds, int channels, int samplesPerFrame = 1024)
{
    char text[240];
    std::snprintf(text, sizeof(text), "lavfi:sine=frequency=440:sample_rate=%d:duration=%g:samples_per_frame=%d%s,arealtime=speed=10",
                  sampleRate, seconds, samplesPerFrame, channels == 2 ? ",pan=stereo|c0=c0|c1=c0" : "");
    return text;
}

struct stAudioRun : stCaptureRun<CRawAudioReadWorker>
{
    explicit stAudioRun(bool injectClock = true) : stCaptureRun(kWorker, TYX_PKT_KIND_RAW_AUDIO, kClockStart, injectClock) {}
};

} // namespace

TEST(RawAudioReadWorker, StereoDeviceBecomesConfiguredMonoFloat)
{
    TakeEventTypes();
    stAudioRun run(false);
    ASSERT_EQ(run.Start(AudioConfig(PacedTone(48000, 1.0, 2), 44100, 1)), 0);
    const auto &all = run.UntilClosed();
    const uint32_t decoded = static_cast<uint32_t>(run.Stop());
    ASSERT_TRUE(HasStatus(all, TYX_SRC_CLOSED));
    const auto data = WithData(all);
    ASSERT_FALSE(data.empty());
    EXPECT_GE(decoded, 40u);

    std::vector<float> samples;
    for (const stTakenPackage *package : data) {
        const FramePackage &h = package->header;
        EXPECT_EQ(h.mediaType, TYX_MEDIA_AUDIO);
        EXPECT_EQ(h.kind, TYX_PKT_KIND_RAW_AUDIO);
        EXPECT_EQ(h.format, AV_SAMPLE_FMT_FLT);
        EXPECT_EQ(h.inDevice, 0);
        EXPECT_EQ(h.sampleRate, 44100);
        // The length covers the converted samples, nothing behind them.
        EXPECT_EQ(h.nLength, h.audioSamples * 4);
        const size_t first = samples.size();
        samples.resize(first + static_cast<size_t>(h.audioSamples));
        std::memcpy(samples.data() + first, package->data.data(), static_cast<size_t>(h.nLength));
    }
    // One second of 44100 Hz mono, less what the resampler still holds at the end.
    EXPECT_GT(samples.size(), 43000u);
    EXPECT_LE(samples.size(), 44100u);
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i)
        crossings += (samples[i - 1] < 0.0f) != (samples[i] < 0.0f);
    EXPECT_NEAR(crossings / 2.0, 440.0 * samples.size() / 44100.0, 5.0);

    ASSERT_FALSE(run.published.empty());
    const auto &[id, params] = run.published.front();
    EXPECT_EQ(id, kOutput);
    EXPECT_EQ(params.sampleRate, 44100);
    EXPECT_EQ(params.sampleFormat, AV_SAMPLE_FMT_FLT);
    EXPECT_EQ(params.channelLayout.nb_channels, 1);
    EXPECT_EQ(params.timeBase.num, 1);
    EXPECT_EQ(params.timeBase.den, 1000000);
    EXPECT_EQ(run.worker->GetOutputParameters().sampleRate, 44100);

    // The tone's end: closed, reported, and the reader let go.
    EXPECT_EQ(run.worker->GetOutputStatistics(kOutput).at(kOutput).state, TYX_STATUS_CLOSED);
    EXPECT_EQ(run.worker->GetOutputStatistics(kOutput).at(kOutput).packetsIn, static_cast<int64_t>(decoded));
    EXPECT_EQ(TakeEventTypes(), std::vector<int32_t>{TYX_EVENT_SOURCE_CLOSED});
    EXPECT_FALSE(run.worker->Reader()->IsOpened());
}

TEST(RawAudioReadWorker, StampsFollowTheProgramClockFromTheFirstPackage)
{
    stAudioRun run;
    ASSERT_EQ(run.Start(AudioConfig(PacedTone(48000, 1.2, 1, 1000), 48000, 1)), 0);
    const auto &all = run.UntilClosed();
    run.Stop();
    const auto data = WithData(all);
    ASSERT_GT(data.size(), 49u);
    // The first package arrives at the clock's time; 48 packages of 1000 samples later is 1 s.
    EXPECT_EQ(data[0]->header.pts, kClockStart);
    EXPECT_EQ(data[48]->header.pts, kClockStart + 1000000);
    for (size_t i = 1; i < data.size(); ++i) {
        // Each stamp is truncated on its own, so neighbours may differ from a duration by 1 µs.
        EXPECT_NEAR(data[i]->header.pts - data[i - 1]->header.pts, data[i - 1]->header.duration, 1) << i;
        EXPECT_EQ(data[i]->header.dts, data[i]->header.pts);
    }
    EXPECT_EQ(data[0]->header.duration, 1000000 / 48);
}

TEST(RawAudioReadWorker, DeviceThatCannotBeOpenedFailsTheThread)
{
    TakeEventTypes();
    CLogCapture log;
    stAudioRun run;
    ASSERT_EQ(run.Start(AudioConfig("alsa:tyx_no_such_pcm", 48000, 2)), 0);
    EXPECT_EQ(run.Stop(), 2);
    EXPECT_EQ(run.worker->GetOutputStatistics(kOutput).at(kOutput).state, TYX_STATUS_OPEN_FAILED);
    EXPECT_EQ(TakeEventTypes(), std::vector<int32_t>{TYX_EVENT_SOURCE_OPEN_FAILED});
    EXPECT_TRUE(log.Contains(L"Media source(Mic1::alsa:tyx_no_such_pcm) for Worker[ID=", 3));
    EXPECT_TRUE(run.consumer.Taken().empty());
}

TEST(RawAudioReadWorker, UnsafeDeviceNameIsRefusedAndNothingIsOpened)
{
    TakeEventTypes();
    stAudioRun run;
    run.worker->AllowTestSources(false);
    ASSERT_EQ(run.Start(AudioConfig("lavfi:amovie=/etc/passwd", 48000, 2)), 0);
    EXPECT_EQ(run.Stop(), 2);
    EXPECT_EQ(TakeEventTypes(), std::vector<int32_t>{TYX_EVENT_SOURCE_OPEN_FAILED});
}

TEST(RawAudioReadWorker, DeviceNameWithControlCharactersIsRefusedAndLoggedHarmlessly)
{
    TakeEventTypes();
    CLogCapture log;
    stAudioRun run;
    ASSERT_EQ(run.Start(AudioConfig("alsa:de\nfault\x1b[2J", 48000, 2)), 0);
    EXPECT_EQ(run.Stop(), 2);
    EXPECT_TRUE(log.Contains(L"Media source(Mic1::alsa:de?fault?[2J) for Worker[ID=", 3));
    EXPECT_TRUE(log.Contains(L"[Audio-Capture] Device name (alsa:de?fault?[2J) refused", 3));
    for (const auto &line : log.Lines())
        EXPECT_EQ(line.text.find(L'\x1b'), std::wstring::npos) << line.text;
    stTYXEvent event;
    ASSERT_TRUE(PopTYXEvent(event));
    EXPECT_EQ(event.type, TYX_EVENT_SOURCE_OPEN_FAILED);
}

TEST(RawAudioReadWorker, WithoutConsumersEveryPackageIsFreed)
{
    const int64_t blocks = FramePackageHostBlocks();
    {
        auto worker = std::make_shared<CRawAudioReadWorker>(kWorker, nullptr);
        worker->AllowTestSources(true);
        const auto config = AudioConfig(TestTone(440, 48000, 0.5), 44100, 2);
        worker->CopyInConfiguration(&config);
        worker->Initialize(0, 0);
        ASSERT_GE(worker->StartWorkingThread(1, 0), 0);
        worker->ResumeWorkingThread();
        // The tone ends by itself; only then is the exit asked for.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        bool children = false;
        while (!worker->IsStopped(children) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_GT(worker->WaitThreadExit(10000), 0);
        worker->unInitialize();
    }
    EXPECT_EQ(FramePackageHostBlocks(), blocks);
}

TEST(RawAudioReadWorker, ParameterRecordsAndSampleSizes)
{
    stMediaStreamInfo info;
    info.mediaType = 0;
    info.codecId = 13;
    info.timeBase = {1, 1000000};
    info.frameRate = {30000, 1001};
    info.width = 1280;
    info.height = 720;
    info.startTime = TYX_NOPTS_VALUE;
    stStreamParams params;
    StreamInfoToStreamParams(params, info);
    EXPECT_EQ(params.sourceType, 9);
    EXPECT_FLOAT_EQ(params.frameRate, 30000.0f / 1001.0f);
    EXPECT_EQ(params.extradata, nullptr);
    EXPECT_EQ(params.startTime, 0);
    const uint8_t extra[] = {1, 2, 3};
    info.extradata.assign(extra, extra + 3);
    info.extradata.resize(3 + 64, 0);
    info.extradataSize = 3;
    StreamInfoToStreamParams(params, info);
    ASSERT_EQ(params.extradataSize, 3);
    EXPECT_NE(params.extradata, info.extradata.data());
    EXPECT_EQ(params.extradata[2], 3);

    EXPECT_EQ(SampleFormatBits(AV_SAMPLE_FMT_U8P), 8);
    EXPECT_EQ(SampleFormatBits(AV_SAMPLE_FMT_S16), 16);
    EXPECT_EQ(SampleFormatBits(AV_SAMPLE_FMT_FLT), 32);
    EXPECT_EQ(SampleFormatBits(AV_SAMPLE_FMT_S32P), 32);
    EXPECT_EQ(SampleFormatBits(AV_SAMPLE_FMT_DBL), 64);
    EXPECT_EQ(SampleFormatBits(AV_SAMPLE_FMT_S64), 64);
    EXPECT_EQ(SampleFormatBits(-1), 0);
    EXPECT_EQ(SampleFormatBits(AV_SAMPLE_FMT_NB), 0);
}
