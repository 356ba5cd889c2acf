#include "ProgramRunSupport.h"

#include "support/TestMedia.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <unistd.h>

// The operator's record root "./records" means the program's folder, wherever the program was
// started from.

namespace fs = std::filesystem;

namespace {

std::string DotRootConfig(const fs::path &clip)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config><MediaSources><MSCount>1</MSCount>"
           "<Cam1 id=\"1\"><MSTYPE>FILE</MSTYPE><MRType>FMPGAV</MRType><MSFullPath>" + clip.string() +
           "</MSFullPath><Repeat>True</Repeat><ShowTime>3600</ShowTime><STRMCOUNT>1</STRMCOUNT>"
           "<Stream id=\"1\"><StrmType>Video</StrmType><avStrmId>0</avStrmId></Stream></Cam1></MediaSources>"
           "<MediaWriters><MWCount>1</MWCount><Rec1 id=\"1\"><MWType>FILE</MWType><Container>MP4</Container>"
           "<RootFolder>./records</RootFolder><VideoStreams>MediaSources.Cam1.VideoOutput</VideoStreams>"
           "<SegmentLength>10</SegmentLength><PushAtBegin>True</PushAtBegin></Rec1></MediaWriters></Config>\n";
}

} // namespace

TEST(ProgramRecordRootTest, ADotRootRecordsInTheProgramFolderWhereverTheRunStarted)
{
    CProgramFolder folder;
    CTestMediaSet media;
    const fs::path clip = media.Add("clip.mp4", {.seconds = 4.0, .width = 320, .height = 240, .audio = false});
    setenv("RUNTIME_DIRECTORY", (folder.Path() / "run").c_str(), 1);
    folder.WriteSystemSettings(300000 + (getpid() % 600000));
    folder.Write("StreamCfg.xml", DotRootConfig(clip));
    const fs::path elsewhere = folder.Path() / "elsewhere";
    fs::create_directories(elsewhere);

    stChildSpawnOptions options;
    options.workingFolder = elsewhere.string();
    options.outputFile = (folder.Path() / "run.out").string();
    CProcessHandle run;
    ASSERT_EQ(run.Spawn({folder.Program().string(), "-silent"}, options), 0);
    ASSERT_TRUE(folder.WaitForLog("TYX is working and waiting command...", 30000)) << folder.Output("run");
    EXPECT_TRUE(WaitUntil([&] { return !folder.Recordings().empty(); }, 30000, 50)) << folder.LogText();
    EXPECT_EQ(folder.LogText().find("Recoding path"), std::string::npos);
    EXPECT_FALSE(fs::exists(elsewhere / "records"));

    EXPECT_EQ(folder.Run({"-stop"}, "stop", 10000), 0);
    ASSERT_EQ(run.WaitExit(20000), 0);
    EXPECT_EQ(ExitCodeOf(run), 0) << folder.Output("run");
    unsetenv("RUNTIME_DIRECTORY");
}
