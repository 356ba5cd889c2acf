#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"
#include "config/StreamCfgText.h"

#include <gtest/gtest.h>

namespace {

// Decoders, encoders and writers, each loaded behind the sections that they reference.
class CodecWriterLoadersTest : public CConfigFileTest
{
protected:
    // Writes the document and loads its sources; the path for the loaders under test.
    std::wstring WriteWithSources(const std::string &sections)
    {
        const std::wstring path = Write("StreamCfg.xml", Document(sections));
        EXPECT_GT(LoadMSReadersConfigXml(path), 0);
        return path;
    }

    // The sources and decoders of TwoDecodedSources, then the given sections.
    std::wstring WriteWithDecoders(const std::string &sections)
    {
        const std::wstring path = WriteWithSources(TwoDecodedSources() + sections);
        EXPECT_EQ(LoadVideoDecodersConfigXml(path), 2);
        return path;
    }

    static const stVideoDecodeWorkerConfig &Decoder(const wchar_t *name)
    {
        return CTYXGVMS::VideoDecoderConfigs().at(name);
    }
    static const stVideoEncodeWorkerConfig &Encoder(const wchar_t *name)
    {
        return CTYXGVMS::VideoEncoderConfigs().at(name);
    }
    static const stAudioEncodeWorkerConfig &AudioEncoder(const wchar_t *name)
    {
        return CTYXGVMS::AudioEncoderConfigs().at(name);
    }
    static const stMediaWriteWorkerConfig &Writer(const wchar_t *name) { return CTYXGVMS::MWriterConfigs().at(name); }
};

std::string VideoDecoders(int count, const std::string &items)
{
    return Section("VideoDecoders", "VDCDCount", count, items);
}

std::string VideoEncoders(int count, const std::string &items)
{
    return Section("VideoEncoders", "VECDCount", count, items);
}

// An encoder of decoder D1's pictures with extra keys.
std::string EncoderItem(const std::string &name, int id, const std::string &keys)
{
    return Item(name, id, Key("VCodec", "H264") + Key("VideoSource", "VideoDecoders.D1.VideoOutput") + keys);
}

std::string AudioEncoderItem(const std::string &name, int id, const std::string &keys)
{
    return Item(name, id, Key("ACodec", "AAC") + Key("AudioSource", "AudioDecoders.A1.AudioOutput") + keys);
}

std::string Writers(int count, const std::string &items)
{
    return Section("MediaWriters", "MWCount", count, items);
}

std::string FileWriterItem(const std::string &name, int id, const std::string &keys)
{
    return Item(name, id, Key("MWType", "FILE") + Key("VideoStreams", "MediaSources.S1.VideoOutput") + keys);
}

TEST_F(CodecWriterLoadersTest, VideoDecoderKeysAndItems)
{
    CTYXGVMS::GeneralSettings().GlobalFramerate = 25.0f;
    const std::wstring path = WriteWithSources(
        Section("MediaSources", "MSCount", 1, FileSourceItem("Cam", 1)) +
        VideoDecoders(4,
                      Item("Plain", 1, Key("VideoSource", "mediasources.CAM.videooutput")) +
                          Item("Soft", 2,
                               Key("VideoSource", "MediaSources.Cam.VideoOutput") + Key("DecoderType", "ffmpg") +
                                   Key("HwAcclrt", "directx") + Key("RVTP", "yes") + Key("OutputFramerate", "5") +
                                   Key("DirectOutput", "True") + Key("outputOn", "FullScreen") +
                                   Key("PushAtBegin", "On")) +
                          Item("Odd", 3,
                               Key("VideoSource", "MediaSources.Cam.VideoOutput") + Key("DecoderType", "VPU") +
                                   Key("HwAcclrt", "VAAPI") + Key("OutputFramerate", "50") +
                                   Key("DirectOutput", "True") + Key("outputOn", "NewWindow") +
                                   Key("WindowWidth", "640") + Key("WindowHeight", "360")) +
                          Item("Ghost", 4, Key("VideoSource", "MediaSources.Nobody.VideoOutput"))));
    EXPECT_EQ(LoadVideoDecodersConfigXml(path), 3);

    const stVideoDecodeWorkerConfig &plain = Decoder(L"Plain");
    EXPECT_EQ(plain.WorkerId, 0x02010000);
    EXPECT_EQ(plain.LoadSeq, 2);
    EXPECT_EQ(plain.DecoderType, 1);
    EXPECT_EQ(plain.HwAcclrt, 0);
    EXPECT_EQ(plain.VideoSource, 0x01010001);
    EXPECT_EQ(plain.VideoSourceName, L"mediasources.CAM.videooutput");
    EXPECT_EQ(plain.OutputFramerate, 25.0f); // the global rate
    EXPECT_EQ(plain.OutputItems.size(), 1u); // registered with its items

    const stVideoDecodeWorkerConfig &soft = Decoder(L"Soft");
    EXPECT_EQ(soft.DecoderType, 0);
    EXPECT_EQ(soft.HwAcclrt, 32);
    EXPECT_EQ(soft.OutputFramerate, 25.0f);
    EXPECT_EQ(soft.DirectOutputSettings.DirectOutput, 1);
    EXPECT_EQ(soft.DirectOutputSettings.outputOn, 4);
    EXPECT_EQ(soft.DirectOutputSettings.OutputDeviceNo, -1);
    EXPECT_EQ(soft.PushAtBegin, 1);

    const stVideoDecodeWorkerConfig &odd = Decoder(L"Odd");
    EXPECT_EQ(odd.DecoderType, 0); // an unknown engine is the software one
    EXPECT_EQ(odd.HwAcclrt, 0);
    EXPECT_EQ(odd.OutputFramerate, 50.0f);
    EXPECT_EQ(odd.DirectOutputSettings.WindowWidth, 640);
    EXPECT_EQ(odd.DirectOutputSettings.WindowHeight, 360);
    // Unknown words keep the defaults, the decoder of an unknown source is dropped: a line each.
    EXPECT_TRUE(m_log.Contains(L"Configuration:Decoder(No=3, Name=Odd) DecoderType(VPU) is no codec engine "
                               L"(NVGPU, FFMPG, ITLGPU, AMDGPU), FFMPG is used.", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:Decoder(No=3, Name=Odd) HwAcclrt(VAAPI) is no hardware acceleration", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:Decoder(No=4, Name=Ghost) VideoSource(MediaSources.Nobody.VideoOutput) "
                               L"names no worker Nobody among the MediaSources configured before it, Skip it!", 3));
    EXPECT_EQ(m_log.Count(L"Configuration:", 3), 3);
}

TEST_F(CodecWriterLoadersTest, DecoderFaultsDropOnlyTheirItem)
{
    CTYXWorker::SetProcessScreenOutput(true);
    const auto file = m_dir.File("StreamCfg.xml");
    WriteBytes(file, Document(Section("MediaSources", "MSCount", 1, FileSourceItem("Cam", 1)) +
                              VideoDecoders(5, Item("D1", 1, Key("VideoSource", "MediaSources.Cam.VideoOutput")) +
                                                   Item("d1", 2, Key("VideoSource", "MediaSources.Cam.VideoOutput")) +
                                                   Item("Other", 1, Key("VideoSource", "MediaSources.Cam.VideoOutput")) +
                                                   Item("Empty", 3, Key("VideoSource", "")) +
                                                   Item("FromDecoder", 4, Key("VideoSource", "VideoDecoders.D1.VideoOutput")) +
                                                   Item("Last", 5, Key("VideoSource", "MediaSources.Cam.VideoOutput")))));
    testing::internal::CaptureStdout();
    const std::wstring path = WidePath(file);
    const int32_t total = LoadWorkersConfigXml(path.c_str());
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(total, 3); // one source and two decoders
    EXPECT_NE(printed.find("\t\t Loading video decoders configurations...[2] loaded.\n"), std::string::npos);
    EXPECT_TRUE(m_log.Contains(L"Configuration:Decoder(No=2, Name=d1) configured duplicated!, Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:Decoder(No=1, Name=Other) configured duplicated!, Skip it!", 3));
    EXPECT_EQ(CTYXGVMS::VideoDecoderConfigs().count(L"Last"), 1u);
    EXPECT_EQ(CTYXGVMS::VideoDecoderConfigs().count(L"FromDecoder"), 0u); // a decoder cannot feed a decoder
    EXPECT_TRUE(m_log.Contains(L"Configuration:Decoder(No=3, Name=Empty) VideoSource is missing or empty, Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:Decoder(No=4, Name=FromDecoder) VideoSource(VideoDecoders.D1.VideoOutput) "
                               L"names a worker of VideoDecoders, which cannot feed one of VideoDecoders, Skip it!", 3));
    // Without a configured or global rate, the decoder keeps its input's rate.
    EXPECT_EQ(Decoder(L"D1").OutputFramerate, -2.0f);
}

// A decoder takes coded video from a source's output stream: an audio stream, or the source
// itself (a reference without a role), would link it to nothing it can decode.
TEST_F(CodecWriterLoadersTest, DecodersTakeOnlyVideoStreams)
{
    const std::wstring path = WriteWithSources(
        Section("MediaSources", "MSCount", 1, FileSourceItem("Cam", 1)) +
        VideoDecoders(512, Item("Sound", 1, Key("VideoSource", "MediaSources.Cam.AudioOutput")) +
                               Item("Bare", 2, Key("VideoSource", "MediaSources.Cam")) +
                               Item("ByNumber", 3, Key("VideoSource", "MediaSources.Cam.AudioOutput.ById.2")) +
                               Item("Good", 4, Key("VideoSource", "MediaSources.Cam.VideoOutput.ById.1")) +
                               Item("Last", 511, Key("VideoSource", "MediaSources.Cam.VideoOutput")) +
                               Item("Beyond", 512, Key("VideoSource", "MediaSources.Cam.VideoOutput"))));
    EXPECT_EQ(LoadVideoDecodersConfigXml(path), 2);
    EXPECT_EQ(Decoder(L"Good").VideoSource, 0x01010001);
    EXPECT_EQ(Decoder(L"Last").WorkerId, 0x03FF0000);
    for (const wchar_t *line : {
             L"Configuration:Decoder(No=1, Name=Sound) VideoSource(MediaSources.Cam.AudioOutput) names a stream that is "
             L"no video, Skip it!",
             L"Configuration:Decoder(No=2, Name=Bare) VideoSource(MediaSources.Cam) names the worker Cam itself, not one "
             L"of its output streams (add a role such as VideoOutput), Skip it!",
             L"Configuration:Decoder(No=3, Name=ByNumber) VideoSource(MediaSources.Cam.AudioOutput.ById.2) names a stream "
             L"that is no video, Skip it!",
             L"Configuration:Decoder(No=512, Name=Beyond) id(512) is above 511"})
        EXPECT_EQ(m_log.Count(line, 3), 1) << std::wstring(line);
}

TEST_F(CodecWriterLoadersTest, AudioDecoderRenderingDevice)
{
    CTYXGVMS::FixedAudioOutDevices()[1] = L"hw:0";
    const std::wstring path = WriteWithSources(
        Section("MediaSources", "MSCount", 1, FileSourceItem("Cam", 1)) +
        Section("AudioDecoders", "ADCDCount", 3,
                Item("A1", 1,
                     Key("AudioSource", "MediaSources.Cam.AudioOutput") + Key("DirectOutput", "True") +
                         Key("OutputDeviceNo", "1") + Key("PushAtBegin", "True")) +
                    Item("A2", 2,
                         Key("AudioSource", "MediaSources.Cam.AudioOutput") + Key("DirectOutput", "True") +
                             Key("OutputDeviceNo", "7")) +
                    // No duplicate check here: the same number under another name registers too.
                    Item("A3", 2, Key("AudioSource", "MediaSources.Cam.AudioOutput"))));
    EXPECT_EQ(LoadAudioDecodersConfigXml(path), 3);
    const auto &decoders = CTYXGVMS::AudioDecoderConfigs();
    EXPECT_EQ(decoders.at(L"A1").WorkerId, 0x0A010000);
    EXPECT_EQ(decoders.at(L"A1").AudioSource, 0x01010002);
    EXPECT_EQ(decoders.at(L"A1").AudioOutputDevice, L"hw:0");
    EXPECT_EQ(decoders.at(L"A1").OutputDeviceNo, -1);
    EXPECT_EQ(decoders.at(L"A1").PushAtBegin, 1);
    EXPECT_TRUE(decoders.at(L"A2").AudioOutputDevice.empty());
    EXPECT_TRUE(m_log.Contains(L"Configuration: Audio renderering device No(7) referenced not found in RAO list, use default.", 3));
    EXPECT_EQ(decoders.at(L"A3").WorkerId, decoders.at(L"A2").WorkerId);

    // Without a duplicate check a repeated name still loses its place, and says so.
    const std::wstring again = WriteWithSources(
        Section("MediaSources", "MSCount", 1, FileSourceItem("Cam", 1)) +
        Section("AudioDecoders", "ADCDCount", 2,
                Item("A1", 1, Key("AudioSource", "MediaSources.Cam.AudioOutput")) +
                    Item("A1", 2, Key("AudioSource", "MediaSources.Cam.VideoOutput")) +
                    Item("A1", 2, Key("AudioSource", "MediaSources.Cam.AudioOutput"))));
    CTYXGVMS::AudioDecoderConfigs().clear();
    EXPECT_EQ(LoadAudioDecodersConfigXml(again), 1);
    EXPECT_TRUE(m_log.Contains(L"Configuration:AudioDecoder(No=2, Name=A1) AudioSource(MediaSources.Cam.VideoOutput) "
                               L"names a stream that is no audio, Skip it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:AudioDecoder(No=2, Name=A1) configured duplicated!, Skip it!", 3));
}

TEST_F(CodecWriterLoadersTest, VideoEncoderProfilesAndCodecs)
{
    const std::wstring path = WriteWithDecoders(VideoEncoders(
        7, Item("Hevc", 1,
                Key("VCodec", "HEVC") + Key("Profile", "high") + Key("VideoSource", "VideoDecoders.D1.VideoOutput") +
                    Key("EncoderType", "NVGPU") + Key("HwAcclrt", "DIRECTX")) +
               EncoderItem("Avc", 2, Key("Profile", "HIGH") + Key("HwAcclrt", "nvcodec") + Key("EncoderType", "ffmpg")) +
               EncoderItem("Long", 3, Key("Preset", "p1-slowest-of-all") + Key("Usage", "transcoding")) +
               Item("NoCodec", 4, Key("VideoSource", "VideoDecoders.D1.VideoOutput")) +
               Item("BadCodec", 5, Key("VCodec", "VP9") + Key("VideoSource", "VideoDecoders.D1.VideoOutput")) +
               Item("FromSource", 6, Key("VCodec", "H264") + Key("VideoSource", "MediaSources.S1.VideoOutput")) +
               EncoderItem("Last", 7, "")));
    EXPECT_EQ(LoadVideoEncodersConfigXml(path), 4);
    const stVideoEncodeWorkerConfig &hevc = Encoder(L"Hevc");
    EXPECT_EQ(hevc.WorkerId, 0x06010000);
    EXPECT_EQ(hevc.VCodec, 173);
    EXPECT_EQ(hevc.Profile, L"main"); // "high" is no HEVC profile
    EXPECT_EQ(hevc.EncoderType, 1);
    EXPECT_EQ(hevc.HwAcclrt, 0);      // encoders know no DIRECTX
    EXPECT_EQ(hevc.VideoSource, 0x02010001);
    const stVideoEncodeWorkerConfig &avc = Encoder(L"Avc");
    EXPECT_EQ(avc.Profile, L"HIGH");
    EXPECT_EQ(avc.HwAcclrt, 1);
    EXPECT_EQ(avc.EncoderType, 0);
    EXPECT_EQ(avc.LowLatency, 1);
    EXPECT_EQ(avc.OutputFramerate, -2.0f);
    EXPECT_TRUE(Encoder(L"Long").Preset.empty());
    EXPECT_EQ(Encoder(L"Long").Usage, L"transcoding");
    EXPECT_EQ(Encoder(L"Last").Profile, L"main");
    EXPECT_EQ(CTYXGVMS::VideoEncoderConfigs().count(L"FromSource"), 0u); // sources feed no encoder
    for (const wchar_t *line : {
             L"Configuration:Encoder(No=1, Name=Hevc) Profile(high) is no profile of HEVC, main is used.",
             L"Configuration:Encoder(No=1, Name=Hevc) HwAcclrt(DIRECTX) is no hardware acceleration of encoders",
             L"Configuration:Encoder(No=3, Name=Long) Preset(p1-slowest-of-all) is longer than 15 characters, ignored it!",
             L"Configuration:Encoder(No=4, Name=NoCodec) VCodec is missing or empty, Skip it!",
             L"Configuration:Encoder(No=5, Name=BadCodec) VCodec(VP9) is no codec it knows",
             L"Configuration:Encoder(No=6, Name=FromSource) VideoSource(MediaSources.S1.VideoOutput) names a worker of "
             L"MediaSources, which cannot feed one of VideoEncoders, Skip it!"})
        EXPECT_EQ(m_log.Count(line, 3), 1) << std::wstring(line);
    EXPECT_EQ(m_log.Count(L"Configuration:", 3), 6);
}

TEST_F(CodecWriterLoadersTest, VideoEncoderPictureAndRateBounds)
{
    const std::wstring path = WriteWithDecoders(VideoEncoders(
        8, EncoderItem("Hd", 1, Key("Width", "1920") + Key("Height", "1080")) +
               EncoderItem("Sd", 2, Key("Width", "1280") + Key("Height", "720") + Key("GopLengh", "0")) +
               EncoderItem("Uhd", 3, Key("Width", "3840") + Key("Height", "2160") + Key("GopLengh", "901")) +
               EncoderItem("Low", 4, Key("BitRate", "100") + Key("Width", "100") + Key("Height", "20000") +
                                         Key("GopLengh", "900") + Key("LowLatency", "False")) +
               EncoderItem("Zero", 5, Key("Width", "0") + Key("BitRate", "-1")) +
               EncoderItem("Huge", 6, Key("Width", "70000") + Key("Height", "-5") + Key("BitRate", "40000")) +
               EncoderItem("Fast", 7, Key("OutputFramerate", "60") + Key("BitRate", "8000")) +
               Item("Dup", 7, Key("VCodec", "H264") + Key("VideoSource", "VideoDecoders.D1.VideoOutput"))));
    EXPECT_EQ(LoadVideoEncodersConfigXml(path), 7);
    EXPECT_EQ(Encoder(L"Hd").BitRate, 1500);
    EXPECT_EQ(Encoder(L"Sd").BitRate, 1000);
    EXPECT_EQ(Encoder(L"Sd").GopLengh, 90);
    EXPECT_EQ(Encoder(L"Uhd").BitRate, 4000);
    EXPECT_EQ(Encoder(L"Uhd").GopLengh, 90);
    EXPECT_EQ(Encoder(L"Low").BitRate, 256);
    EXPECT_EQ(Encoder(L"Low").Width, 320);
    EXPECT_EQ(Encoder(L"Low").Height, 8640);
    EXPECT_EQ(Encoder(L"Low").GopLengh, 900);
    EXPECT_EQ(Encoder(L"Low").LowLatency, 0);
    EXPECT_EQ(Encoder(L"Zero").Width, 0);
    EXPECT_EQ(Encoder(L"Zero").Height, 0);
    EXPECT_EQ(Encoder(L"Zero").BitRate, 32000); // taken as unsigned
    EXPECT_EQ(Encoder(L"Huge").Width, 15360);   // held, not wrapped
    EXPECT_EQ(Encoder(L"Huge").Height, 0);
    EXPECT_EQ(Encoder(L"Huge").BitRate, 32000);
    EXPECT_EQ(Encoder(L"Fast").OutputFramerate, 60.0f);
    EXPECT_EQ(Encoder(L"Fast").BitRate, 8000);
    EXPECT_TRUE(m_log.Contains(L"Configuration:Encoder(No=7, Name=Dup) configured duplicated!, Skip it!", 3));
}

TEST_F(CodecWriterLoadersTest, AudioEncoderBounds)
{
    const std::wstring path = WriteWithSources(
        Section("MediaSources", "MSCount", 1, FileSourceItem("S1", 1)) +
        Section("AudioDecoders", "ADCDCount", 1, Item("A1", 1, Key("AudioSource", "MediaSources.S1.AudioOutput"))) +
        Section("AudioEncoders", "AECDCount", 7,
                AudioEncoderItem("Plain", 1, "") +
                    AudioEncoderItem("Rate64", 2, Key("BitRate", "64") + Key("Samplerate", "4000")) +
                    AudioEncoderItem("Bounds", 3, Key("BitRate", "5000") + Key("Samplerate", "-1") +
                                                      Key("Channels", "9") + Key("Bitdepth", "7")) +
                    AudioEncoderItem("Wide", 4, Key("BitRate", "16") + Key("Samplerate", "48000") +
                                                    Key("Channels", "262") + Key("Bitdepth", "24")) +
                    Item("NoCodec", 5, Key("AudioSource", "AudioDecoders.A1.AudioOutput")) +
                    Item("FromSource", 6, Key("ACodec", "AAC") + Key("AudioSource", "MediaSources.S1.AudioOutput")) +
                    AudioEncoderItem("Last", 7, Key("PushAtBegin", "yes"))));
    ASSERT_EQ(LoadAudioDecodersConfigXml(path), 1);
    EXPECT_EQ(LoadAudioEncodersConfigXml(path), 5);
    const stAudioEncodeWorkerConfig &plain = AudioEncoder(L"Plain");
    EXPECT_EQ(plain.WorkerId, 0x0E010000);
    EXPECT_EQ(plain.ACodec, 86018);
    EXPECT_EQ(plain.AudioSource, 0x0A010001);
    EXPECT_EQ(plain.BitRate, 128);
    EXPECT_EQ(plain.Channels, 2);
    EXPECT_EQ(plain.Samplerate, 0);
    EXPECT_EQ(plain.Bitdepth, 16);
    EXPECT_EQ(AudioEncoder(L"Rate64").BitRate, 64);
    EXPECT_EQ(AudioEncoder(L"Rate64").Channels, 0);
    EXPECT_EQ(AudioEncoder(L"Rate64").Samplerate, 8000);
    EXPECT_EQ(AudioEncoder(L"Bounds").BitRate, 1024);
    EXPECT_EQ(AudioEncoder(L"Bounds").Samplerate, 1920000); // taken as unsigned
    EXPECT_EQ(AudioEncoder(L"Bounds").Channels, 2);
    EXPECT_EQ(AudioEncoder(L"Bounds").Bitdepth, 16);
    EXPECT_EQ(AudioEncoder(L"Wide").BitRate, 32);
    EXPECT_EQ(AudioEncoder(L"Wide").Samplerate, 48000);
    EXPECT_EQ(AudioEncoder(L"Wide").Channels, 6); // the low byte of 262
    EXPECT_EQ(AudioEncoder(L"Wide").Bitdepth, 24);
    EXPECT_EQ(AudioEncoder(L"Last").PushAtBegin, 1);
}

TEST_F(CodecWriterLoadersTest, FileWriterRecordSettings)
{
    const std::wstring path = WriteWithSources(
        TwoDecodedSources() +
        Writers(6, FileWriterItem("Plain", 1, Key("RootFolder", "/srv/records")) +
                       FileWriterItem("Wav", 2, Key("RootFolder", "/srv/records") + Key("Container", "WAV")) +
                       FileWriterItem("Asf", 3, Key("RootFolder", "/srv/records") + Key("Container", "ASF") +
                                                    Key("SegmentLength", "2") + Key("StorageLife", "400") +
                                                    Key("SpaceWarnLimit", "20000")) +
                       FileWriterItem("Full", 4, Key("RootFolder", "/srv/records") + Key("Container", "mov") +
                                                     Key("SubFolderDate", "True") + Key("SubFolderCaseNo", "yes") +
                                                     Key("CaseNamePrefix", "On") + Key("CyclePrefix", "T") +
                                                     Key("SaveRecordFileList", "True") +
                                                     Key("ContentsSuffix", "cam") + Key("SegmentLength", "120") +
                                                     Key("StorageLife", "7") + Key("SpaceWarnLimit", "409600") +
                                                     Key("PushAtBegin", "True")) +
                       FileWriterItem("NoRoot", 5, "") +
                       FileWriterItem("Escape", 6, Key("RootFolder", "/srv/records") + Key("ContentsSuffix", "../up"))));
    EXPECT_EQ(LoadMWritersConfigXml(path), 5);
    const stMediaWriteWorkerConfig &plain = Writer(L"Plain");
    EXPECT_EQ(static_cast<uint32_t>(plain.WorkerId), 0x10010004u);
    EXPECT_EQ(plain.MWType, 1);
    EXPECT_EQ(plain.PushAtBegin, 0);
    ASSERT_TRUE(plain.RecordSettings);
    EXPECT_EQ(plain.RecordSettings->Container, 4); // absent: MP4 all the same
    EXPECT_EQ(plain.RecordSettings->RootFolder, L"/srv/records");
    EXPECT_EQ(plain.VideoStreams, (std::map<int32_t, std::wstring>{{0x01010001, L"MediaSources.S1.VideoOutput"}}));

    EXPECT_EQ(Writer(L"Wav").RecordSettings->Container, 4);
    EXPECT_TRUE(m_log.Contains(L"Configuration: MWriter(2) was configured with invalid container type, use default(MP4) instead!", 3));
    const stRecordFileConfig &asf = *Writer(L"Asf").RecordSettings;
    EXPECT_EQ(asf.Container, 1);
    EXPECT_EQ(asf.SegmentLength, 30);
    EXPECT_EQ(asf.StorageLife, 183);
    EXPECT_EQ(asf.SpaceWarnLimit, 81920);
    const stRecordFileConfig &full = *Writer(L"Full").RecordSettings;
    EXPECT_EQ(full.Container, 5);
    EXPECT_EQ(full.SubFolderDate + full.SubFolderCaseNo + full.CaseNamePrefix + full.CyclePrefix +
                  full.SaveRecordFileList, 5);
    EXPECT_EQ(full.ContentsSuffix, L"cam");
    EXPECT_EQ(full.SegmentLength, 120);
    EXPECT_EQ(full.StorageLife, 7);
    EXPECT_EQ(full.SpaceWarnLimit, 409600);
    EXPECT_EQ(Writer(L"Full").PushAtBegin, 1);
    EXPECT_EQ(CTYXGVMS::MWriterConfigs().count(L"NoRoot"), 0u);
    EXPECT_TRUE(Writer(L"Escape").RecordSettings->ContentsSuffix.empty());
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWriter(No=6, Name=Escape) ContentsSuffix(../up) is not a plain file name part, ignored it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWriter(No=5, Name=NoRoot) RootFolder is missing or empty, Skip it!", 3));
}

// Writer numbers run to the 16-bit limit: their ids stay in the writers' range, above the signed one.
TEST_F(CodecWriterLoadersTest, WriterNumbersRunToTheirLimit)
{
    const std::wstring path = WriteWithSources(
        TwoDecodedSources() + Writers(32767, FileWriterItem("Top", 32767, Key("RootFolder", "/srv/records")) +
                                                 FileWriterItem("Bare", 2, Key("RootFolder", "/srv/records") +
                                                                               Key("AudioStreams", "MediaSources.S1"))));
    EXPECT_EQ(LoadMWritersConfigXml(path), 2);
    EXPECT_EQ(static_cast<uint32_t>(Writer(L"Top").WorkerId), 0x8FFF0004u);
    // The video stream stays; the source itself, on which nothing is sent, is left out.
    EXPECT_EQ(Writer(L"Bare").VideoStreams.size(), 1u);
    EXPECT_TRUE(Writer(L"Bare").AudioStreams.empty());
    EXPECT_TRUE(m_log.Contains(L"Configuration:MWriter(No=2, Name=Bare) AudioStreams item MediaSources.S1 names the "
                               L"worker S1 itself, not one of its output streams (add a role such as VideoOutput), left it out.", 3));
}

TEST_F(CodecWriterLoadersTest, WriterTypesStreamsAndFaults)
{
    const std::string encoder = VideoEncoders(1, EncoderItem("E1", 1, ""));
    const std::wstring path = WriteWithDecoders(
        encoder +
        Writers(9, Item("Push", 1, Key("MWType", "rtmp") + Key("outputURL", "rtmp://127.0.0.1/live/a") +
                                       Key("VideoStreams", "VideoEncoders.E1.VideoOutput,MediaSources.S1.AudioOutput") +
                                       Key("AudioStreams", " MediaSources.S2.AudioOutput , Nowhere.X, ")) +
                       Item("NoUrl", 2, Key("MWType", "RTSP") + Key("VideoStreams", "VideoEncoders.E1.VideoOutput")) +
                       Item("ShortUrl", 3, Key("MWType", "RTSP") + Key("outputURL", "rtsp://h/x") +
                                               Key("VideoStreams", "VideoEncoders.E1.VideoOutput")) +
                       Item("Capture", 4, Key("MWType", "VCAP") + Key("VideoStreams", "VideoEncoders.E1.VideoOutput")) +
                       Item("Unknown", 5, Key("MWType", "HTTP") + Key("VideoStreams", "VideoEncoders.E1.VideoOutput")) +
                       Item("Untyped", 6, Key("VideoStreams", "VideoEncoders.E1.VideoOutput")) +
                       Item("Unresolved", 7, Key("MWType", "RTSP") + Key("outputURL", "rtsp://127.0.0.1/y") +
                                                 Key("VideoStreams", "VideoDecoders.D1.VideoOutput") +
                                                 Key("AudioStreams", "")) +
                       Item("push", 8, Key("MWType", "RTSP") + Key("outputURL", "rtsp://127.0.0.1/z") +
                                           Key("VideoStreams", "VideoEncoders.E1.VideoOutput")) +
                       Item("Rtsp", 9, Key("MWType", "RTSP") + Key("outputURL", "rtsp://127.0.0.1:8554/b") +
                                           Key("AudioStreams", "MediaSources.S1.AudioOutput"))));
    ASSERT_EQ(LoadVideoEncodersConfigXml(path), 1);
    EXPECT_EQ(LoadMWritersConfigXml(path), 2);

    const stMediaWriteWorkerConfig &push = Writer(L"Push");
    EXPECT_EQ(push.MWType, 3);
    EXPECT_EQ(push.outputURL, L"rtmp://127.0.0.1/live/a");
    EXPECT_FALSE(push.RecordSettings);
    ASSERT_EQ(push.VideoStreams.size(), 2u);
    EXPECT_EQ(push.VideoStreams.at(0x06010001), L"VideoEncoders.E1.VideoOutput");
    EXPECT_EQ(push.VideoStreams.at(0x01010002), L"MediaSources.S1.AudioOutput");
    ASSERT_EQ(push.AudioStreams.size(), 1u);
    EXPECT_EQ(push.AudioStreams.at(0x01020002), L"MediaSources.S2.AudioOutput");
    EXPECT_EQ(Writer(L"Rtsp").MWType, 2);
    EXPECT_TRUE(Writer(L"Rtsp").VideoStreams.empty());

    for (const wchar_t *line : {
             L"Configuration:MWriter(No=1, Name=Push) AudioStreams item Nowhere.X names no section it knows "
             L"(MediaSources, VideoDecoders, ...), left it out.",
             L"Configuration:MWriter(No=2, Name=NoUrl) outputURL is missing or empty, Skip it!",
             L"Configuration:MWriter(No=3, Name=ShortUrl) outputURL is out of its length bounds (15..514 characters), Skip it!",
             L"Configuration:MWriter(No=4, Name=Capture) MWType(VCAP) is no writer type (FILE, RTSP, RTMP), Skip it!",
             L"Configuration:MWriter No(5) was configed as unkown media type(HTTP), Skip it!",
             L"Configuration:MWriter No(6) was configed as unkown media type(), Skip it!",
             // A writer takes encoded video: a decoder's pictures are no stream for it.
             L"Configuration:MWriter(No=7, Name=Unresolved) VideoStreams item VideoDecoders.D1.VideoOutput names a worker "
             L"of VideoDecoders, which cannot feed one of MediaWriters, no stream is left, Skip it!",
             L"Configuration:MidProc(No=8, Name=push) configured duplicated!, Skip it!"})
        EXPECT_EQ(m_log.Count(line, 3), 1) << std::wstring(line);
    EXPECT_EQ(m_log.Count(L"Configuration:", 3), 8);
}

} // namespace
