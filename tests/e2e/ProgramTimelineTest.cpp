// The bundled sample run for minutes: its recording plays as long as the program ran, however fast
// the machine makes the pictures.

#include "ProgramRunSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that a timeline losing a few per cent shows beyond the start and stop of the chain.
constexpr auto kRunTime = std::chrono::seconds(150);

std::string TextOf(const fs::path &file)
{
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

double SecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

class ProgramTimelineTest : public ::testing::Test
{
protected:
    void SetUp() override { setenv("RUNTIME_DIRECTORY", (m_folder.Path() / "run").c_str(), 1); }
    void TearDown() override { unsetenv("RUNTIME_DIRECTORY"); }

    // The sample as it ships: its configuration and its two clips, made as the build makes them.
    void InstallSample()
    {
        fs::create_directories(m_folder.Path() / "media");
        for (const char *clip : {"1", "2"}) {
            const fs::path file = m_folder.Path() / "media" / (std::string("sample") + clip + ".mp4");
            ASSERT_EQ(std::system((std::string(TYX_CLIP_MAKER_PATH) + " " + file.string() + " " + clip + " 20").c_str()), 0);
        }
        m_folder.Write("StreamCfg.xml", TextOf(TYX_SAMPLE_CONFIG_PATH));
        m_folder.WriteSystemSettings(200000 + getpid() % 800000);
    }

    // Waits for the first recording to be opened; false after timeoutMs.
    bool WaitForFirstRecording(int timeoutMs) const
    {
        const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_folder.Recordings().empty()) {
            if (Clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    CProgramFolder m_folder;
};

// The chain of the sample: 25 fps clips played at their own speed, a mux and an encoder set to 25.
// The recording must cover the time the program ran, not the number of pictures the machine managed
// to make times their interval; a slow machine repeats or leaves out pictures.
TEST_F(ProgramTimelineTest, TheSampleRecordsAsLongAsItRuns)
{
    InstallSample();
    if (HasFatalFailure())
        return;
    const Clock::time_point started = Clock::now();
    CProcessHandle run = m_folder.Start({"-silent"}, "run");
    ASSERT_TRUE(m_folder.WaitForLog("TYX is working and waiting command...", 60000)) << m_folder.Output("run");
    ASSERT_TRUE(WaitForFirstRecording(60000)) << m_folder.Output("run");
    const Clock::time_point opened = Clock::now();
    std::this_thread::sleep_for(kRunTime);
    const Clock::time_point stopped = Clock::now();
    ASSERT_EQ(run.Signal(SIGTERM), 0);
    ASSERT_EQ(run.WaitExit(60000), 0);
    EXPECT_EQ(ExitCodeOf(run), 0) << m_folder.Output("run");

    double recorded = 0.0;
    int pictures = 0;
    for (const fs::path &file : m_folder.Recordings()) {
        const stRecordingFacts facts = ProbeRecording(file);
        ASSERT_TRUE(facts.opened) << file;
        EXPECT_TRUE(facts.firstDecodes) << file;
        recorded += facts.durationSeconds;
        pictures += facts.videoPackets;
    }
    // The recording starts with the chain's first pictures, which may be older than the file, and
    // loses what is on its way through the chain at the stop: it covers at least the time from its
    // opening to the stop, less that delay, and at most the whole run.
    const double ran = SecondsBetween(opened, stopped);
    const double all = SecondsBetween(started, stopped);
    std::printf("Recorded %.2f s in %d pictures while the recording ran %.2f s (%.2f s since the start)\n", recorded,
                pictures, ran, all);
    EXPECT_GE(recorded, ran - (3.0 + 0.02 * ran)) << pictures << " pictures";
    EXPECT_LE(recorded, all + 1.0) << pictures << " pictures";
    // A coded picture the writer had to throw away leaves the pictures after it without references.
    EXPECT_EQ(m_folder.LogText().find("the previous wrote one"), std::string::npos);
}

} // namespace
