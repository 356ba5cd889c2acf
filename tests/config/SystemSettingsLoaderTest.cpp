#include "config/GTYXConfigXml.h"
#include "config/IniFile.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// access() answers for the real user, and root may write any file whatever its mode bits. While
// it lives, a process run as root takes the real and effective ids of "nobody", as a service
// account would be; root stays the saved id, so the ids come back at the end.
class CRunAsNobody
{
public:
    CRunAsNobody()
    {
        const passwd *nobody = getpwnam("nobody");
        if (geteuid() != 0 || !nobody)
            return;
        if (setresgid(nobody->pw_gid, nobody->pw_gid, 0) != 0)
            return;
        if (setresuid(nobody->pw_uid, nobody->pw_uid, 0) != 0) {
            RestoreGroup();
            return;
        }
        m_switched = true;
    }
    ~CRunAsNobody()
    {
        if (!m_switched)
            return;
        if (setresuid(0, 0, 0) != 0)
            std::abort(); // the rest of the run would not be root
        RestoreGroup();
    }
    CRunAsNobody(const CRunAsNobody &) = delete;
    CRunAsNobody &operator=(const CRunAsNobody &) = delete;

    // Whether the mode bits are now what decides: not root, or root that became nobody.
    bool ModeBitsCount() const { return m_switched || geteuid() != 0; }

private:
    static void RestoreGroup()
    {
        if (setresgid(0, 0, 0) != 0)
            std::abort();
    }

    bool m_switched = false;
};

class SystemSettingsLoaderTest : public CConfigFileTest
{
protected:
    // A SysConfig.xml whose General element holds the given keys.
    std::wstring SysGeneral(const std::string &keys) { return Write("SysConfig.xml", "<Config><General>" + keys + "</General></Config>"); }

    stTYXGeneralSettings LoadSys(const std::string &keys)
    {
        stTYXGeneralSettings settings;
        InitGeneralSettings(settings);
        EXPECT_EQ(LoadGeneralCfgXml(SysGeneral(keys), settings, true), 0);
        return settings;
    }

    stTYXGeneralSettings LoadStream(const std::string &keys)
    {
        stTYXGeneralSettings settings;
        InitGeneralSettings(settings);
        EXPECT_EQ(LoadGeneralCfgXml(Write("StreamCfg.xml", "<Config><General>" + keys + "</General></Config>"), settings, false), 0);
        return settings;
    }
};

TEST_F(SystemSettingsLoaderTest, MissingOrBrokenFileChangesNothing)
{
    stTYXGeneralSettings settings;
    settings.DebugLevel = 7;
    EXPECT_EQ(LoadGeneralCfgXml(WidePath(m_dir.File("none.xml")), settings, true), -4);
    EXPECT_EQ(settings.DebugLevel, 7);
    EXPECT_TRUE(m_log.Contains(L"none.xml", 2));
    EXPECT_EQ(LoadGeneralCfgXml(Write("bad.xml", "<Config><General>"), settings, true), -4);
    EXPECT_EQ(settings.DebugLevel, 7);
    stMoxConfig mox;
    EXPECT_EQ(LoadMoxConfigXml(WidePath(m_dir.File("none.xml")), mox), -4);
    CTYXGVMS::FixedVideoInDevices()[1] = L"kept";
    EXPECT_EQ(LoadRAVIODevicesCfgXml(WidePath(m_dir.File("none.xml"))), -4);
    EXPECT_EQ(CTYXGVMS::FixedVideoInDevices().at(1), L"kept");
}

TEST_F(SystemSettingsLoaderTest, DebugLogBounds)
{
    EXPECT_EQ(LoadSys("<DebugLevel>9</DebugLevel>").DebugLevel, 3);
    EXPECT_EQ(LoadSys("<DebugLevel>0</DebugLevel>").DebugLevel, 3);
    EXPECT_EQ(LoadSys("<DebugLevel>8</DebugLevel>").DebugLevel, 8);
    EXPECT_EQ(LoadSys("<DebugLevel>264</DebugLevel>").DebugLevel, 3); // not 8 by its low bits
    EXPECT_EQ(LoadSys("<DebuglogLife>65544</DebuglogLife>").DebuglogLife, 15);
    EXPECT_EQ(LoadSys("").DebugLevel, 3);
    EXPECT_EQ(LoadSys("<DebuglogLife>7</DebuglogLife>").DebuglogLife, 15);
    EXPECT_EQ(LoadSys("<DebuglogLife>365</DebuglogLife>").DebuglogLife, 365);
    EXPECT_EQ(LoadSys("<DebuglogSizeLimit>128</DebuglogSizeLimit>").DebuglogSizeLimit, 8192);
    EXPECT_EQ(LoadSys("<DebuglogSizeLimit>131071</DebuglogSizeLimit>").DebuglogSizeLimit, 131071);

    // Absent keeps whatever was there.
    stTYXGeneralSettings settings;
    settings.DebuglogSizeLimit = 4000;
    ASSERT_EQ(LoadGeneralCfgXml(SysGeneral(""), settings, true), 0);
    EXPECT_EQ(settings.DebuglogSizeLimit, 4000);
}

TEST_F(SystemSettingsLoaderTest, GeneralKeysAndTheirDefaults)
{
    const stTYXGeneralSettings settings = LoadSys(
        "<BindInterface>eth0</BindInterface><BindMAC>00-11-22-33-44-55</BindMAC><GlobalTyxId>42</GlobalTyxId>"
        "<LocalTimeSvr>ntp.local</LocalTimeSvr><TimeSynCycle>60</TimeSynCycle><PeopleDetect>yes</PeopleDetect>"
        "<ServiceName>Tyx</ServiceName><ShowProgress>on</ShowProgress><InitializeMonitors>True</InitializeMonitors>"
        "<DependedService>a, b,a,,</DependedService><TimeWaitingDpdc>180001</TimeWaitingDpdc>"
        "<KeyStrmWaitTime>65716</KeyStrmWaitTime>");
    EXPECT_EQ(settings.BindInterface, L"eth0");
    EXPECT_EQ(settings.BindMAC, L"00-11-22-33-44-55");
    EXPECT_EQ(settings.GlobalTyxId, 42);
    EXPECT_EQ(settings.LocalTimeSvr, L"ntp.local");
    EXPECT_EQ(settings.TimeSynCycle, 60);
    EXPECT_TRUE(settings.PeopleDetect);
    EXPECT_EQ(settings.ServiceName, L"Tyx");
    EXPECT_TRUE(settings.ShowProgress);
    EXPECT_TRUE(settings.InitializeMonitors);
    EXPECT_EQ(settings.DependedService, (std::map<std::wstring, int32_t>{{L"a", 0}, {L"b", 0}}));
    EXPECT_EQ(settings.TimeWaitingDpdc, 30000);
    EXPECT_EQ(settings.KeyStrmWaitTime, 15); // 65716 is no 180, whatever its low 16 bits

    const stTYXGeneralSettings empty = LoadSys("<BindMAC>short</BindMAC>");
    EXPECT_EQ(empty.TimeWaitingDpdc, 30000);
    EXPECT_EQ(empty.KeyStrmWaitTime, 15);
    EXPECT_TRUE(empty.BindMAC.empty()); // under the 11 characters of its type
    EXPECT_EQ(LoadSys("<KeyStrmWaitTime>181</KeyStrmWaitTime>").KeyStrmWaitTime, 15);
    EXPECT_EQ(LoadSys("<TimeWaitingDpdc>0</TimeWaitingDpdc>").TimeWaitingDpdc, 0);
    EXPECT_TRUE(LoadSys("<DependedService>" + std::string(2000, 'a') + "</DependedService>").DependedService.empty());
    EXPECT_TRUE(m_log.Contains(L"Configuration: DependedService list is longer than 1024 characters, ignore it.", 3));
}

TEST_F(SystemSettingsLoaderTest, EfficiencyControl)
{
    auto efficiency = [this](const std::string &keys) { return LoadSys("<EfficiencyCtrl>" + keys + "</EfficiencyCtrl>"); };
    EXPECT_EQ(efficiency("<MTRTD>-1</MTRTD>").MTRTD, 1000);
    EXPECT_EQ(efficiency("<MTRTD>10001</MTRTD>").MTRTD, 1000);
    EXPECT_EQ(efficiency("<MTRTD>10000</MTRTD>").MTRTD, 10000);
    EXPECT_EQ(efficiency("<MTIFD>5001</MTIFD>").MTIFD, 500);
    EXPECT_EQ(efficiency("<MTIFD>-1</MTIFD>").MTIFD, 500); // 65535 as unsigned 16-bit
    EXPECT_EQ(efficiency("<MTIFD>5000</MTIFD>").MTIFD, 5000);
    // A text too long for its type is present with 0.
    EXPECT_EQ(efficiency("<MTRTD>" + std::string(30, '5') + "</MTRTD>").MTRTD, 0);
    const stTYXGeneralSettings other = efficiency("<SIF>no</SIF><AVSynLimit>70000</AVSynLimit><RTL_Level2>5</RTL_Level2>");
    EXPECT_FALSE(other.SIF);
    EXPECT_EQ(other.AVSynLimit, 300); // refused, not wrapped
    EXPECT_TRUE(m_log.Contains(L"Configuration: AVSynLimit(70000) does not fit its field (-32768..32767), ignored it!", 3));
    EXPECT_EQ(other.RTL_Level2, 5);
    EXPECT_EQ(other.MTRTD, 1000); // the element is there
    EXPECT_EQ(other.MTIFD, 500);

    const stTYXGeneralSettings none = LoadSys("");
    EXPECT_EQ(none.MTRTD, 0);
    EXPECT_EQ(none.MTIFD, 0);
}

TEST_F(SystemSettingsLoaderTest, GpuList)
{
    const stTYXGeneralSettings settings = LoadSys(
        "<GPUSetting><GPUNumber>2</GPUNumber>"
        "<GPU id=\"0\"><manufacturer>NV</manufacturer><DeviceName>zero</DeviceName></GPU>"
        "<GPU id=\"1\"><GpuType>adapter</GpuType><manufacturer>NV</manufacturer><DeviceName>first</DeviceName>"
        "<VendorId>10DE</VendorId><GPULUID>1A2B3C4D5E</GPULUID><PCIBUSID>3</PCIBUSID><Exclusive>no</Exclusive></GPU>"
        "<GPU id=\"1\"><manufacturer>NV</manufacturer><DeviceName>again</DeviceName></GPU>"
        "<GPU id=\"2\"><DeviceName>no maker</DeviceName></GPU>"
        "<GPU id=\"3\"><manufacturer>NV</manufacturer><DeviceName>beyond</DeviceName></GPU>"
        "</GPUSetting>");
    ASSERT_EQ(settings.GPUs.size(), 1u);
    const stTYXGpuSetting &gpu = settings.GPUs.at(1);
    EXPECT_EQ(gpu.DeviceName, L"first");
    EXPECT_EQ(gpu.GpuType, 2);
    EXPECT_EQ(gpu.VendorId, 0x10DE);
    EXPECT_EQ(gpu.GPULUID, 0x1A2B3C4D5ELL); // above 32 bits, kept whole
    EXPECT_EQ(gpu.PCIBUSID, 3);
    EXPECT_FALSE(gpu.Exclusive);
    EXPECT_EQ(m_log.Count(L"Configuration:GPU(No=1, Name=again) configured duplicated!, Skip it!", 3), 1);
}

TEST_F(SystemSettingsLoaderTest, StreamConfigGeneral)
{
    const stTYXGeneralSettings settings = LoadStream(
        "<CustomerName>客户</CustomerName><DefaultBGC>Blue</DefaultBGC><ErrMsgColor>Purple</ErrMsgColor>"
        "<TRVKPushPort>1936</TRVKPushPort><FtpUser>us</FtpUser><FtpPwd>short</FtpPwd>"
        "<GlobalFramerate>9.5</GlobalFramerate><GlobalSamplerate>44100.9</GlobalSamplerate>");
    EXPECT_EQ(settings.CustomerName, L"客户");
    EXPECT_EQ(settings.DefaultBGC, 1);
    EXPECT_EQ(settings.ErrMsgColor, 0); // an unknown word is black
    EXPECT_EQ(settings.MsgHeight, 32);
    EXPECT_EQ(settings.TRVKPushPort, 1936);
    EXPECT_TRUE(settings.FtpUser.empty()); // under 3 characters
    EXPECT_TRUE(settings.FtpPwd.empty());  // under 8 characters
    EXPECT_EQ(settings.GlobalFramerate, 0.0f);
    EXPECT_EQ(settings.GlobalSamplerate, 44100);
    EXPECT_EQ(LoadStream("<GlobalFramerate>120</GlobalFramerate>").GlobalFramerate, 120.0f);
    EXPECT_EQ(LoadStream("<GlobalSamplerate>1e30</GlobalSamplerate>").GlobalSamplerate, INT32_MAX);

    // A 16-bit field refuses what it cannot hold: port 65535 would read as -1, height 65568 as 32.
    const stTYXGeneralSettings wide = LoadStream("<TRVKPushPort>65535</TRVKPushPort><MsgHeight>65568</MsgHeight>");
    EXPECT_EQ(wide.TRVKPushPort, 1935);
    EXPECT_EQ(wide.MsgHeight, 32);
    EXPECT_TRUE(m_log.Contains(L"Configuration: TRVKPushPort(65535) does not fit its field (-32768..32767), ignored it!", 3));
    EXPECT_TRUE(m_log.Contains(L"Configuration: MsgHeight(65568) does not fit its field", 3));
}

TEST_F(SystemSettingsLoaderTest, SecondSysConfigLoadKeepsWhatInitDoesNotSet)
{
    stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    const std::wstring first = Write("first.xml", "<Config><General><BindInterface>eth1</BindInterface>"
                                                  "<GlobalTyxId>9</GlobalTyxId></General></Config>");
    const std::wstring second = Write("second.xml", "<Config><General/></Config>");
    ASSERT_EQ(LoadGeneralCfgXml(first, settings, true), 0);
    InitGeneralSettings(settings);
    ASSERT_EQ(LoadGeneralCfgXml(second, settings, true), 0);
    EXPECT_EQ(settings.BindInterface, L"eth1");
    EXPECT_EQ(settings.GlobalTyxId, 9);
}

TEST_F(SystemSettingsLoaderTest, FixedDevices)
{
    const std::wstring path = Write("SysConfig.xml",
        "<Config><RAVIODevices><FixedVideoIn>3</FixedVideoIn><FVIDN-1>/dev/video0</FVIDN-1>"
        "<FVIDN-3>/dev/video2</FVIDN-3><FixedAudioOut>1</FixedAudioOut><FAODN-1>hw:0</FAODN-1>"
        "<FixedAudioIn>99999</FixedAudioIn></RAVIODevices></Config>");
    CTYXGVMS::FixedVideoOutDevices()[5] = L"stale";
    EXPECT_EQ(LoadRAVIODevicesCfgXml(path), 3);
    EXPECT_EQ(CTYXGVMS::FixedVideoInDevices(), (FixedDeviceMap{{1, L"/dev/video0"}, {3, L"/dev/video2"}}));
    EXPECT_TRUE(CTYXGVMS::FixedVideoOutDevices().empty());
    EXPECT_EQ(CTYXGVMS::FixedAudioOutDevices().at(1), L"hw:0");
    EXPECT_TRUE(m_log.Contains(L"FixedAudioIn(99999)", 3));
}

class MoxConfigLoaderTest : public SystemSettingsLoaderTest
{
protected:
    int32_t LoadMox(const std::string &body, stMoxConfig &mox)
    {
        return LoadMoxConfigXml(Write("SysConfig.xml", "<Config><MoxConfig>" + body + "</MoxConfig></Config>"), mox);
    }
    std::string Dir() const { return m_dir.Path().string(); }
};

TEST_F(MoxConfigLoaderTest, LocalCompanionChecksEveryPathAndLogsEachFailure)
{
    const std::filesystem::path mox = m_dir.File("mox");
    std::filesystem::create_directory(mox);
    WriteBytes(mox / "mox.exe", "x");
    WriteBytes(mox / "mox.xml", "<config/>");
    stMoxConfig settings;
    EXPECT_EQ(LoadMox("<MOXSetting><MOXInLocal>true</MOXInLocal><MOXPath>" + mox.string() +
                      "</MOXPath><MOXMainPE>mox.exe</MOXMainPE><MOXConfigFile>mox.xml</MOXConfigFile>"
                      "<MOX_RCPort_Item>CtrlPort</MOX_RCPort_Item></MOXSetting>", settings), 0);
    EXPECT_TRUE(settings.MOXInLocal);
    EXPECT_EQ(settings.MOX_RCPort_Item, L"CtrlPort");

    stMoxConfig missing;
    EXPECT_EQ(LoadMox("<MOXSetting><MOXInLocal>true</MOXInLocal><MOXPath>" + Dir() +
                      "/nothere</MOXPath><MOXMainPE>mox.exe</MOXMainPE></MOXSetting>", missing), -1);
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configed MOX path(" + WidePath(m_dir.File("nothere")) +
                               L") is inaccessible, please checking it!", 2));
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configed MOX main file(", 2));
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configed MOX config file name is invalid, please checking it!", 2));

    m_log.Clear();
    stMoxConfig empty;
    EXPECT_EQ(LoadMox("<MOXSetting><MOXInLocal>yes</MOXInLocal></MOXSetting>", empty), -1);
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configed MOX path is invalid, please checking it!", 2));
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configed MOX main file name is invalid, please checking it!", 2));
}

TEST_F(MoxConfigLoaderTest, ConfigFileMustBeWritable)
{
    const std::filesystem::path mox = m_dir.File("mox");
    std::filesystem::create_directory(mox);
    WriteBytes(mox / "mox.exe", "x");
    WriteBytes(mox / "mox.xml", "<config/>");
    WriteBytes(m_dir.File("SysConfig.xml"),
               "<Config><MoxConfig><MOXSetting><MOXInLocal>true</MOXInLocal><MOXPath>" + mox.string() +
                   "/</MOXPath><MOXMainPE>mox.exe</MOXMainPE><MOXConfigFile>mox.xml</MOXConfigFile></MOXSetting>"
                   "</MoxConfig></Config>");
    // Another user must reach and read the files; only the companion's file is not writable.
    for (const std::filesystem::path &path : {m_dir.Path(), mox})
        chmod(path.c_str(), 0755);
    for (const std::filesystem::path &path : {m_dir.File("SysConfig.xml"), mox / "mox.exe"})
        chmod(path.c_str(), 0644);
    chmod((mox / "mox.xml").c_str(), 0444);
    stMoxConfig settings;
    int32_t result = 0;
    {
        CRunAsNobody nobody;
        if (!nobody.ModeBitsCount())
            GTEST_SKIP() << "runs as root and cannot become nobody";
        result = LoadMoxConfigXml(WidePath(m_dir.File("SysConfig.xml")), settings);
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(m_log.Count(L"is inaccessible for write", 2), 1);
    EXPECT_EQ(m_log.Count(L"please checking it!", 2), 1); // the folder and the main file pass
}

TEST_F(MoxConfigLoaderTest, AudioPushSettingsAndBounds)
{
    const std::filesystem::path ffmpeg = m_dir.File("ffmpeg");
    std::filesystem::create_directory(ffmpeg);
    stMoxConfig settings;
    EXPECT_EQ(LoadMox("<MOXSetting><MOXInLocal>false</MOXInLocal></MOXSetting><MOXSimulator>"
                      "<UseFpgAudio>true</UseFpgAudio><FpgMainPath>" + ffmpeg.string() + "</FpgMainPath>"
                      "<AudioPushCmd>-f alsa -i default</AudioPushCmd><AudioAdapter>hw:1</AudioAdapter>"
                      "<DestURL>rtmp://127.0.0.1/live/a</DestURL><ARecordPath>" + Dir() + "</ARecordPath>"
                      "<ARecordPrefix>" + std::string(33, 'p') + "</ARecordPrefix><SampleRate>7999</SampleRate>"
                      "<BitWidth>32</BitWidth><Channel>9</Channel><AEBitRate>4</AEBitRate></MOXSimulator>", settings), 0);
    EXPECT_TRUE(settings.UseFpgAudio);
    EXPECT_TRUE(settings.ARecordPrefix.empty());
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configed Audio record prefix is invalid, ignore it.", 3));
    EXPECT_EQ(settings.SampleRate, 44100);
    EXPECT_EQ(settings.BitWidth, 32);
    EXPECT_EQ(settings.Channel, 2);
    EXPECT_EQ(settings.AEBitRate, 4);
    EXPECT_EQ(settings.DestURL, L"rtmp://127.0.0.1/live/a");

    // Without a record path, a short command and no adapter: three failures, all logged.
    m_log.Clear();
    stMoxConfig broken;
    EXPECT_EQ(LoadMox("<MOXSimulator><UseFpgAudio>true</UseFpgAudio><FpgMainPath>C:</FpgMainPath>"
                      "<AudioPushCmd>short</AudioPushCmd></MOXSimulator>", broken), -1);
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configed FFMPEG path is invalid, please checking it!", 2));
    EXPECT_TRUE(m_log.Contains(L"Configuration: Configed Audio record path is inaccessible for write, please checking it!", 2));
    EXPECT_GE(m_log.Count(L"please checking it!", 2), 4);

    // The push is off: nothing is checked.
    stMoxConfig off;
    EXPECT_EQ(LoadMox("<MOXSimulator><UseFpgAudio>no</UseFpgAudio><FpgMainPath>C:</FpgMainPath></MOXSimulator>", off), 0);
    EXPECT_TRUE(off.FpgMainPath.empty());
}

TEST_F(SystemSettingsLoaderTest, IniWritersKeepTheRestOfTheFile)
{
    const auto ini = m_dir.File("TyxService.ini");
    WriteBytes(ini, "; settings\r\n[Other]\r\nCtrlPort=1\r\n\r\n[tyxgeneral]\r\nName=x\r\n\r\n[Last]\r\nA=1");
    EXPECT_EQ(WriteCtrlPortSetting(WidePath(ini).c_str(), 65535), 0);
    EXPECT_EQ(ReadBytes(ini), "; settings\r\n[Other]\r\nCtrlPort=1\r\n\r\n[tyxgeneral]\r\nName=x\r\nCtrlPort=65535\r\n"
                              "\r\n[Last]\r\nA=1");
    EXPECT_EQ(WriteCtrlPortSetting(WidePath(ini).c_str(), 1225), 0);
    CIniFile file(WidePath(ini));
    ASSERT_EQ(file.Load(), 0);
    EXPECT_EQ(file.GetValue(L"TYXGeneral", L"ctrlport"), L"1225");
    EXPECT_EQ(file.GetValue(L"Other", L"CtrlPort"), L"1");

    const std::wstring url = L"rtmp://127.0.0.1/live/" + std::wstring(300, L'u');
    EXPECT_EQ(WriteMWriterOutputURL(-1, WidePath(ini).c_str(), url), 0);
    EXPECT_EQ(WriteMWriterOutputURL(0x10010004, WidePath(ini).c_str(), L"rtmp://x/4"), 0);
    ASSERT_EQ(file.Load(), 0);
    EXPECT_EQ(file.GetValue(L"MWriter_#-1", L"outputURL"), url);
    EXPECT_EQ(file.GetValue(L"MWriter_#4", L"outputURL"), L"rtmp://x/4");

    EXPECT_EQ(WriteCtrlPortSetting(nullptr, 1), 0);
    EXPECT_EQ(WriteMWriterOutputURL(1, nullptr, L"x"), 0);
    EXPECT_EQ(WriteCtrlPortSetting(WidePath(m_dir.File("no/dir/x.ini")).c_str(), 1), -3);
    // A URL with a line break would add keys of its own.
    EXPECT_EQ(WriteMWriterOutputURL(1, WidePath(ini).c_str(), L"rtmp://x\n[TYXGeneral]"), -3);
}

TEST_F(SystemSettingsLoaderTest, IniWriterCreatesAndKeepsEncodings)
{
    const auto fresh = m_dir.File("new.ini");
    EXPECT_EQ(WriteCtrlPortSetting(WidePath(fresh).c_str(), 80), 0);
    EXPECT_EQ(ReadBytes(fresh), "[TYXGeneral]\nCtrlPort=80\n");

    const auto gbk = m_dir.File("gbk.ini");
    WriteBytes(gbk, AsGbk("[客户]\nName=中文\n"));
    EXPECT_EQ(WriteCtrlPortSetting(WidePath(gbk).c_str(), 81), 0);
    EXPECT_EQ(ReadBytes(gbk), AsGbk("[客户]\nName=中文\n\n[TYXGeneral]\nCtrlPort=81\n"));

    const auto utf16 = m_dir.File("utf16.ini");
    WriteBytes(utf16, AsUtf16Le("[TYXGeneral]\r\nCtrlPort=1\r\n"));
    EXPECT_EQ(WriteCtrlPortSetting(WidePath(utf16).c_str(), 82), 0);
    EXPECT_EQ(ReadBytes(utf16), AsUtf16Le("[TYXGeneral]\r\nCtrlPort=82\r\n"));
}

// A settings file that cannot be read is the writers' failure code; nothing is thrown at the
// command thread that writes it.
TEST_F(SystemSettingsLoaderTest, IniWritersAnswerAnUnreadableFileWithTheirFailureCode)
{
    const auto folder = m_dir.File("TyxServiceMain.ini");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    EXPECT_EQ(WriteCtrlPortSetting(WidePath(folder).c_str(), 2000), -3);
    EXPECT_EQ(WriteMWriterOutputURL(1, WidePath(folder).c_str(), L"rtmp://127.0.0.1/live/a"), -3);
    CIniFile file(WidePath(folder));
    EXPECT_EQ(file.Load(), -3);

    const auto locked = m_dir.File("locked.ini");
    WriteBytes(locked, "[TYXGeneral]\nCtrlPort=1\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    CRunAsNobody nobody;
    if (nobody.ModeBitsCount()) {
        EXPECT_EQ(WriteCtrlPortSetting(WidePath(locked).c_str(), 2000), -3);
        EXPECT_EQ(CIniFile(WidePath(locked)).Load(), -3);
    }
}

} // namespace
