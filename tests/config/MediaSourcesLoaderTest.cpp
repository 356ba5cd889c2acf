#include "config/GTYXConfigXml.h"
#include "config/WorkerReference.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"

#include <gtest/gtest.h>

namespace {

class MediaSourcesLoaderTest : public CConfigFileTest
{
protected:
    // Loads a StreamCfg.xml whose MediaSources section holds the count and the items.
    int32_t LoadSources(int32_t count, const std::string &items)
    {
        return LoadMSReadersConfigXml(Write("StreamCfg.xml", "<Config><MediaSources><MSCount>" + std::to_string(count) +
                                                                 "</MSCount>" + items + "</MediaSources></Config>"));
    }

    static std::string FileSource(const std::string &name, int id, const std::string &extra = "")
    {
        return "<" + name + " id=\"" + std::to_string(id) + "\"><MSTYPE>FILE</MSTYPE><MSFullPath>media/" + name +
               ".mp4</MSFullPath><STRMCOUNT>1</STRMCOUNT><Stream id=\"1\"><StrmType>Video</StrmType></Stream>" +
               extra + "</" + name + ">";
    }

    static const stMediaSourceReadWorkerConfig &Source(const wchar_t *name)
    {
        return CTYXGVMS::MSReaderConfigs().at(name);
    }
};

// An operator who adds a camera and forgets the count, or its id, must find out why it is missing.
TEST_F(MediaSourcesLoaderTest, ItemsNumberedOutsideTheCountAreDroppedWithALine)
{
    EXPECT_EQ(LoadSources(2, FileSource("A", 0) + FileSource("B", -1) + FileSource("C", 3) +
                                 "<D><MSTYPE>FILE</MSTYPE></D>" + FileSource("E", 2)), 1);
    EXPECT_EQ(CTYXGVMS::MSReaderConfigs().count(L"E"), 1u);
    for (const wchar_t *line : {L"Configuration:MWreader(No=0, Name=A) id(0) is below 1, Skip it!",
                                L"Configuration:MWreader(Name=B) id is missing, negative or unreadable, Skip it!",
                                L"Configuration:MWreader(No=3, Name=C) id(3) is above MSCount(2), Skip it!",
                                L"Configuration:MWreader(Name=D) id is missing, negative or unreadable, Skip it!"})
        EXPECT_EQ(m_log.Count(line, 3), 1) << std::wstring(line);
    EXPECT_EQ(m_log.Count(L"Configuration:", 3), 4);
    // No count, no sources; the items are not lost without a word.
    m_log.Clear();
    EXPECT_EQ(LoadSources(0, FileSource("A", 1) + FileSource("B", 2)), 0);
    EXPECT_TRUE(m_log.Contains(L"Configuration:/Config/MediaSources holds 2 items but MSCount is missing or below 1, none is loaded!", 3));
}

// Each number takes 0x10000 ids of its kind's range: past the range's end it would make the id of
// another worker (source 300 and decoder 44 were both 0x022C0000) or of another kind.
TEST_F(MediaSourcesLoaderTest, NumbersBeyondTheKindsRangeAreRefused)
{
    EXPECT_EQ(LoadSources(32767, FileSource("Last", 255) + FileSource("Next", 256) + FileSource("Far", 300) +
                                     FileSource("Edge", 32767)), 1);
    EXPECT_EQ(static_cast<uint32_t>(Source(L"Last").WorkerId), 0x01FF0000u);
    EXPECT_EQ(Source(L"Last").Streams.at(1).StreamId, 0x01FF0001);
    for (const wchar_t *name : {L"Next", L"Far", L"Edge"})
        EXPECT_EQ(CTYXGVMS::MSReaderConfigs().count(name), 0u) << std::wstring(name);
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWreader(No=256, Name=Next) id(256) is above 255, the highest number its "
                               L"section can give, Skip it!", 3));
    EXPECT_EQ(m_log.Count(L"the highest number its section can give", 3), 3);
}

TEST_F(MediaSourcesLoaderTest, DuplicatesByIdOrNameKeepTheFirst)
{
    EXPECT_EQ(LoadSources(3, FileSource("Cam", 1) + FileSource("Other", 1) + FileSource("CAM", 2) +
                                 FileSource("Third", 3)), 2);
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWreader(No=1, Name=Other) configured duplicated!, Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWreader(No=2, Name=CAM) configured duplicated!, Skip it!", 3));
    EXPECT_EQ(Source(L"Cam").MSFullPath, L"media/Cam.mp4");
    // A second load starts from an empty registry.
    EXPECT_EQ(LoadSources(1, FileSource("Only", 1)), 1);
    EXPECT_EQ(CTYXGVMS::MSReaderConfigs().count(L"Cam"), 0u);
}

TEST_F(MediaSourcesLoaderTest, FaultsDropOnlyTheFaultyItemOrStream)
{
    const int32_t result = LoadSources(6,
        "<Bad id=\"1\"><MSTYPE>HTTP</MSTYPE><MSFullPath>x</MSFullPath></Bad>"
        "<NoStreams id=\"2\"><MSTYPE>RTSP</MSTYPE><MSFullPath>rtsp://h/x</MSFullPath></NoStreams>"
        "<Mixed id=\"3\"><MSTYPE>FILE</MSTYPE><MSFullPath>m.mp4</MSFullPath><STRMCOUNT>3</STRMCOUNT>"
        "<Stream id=\"2\"><StrmType>audio</StrmType></Stream><Stream id=\"3\"><StrmType>Text</StrmType></Stream>"
        "<Stream id=\"1\"><avStrmId>4</avStrmId></Stream></Mixed>"
        "<NoPath id=\"4\"><MSTYPE>FILE</MSTYPE><STRMCOUNT>1</STRMCOUNT><Stream id=\"1\"><StrmType>Video</StrmType></Stream></NoPath>" +
        FileSource("Good", 5) + FileSource("AfterAll", 6));
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWreader No(1) was configed as unkown media type(HTTP), Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:No stream configured for MWreader No(2:NoStreams), Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:Stream No[3] of MWreader No(3) was configured as unkown stream media type, Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:Stream No[1] of MWreader No(3) was configured as unkown stream media type, Skip it!", 3));
    ASSERT_EQ(CTYXGVMS::MSReaderConfigs().size(), 3u);
    const stMediaSourceReadWorkerConfig &mixed = Source(L"Mixed");
    ASSERT_EQ(mixed.Streams.size(), 1u);
    EXPECT_EQ(mixed.Streams.at(2).StreamId, 0x01030002);
    EXPECT_EQ(mixed.Streams.at(2).avStrmId, -2); // best audio
    EXPECT_EQ(Source(L"Good").Streams.at(1).avStrmId, -1); // best video
    EXPECT_EQ(CTYXGVMS::MSReaderConfigs().count(L"AfterAll"), 1u);
}

// Streams are read from the item's own element: a second item of the same name and number (the
// first was refused) must not be given the first one's streams.
TEST_F(MediaSourcesLoaderTest, StreamsComeFromTheItemsOwnElement)
{
    EXPECT_EQ(LoadSources(1, "<Cam id=\"1\"><MSTYPE>RSTP</MSTYPE><STRMCOUNT>1</STRMCOUNT>"
                             "<Stream id=\"1\"><StrmType>Audio</StrmType><StrmAlias>Wrong</StrmAlias></Stream></Cam>"
                             "<Cam id=\"1\"><MSTYPE>FILE</MSTYPE><MSFullPath>f.mp4</MSFullPath><STRMCOUNT>1</STRMCOUNT>"
                             "<Stream id=\"1\"><StrmType>Video</StrmType><StrmAlias>Right</StrmAlias></Stream></Cam>"),
              -1);
    const stTYXStreamConfig &stream = Source(L"Cam").Streams.at(1);
    EXPECT_EQ(stream.StrmAlias, L"Right");
    EXPECT_EQ(stream.MediaType, 0);
}

// A count or number beyond its 16-bit field is refused, not wrapped: 65537 is no 1 and 99999 no
// -31073; a boolean written as 1 reads false, and the line says why.
TEST_F(MediaSourcesLoaderTest, ValuesBeyondTheirFieldAreRefused)
{
    auto source = [](const std::string &name, int id, const std::string &keys) {
        return "<" + name + " id=\"" + std::to_string(id) + "\"><MSTYPE>FILE</MSTYPE><MSFullPath>f.mp4</MSFullPath>" + keys +
               "<Stream id=\"1\"><StrmType>Video</StrmType><avStrmId>70000</avStrmId></Stream></" + name + ">";
    };
    EXPECT_EQ(LoadSources(3, source("Wraps", 1, "<STRMCOUNT>65537</STRMCOUNT>") +
                                 source("Negative", 2, "<STRMCOUNT>99999</STRMCOUNT>") +
                                 source("Flag", 3, "<STRMCOUNT>1</STRMCOUNT><Repeat>1</Repeat>")),
              -1);
    EXPECT_EQ(CTYXGVMS::MSReaderConfigs().size(), 1u);
    for (const wchar_t *line : {
             L"Configuration:MWreader(No=1, Name=Wraps) STRMCOUNT(65537) does not fit its field (-32768..32767), Skip it!",
             L"Configuration:MWreader(No=2, Name=Negative) STRMCOUNT(99999) does not fit its field (-32768..32767), Skip it!",
             L"Configuration:Stream No[1] of MWreader(No=3, Name=Flag) avStrmId(70000) does not fit its field "
             L"(-32768..32767), ignored it!",
             L"Configuration:MWreader(No=3, Name=Flag) Repeat(1) is neither true nor false, read as false."})
        EXPECT_EQ(m_log.Count(line, 3), 1) << std::wstring(line);
    EXPECT_EQ(m_log.Count(L"No stream configured"), 0);
    EXPECT_EQ(Source(L"Flag").Repeat, 0);
    EXPECT_EQ(Source(L"Flag").Streams.at(1).avStrmId, -1); // the best video stream
}

TEST_F(MediaSourcesLoaderTest, MissingRequiredKeysAreNamed)
{
    EXPECT_EQ(LoadSources(3, "<NoPath id=\"1\"><MSTYPE>FILE</MSTYPE><STRMCOUNT>1</STRMCOUNT>"
                             "<Stream id=\"1\"><StrmType>Video</StrmType></Stream></NoPath>"
                             "<NoUrl id=\"2\"><MSTYPE>RTSP</MSTYPE><STRMCOUNT>1</STRMCOUNT>"
                             "<Stream id=\"1\"><StrmType>Video</StrmType></Stream></NoUrl>"
                             "<NoDevice id=\"3\"><MSTYPE>VCAP</MSTYPE></NoDevice>"),
              -1);
    EXPECT_TRUE(CTYXGVMS::MSReaderConfigs().empty());
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWreader(No=1, Name=NoPath) MSFullPath is missing or empty, Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWreader(No=2, Name=NoUrl) MSFullPath is missing or empty, Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWreader(No=3, Name=NoDevice) CapDvcNo is missing or empty, Skip it!", 3));
}

TEST_F(MediaSourcesLoaderTest, ReaderTypeDefaults)
{
    LoadSources(2, FileSource("A", 1) + FileSource("B", 2, "<MRType>XX-SDK</MRType>"));
    EXPECT_EQ(Source(L"A").MRType, 1);
    EXPECT_EQ(Source(L"B").MRType, 1);
    EXPECT_TRUE(m_log.Contains(L"Configuration:Stream reading driver for MWreader No(1) not configured, Use default then.", 6));
    EXPECT_TRUE(m_log.Contains(L"Configuration:Stream reading driver configured for MWreader No(2) is unknown(XX-SDK)! Use default then.", 3));
    LoadSources(1, FileSource("C", 1, "<MRType>hk-sdk</MRType><UseUTC>yes</UseUTC>"));
    EXPECT_EQ(Source(L"C").MRType, 3);
    EXPECT_EQ(Source(L"C").UseUTC, 1);
    EXPECT_EQ(Source(L"C").UseNTP, 0); // absent counts false, whatever the record default
}

TEST_F(MediaSourcesLoaderTest, StreamNumbersAndCounts)
{
    EXPECT_EQ(LoadSources(1, "<S id=\"1\"><MSTYPE>FILE</MSTYPE><MSFullPath>f.mp4</MSFullPath><STRMCOUNT>2</STRMCOUNT>"
                             "<Stream id=\"2\"><StrmType>Video</StrmType></Stream></S>"), 1);
    ASSERT_EQ(Source(L"S").Streams.size(), 1u);
    EXPECT_EQ(Source(L"S").Streams.at(2).StreamId, 0x01010002);

    // Stream numbers live in the low 8 bits of the id: a larger count reads streams 1 to 255 only.
    std::string many = "<M id=\"1\"><MSTYPE>FILE</MSTYPE><MSFullPath>f.mp4</MSFullPath><STRMCOUNT>300</STRMCOUNT>";
    for (int n : {1, 255, 256, 300})
        many += "<Stream id=\"" + std::to_string(n) + "\"><StrmType>Video</StrmType></Stream>";
    EXPECT_EQ(LoadSources(1, many + "</M>"), 1);
    EXPECT_EQ(Source(L"M").Streams.size(), 2u);
    EXPECT_EQ(Source(L"M").Streams.rbegin()->second.StreamId, 0x010100FF);
    EXPECT_TRUE(m_log.Contains(L"Configuration:STRMCOUNT(300) of MWreader No(1) is above 255", 3));
}

TEST_F(MediaSourcesLoaderTest, NetworkSourcesAndAuthorization)
{
    LoadSources(4,
        "<R1 id=\"1\"><MSTYPE>RTSP</MSTYPE><MSFullPath>rtsp://cam/1</MSFullPath><STRMCOUNT>1</STRMCOUNT>"
        "<Stream id=\"1\"><StrmType>Video</StrmType></Stream><UseTCP>no</UseTCP></R1>"
        "<R2 id=\"2\"><MSTYPE>RTMP</MSTYPE><MSFullPath>rtmp://cam/2</MSFullPath><STRMCOUNT>1</STRMCOUNT>"
        "<Stream id=\"1\"><StrmType>Video</StrmType></Stream><Authorization>yes</Authorization>"
        "<AuthUN>admin</AuthUN><AuthPwd>secret123</AuthPwd></R2>"
        "<R3 id=\"3\"><MSTYPE>RTSP</MSTYPE><MSFullPath>rtsp://cam/3</MSFullPath><STRMCOUNT>1</STRMCOUNT>"
        "<Stream id=\"1\"><StrmType>Video</StrmType></Stream><Authorization>yes</Authorization><AuthUN>admin</AuthUN></R3>"
        "<R4 id=\"4\"><MSTYPE>RTSP</MSTYPE><MSFullPath>rtsp://cam/4</MSFullPath><STRMCOUNT>1</STRMCOUNT>"
        "<Stream id=\"1\"><StrmType>Video</StrmType></Stream><Authorization>yes</Authorization>"
        "<AuthUN>admin</AuthUN><AuthPwd>short</AuthPwd></R4>");
    EXPECT_EQ(Source(L"R1").UseTCP, 0);
    EXPECT_EQ(Source(L"R1").Authorization, 0);
    EXPECT_EQ(Source(L"R2").UseTCP, 1);
    EXPECT_EQ(Source(L"R2").AuthPwd, L"secret123");
    // Without the password: not loaded, and the operator is told why.
    EXPECT_EQ(CTYXGVMS::MSReaderConfigs().count(L"R3"), 0u);
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWreader(No=3, Name=R3) AuthPwd is missing or empty, Skip it!", 3));
    // A password too short for its type would only fail at connect time: refused here, with the reason.
    EXPECT_EQ(CTYXGVMS::MSReaderConfigs().count(L"R4"), 0u);
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWreader(No=4, Name=R4) AuthPwd is out of its length bounds (8..33 characters), Skip it!", 3));
}

TEST_F(MediaSourcesLoaderTest, CaptureSources)
{
    CTYXGVMS::FixedVideoInDevices()[1] = L"/dev/video0";
    CTYXGVMS::FixedAudioInDevices()[2] = L"hw:1";
    CTYXGVMS::FixedAudioOutDevices()[1] = L"default";
    CTYXGVMS::GeneralSettings().GlobalFramerate = 25.0f;
    const int32_t result = LoadSources(5,
        "<V id=\"1\"><MSTYPE>VCAP</MSTYPE><CapDvcNo>1</CapDvcNo><Stream id=\"7\"><FrameWidth>1280</FrameWidth>"
        "<FrameHeight>720</FrameHeight><OutputFramerate>5</OutputFramerate><DirectOutput>yes</DirectOutput>"
        "<outputOn>FullScreen</outputOn></Stream></V>"
        "<A id=\"2\"><MSTYPE>ACAP</MSTYPE><CapDvcNo>2</CapDvcNo><Stream id=\"1\"><SampleRate>48000</SampleRate>"
        "<ChannelNum>2</ChannelNum><DirectOutput>yes</DirectOutput><OutputDeviceNo>3</OutputDeviceNo></Stream></A>"
        "<Missing id=\"3\"><MSTYPE>VCAP</MSTYPE><CapDvcNo>3</CapDvcNo></Missing>"
        "<NoDevice id=\"4\"><MSTYPE>ACAP</MSTYPE></NoDevice>"
        "<Zero id=\"5\"><MSTYPE>VCAP</MSTYPE><CapDvcNo>0</CapDvcNo></Zero>");
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(m_log.Contains(L"Configuration: video capture adapter No(3) referenced by MWreader No(3) not found in RVI list, give up it.", 3));
    EXPECT_EQ(m_log.Count(L"MWreader No(4)", 3), 0);
    EXPECT_EQ(m_log.Count(L"MWreader No(5)", 3), 0);
    ASSERT_EQ(CTYXGVMS::MSReaderConfigs().size(), 2u);

    const stMediaSourceReadWorkerConfig &video = Source(L"V");
    EXPECT_EQ(video.MSFullPath, L"/dev/video0");
    ASSERT_EQ(video.Streams.size(), 1u);
    const stTYXStreamConfig &picture = video.Streams.at(1);
    EXPECT_EQ(picture.StreamId, 0x01010001);
    EXPECT_EQ(picture.StrmAlias, L"V");
    EXPECT_EQ(picture.MediaType, 0);
    EXPECT_EQ(picture.FrameWidth, 1280);
    EXPECT_EQ(picture.OutputFramerate, 25.0f); // 5 is out of range: the global rate
    EXPECT_EQ(picture.DirectOutputSettings.DirectOutput, 1);
    EXPECT_EQ(picture.DirectOutputSettings.outputOn, 4);
    EXPECT_EQ(picture.DirectOutputSettings.OutputDeviceNo, -1);
    EXPECT_EQ(video.InputStreamTypes, 0x16);

    const stTYXStreamConfig &sound = Source(L"A").Streams.at(1);
    EXPECT_EQ(Source(L"A").MSFullPath, L"hw:1");
    EXPECT_EQ(sound.MediaType, 1);
    EXPECT_EQ(sound.SampleRate, 48000);
    EXPECT_EQ(sound.AudioDirectOutput, 1);
    EXPECT_TRUE(sound.AudioOutputDevice.empty());
    EXPECT_TRUE(m_log.Contains(L"Configuration: Audio renderering device No(3) referenced not found in RAO list, use default.", 3));

    CTYXGVMS::GeneralSettings().GlobalFramerate = 0.0f;
    LoadSources(1, "<V id=\"1\"><MSTYPE>VCAP</MSTYPE><CapDvcNo>1</CapDvcNo><Stream><OutputFramerate>5</OutputFramerate>"
                   "<DirectOutput>yes</DirectOutput><outputOn>Elsewhere</outputOn></Stream></V>");
    EXPECT_EQ(Source(L"V").Streams.at(1).OutputFramerate, 30.0f);
    EXPECT_EQ(Source(L"V").Streams.at(1).DirectOutputSettings.DirectOutput, 0);
}

TEST_F(MediaSourcesLoaderTest, StreamTimingKeys)
{
    auto stream = [](const std::string &keys, const std::string &type = "Video") {
        return "<Stream id=\"1\"><StrmType>" + type + "</StrmType>" + keys + "</Stream>";
    };
    auto source = [](const std::string &name, int id, const std::string &streams, const std::string &extra = "") {
        return "<" + name + " id=\"" + std::to_string(id) + "\"><MSTYPE>FILE</MSTYPE><MSFullPath>f.mp4</MSFullPath>"
               "<STRMCOUNT>1</STRMCOUNT>" + streams + extra + "</" + name + ">";
    };
    LoadSources(6, source("Zero", 1, stream("<EstmtDly>0</EstmtDly>")) +
                       source("Big", 2, stream("<EstmtDly>20000</EstmtDly>", "Audio")) +
                       source("Ntp", 3, stream("<EstmtDly>500</EstmtDly><PktInBlock>yes</PktInBlock>"), "<UseNTP>yes</UseNTP>") +
                       source("Block", 4, stream("<PktInBlock>yes</PktInBlock><PktItvMax>201</PktItvMax>"
                                                 "<PktGrpItvMax>11</PktGrpItvMax>")) +
                       source("Cache", 5, stream("<ProactiveCache>60001</ProactiveCache><EstmtDly>10000</EstmtDly>")) +
                       source("Keep", 6, stream("<ProactiveCache>60000</ProactiveCache>")));
    EXPECT_EQ(Source(L"Zero").Streams.at(1).EstmtDly, 300);
    EXPECT_EQ(Source(L"Big").Streams.at(1).EstmtDly, 150);
    EXPECT_EQ(Source(L"Ntp").Streams.at(1).EstmtDly, 0);
    EXPECT_EQ(Source(L"Ntp").Streams.at(1).PktInBlock, 0);
    const stTYXStreamConfig &block = Source(L"Block").Streams.at(1);
    EXPECT_EQ(block.PktInBlock, 1);
    EXPECT_EQ(block.PktItvMax, 50);
    EXPECT_EQ(block.PktGrpItvMax, 11);
    EXPECT_EQ(block.BlocksSkipAtBegin, 6);
    EXPECT_EQ(Source(L"Zero").Streams.at(1).PktItvMax, 0);
    const stTYXStreamConfig &cache = Source(L"Cache").Streams.at(1);
    EXPECT_EQ(cache.ProactiveCache, 0);
    EXPECT_EQ(cache.EstmtDly, 10000);
    EXPECT_EQ(Source(L"Keep").Streams.at(1).ProactiveCache, 60000);
}

// A GBK file with Chinese names loads, and the names find their worker and stream (the reader
// tests read every other encoding).
TEST_F(MediaSourcesLoaderTest, EncodingsLoadTheSameRecords)
{
    const std::string body =
        "<Config><MediaSources><MSCount>1</MSCount><摄像机 id=\"1\"><DisplayName>一号</DisplayName>"
        "<MSTYPE>FILE</MSTYPE><MSFullPath>media/视频.mp4</MSFullPath><STRMCOUNT>1</STRMCOUNT>"
        "<Stream id=\"1\"><StrmType>Video</StrmType><StrmAlias>主码流</StrmAlias></Stream></摄像机>"
        "</MediaSources></Config>\n";
    const std::pair<const char *, std::string> files[] = {
        {"utf8.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body},
        {"utf16.xml", AsUtf16Le("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + body)},
        {"gbk.xml", AsGbk("<?xml version=\"1.0\" encoding=\"GBK\"?>\n" + body)},
    };
    for (const auto &[name, bytes] : files) {
        SCOPED_TRACE(name);
        ASSERT_EQ(LoadMSReadersConfigXml(Write(name, bytes)), 1);
        const stMediaSourceReadWorkerConfig &source = Source(L"摄像机");
        EXPECT_EQ(source.DisplayName, L"一号");
        EXPECT_EQ(source.MSFullPath, L"media/视频.mp4");
        EXPECT_EQ(source.Streams.at(1).StrmAlias, L"主码流");
        EXPECT_EQ(ResolveWorkerId(L"MediaSources.摄像机.VideoOutput.ByName.主码流", 4), 0x01010001);
    }
}

TEST_F(MediaSourcesLoaderTest, ReferencesResolveAgainstTheRegistry)
{
    LoadSources(1, "<Cam1 id=\"1\"><MSTYPE>FILE</MSTYPE><MSFullPath>f.mp4</MSFullPath><STRMCOUNT>2</STRMCOUNT>"
                   "<Stream id=\"1\"><StrmType>Audio</StrmType><StrmAlias>Sound</StrmAlias></Stream>"
                   "<Stream id=\"2\"><StrmType>Video</StrmType><StrmAlias>Picture</StrmAlias></Stream></Cam1>");
    EXPECT_EQ(ResolveWorkerId(L"MediaSources.cam1.VideoOutput", 4), 0x01010002);
    EXPECT_EQ(ResolveWorkerId(L"MediaSources.CAM1.AudioOutput", 3), 0x01010001);
    EXPECT_EQ(ResolveWorkerId(L"MediaSources.Cam1.VideoOutput.ById.2", 4), 0x01010002);
    EXPECT_EQ(ResolveWorkerId(L"MediaSources.Cam1.VideoOutput.ById.3", 4), 0);
    EXPECT_EQ(ResolveWorkerId(L"MediaSources.Cam1.VideoOutput.ById.-1", 4), -2);
    EXPECT_EQ(ResolveWorkerId(L"MediaSources.Cam1.AudioOutput.ByName.picture", 9), 0x01010002);
    EXPECT_EQ(ResolveWorkerId(L"MediaSources.Cam1", 4), 0x01010000); // the worker itself
    EXPECT_EQ(ResolveWorkerId(L"MediaSources.Cam1.VideoOutput", 8), -16);
    EXPECT_EQ(ResolveWorkerId(L"MediaSources.Cam9.VideoOutput", 4), -1);
    EXPECT_EQ(ResolveWorkerId(L"AudioMidProcessors.Cam1", 9), 0);
    EXPECT_EQ(ResolveWorkerId(L"Nowhere.Cam1", 4), -2);

    std::map<int32_t, std::wstring> ids;
    EXPECT_EQ(ResolveWorkerIdList(L"MediaSources.Cam1.VideoOutput, MediaSources.Cam1.AudioOutput,"
                                  L"MediaSources.cam1.VideoOutput.ById.2,MediaSources.X.VideoOutput", ids), 3);
    EXPECT_EQ(ids, (std::map<int32_t, std::wstring>{{0x01010001, L"MediaSources.Cam1.AudioOutput"},
                                                    {0x01010002, L"MediaSources.Cam1.VideoOutput"}}));

    const stTYXWorkerConfig *config = nullptr;
    EXPECT_EQ(FindWorkerConfigByAlias(1, L"cAm1", &config), 0x01010000);
    EXPECT_EQ(config, &Source(L"Cam1"));
    EXPECT_EQ(FindWorkerConfigByAlias(4, L"Cam1", &config), -1);
    EXPECT_EQ(config, nullptr);
    EXPECT_TRUE(HasWorkerConfig(CTYXGVMS::MSReaderConfigs(), 0x01010000, L"x"));
    EXPECT_TRUE(HasWorkerConfig(CTYXGVMS::MSReaderConfigs(), 5, L"CAM1"));
    EXPECT_FALSE(HasWorkerConfig(CTYXGVMS::MSReaderConfigs(), 5, L"Cam2"));
}

TEST_F(MediaSourcesLoaderTest, LoadOrderCountsOnlySectionsWithItemsAndPrintsOnlyWithScreenOutput)
{
    const auto path = m_dir.File("StreamCfg.xml");
    WriteBytes(path, "<Config><MediaSources><MSCount>0</MSCount>" + FileSource("A", 1) + "</MediaSources></Config>");
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadWorkersConfigXml(WidePath(path).c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(CTYXGVMS::LoadSeqCounter(), 0);

    WriteBytes(path, "<Config><MediaSources><MSCount>1</MSCount>" + FileSource("A", 1) + "</MediaSources></Config>");
    CTYXGVMS::LoadSeqCounter() = 9; // the driver starts the count afresh
    EXPECT_EQ(LoadWorkersConfigXml(WidePath(path).c_str()), 1);
    EXPECT_EQ(CTYXGVMS::LoadSeqCounter(), 1);
    EXPECT_EQ(Source(L"A").LoadSeq, 1);
}

// A section that refused some items still registered the others, and the console says how many.
TEST_F(MediaSourcesLoaderTest, DriverCountsWhatASectionWithFaultsRegistered)
{
    const auto path = m_dir.File("StreamCfg.xml");
    WriteBytes(path, "<Config><MediaSources><MSCount>2</MSCount>" + FileSource("A", 1) +
                         "<B id=\"2\"><MSTYPE>HTTP</MSTYPE></B></MediaSources></Config>");
    CTYXWorker::SetProcessScreenOutput(true);
    testing::internal::CaptureStdout();
    const int32_t total = LoadWorkersConfigXml(WidePath(path).c_str());
    const std::string printed = testing::internal::GetCapturedStdout();
    CTYXWorker::SetProcessScreenOutput(false);
    EXPECT_EQ(total, 1);
    EXPECT_NE(printed.find("\t\t Loading media source readers configurations...[1] loaded.\n"), std::string::npos) << printed;
}

// Every loader opens the file for itself; a file that does not parse is reported once at its
// level, not once per loader.
TEST_F(MediaSourcesLoaderTest, ABrokenFileIsReportedOnce)
{
    const auto path = m_dir.File("StreamCfg.xml");
    WriteBytes(path, "<Config><MediaSources>\n</Config>");
    const std::wstring file = WidePath(path);
    EXPECT_EQ(LoadWorkersConfigXml(file.c_str()), 0);
    EXPECT_EQ(LoadOSDConfigXml(file), -4);
    EXPECT_EQ(LoadOSGConfigXml(file), -4);
    EXPECT_EQ(m_log.Count(L"Configuration: Loading file(" + file + L") failed", 2), 1);
    EXPECT_EQ(m_log.Count(L"Configuration: Loading file(" + file + L") failed", 6), 8);
    // Mended and broken again, it is reported again.
    WriteBytes(path, "<Config/>");
    EXPECT_EQ(LoadMSReadersConfigXml(file), 0);
    WriteBytes(path, "<Config>");
    EXPECT_EQ(LoadMSReadersConfigXml(file), -4);
    EXPECT_EQ(m_log.Count(L"Configuration: Loading file(" + file + L") failed", 2), 2);
}

TEST_F(MediaSourcesLoaderTest, MissingFileChangesNoRegistry)
{
    LoadSources(1, FileSource("Kept", 1));
    EXPECT_EQ(LoadMSReadersConfigXml(WidePath(m_dir.File("none.xml"))), -4);
    EXPECT_EQ(CTYXGVMS::MSReaderConfigs().count(L"Kept"), 1u);
    EXPECT_EQ(LoadWorkersConfigXml(nullptr), -1);
    const std::wstring missing = WidePath(m_dir.File("none.xml"));
    EXPECT_EQ(LoadWorkersConfigXml(missing.c_str()), 0);
}

} // namespace
