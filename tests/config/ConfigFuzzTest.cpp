#include "config/ConfigKeySchema.h"
#include "config/ConfigXmlDocument.h"
#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Truncated and mutated configuration files must never crash a loader: each one either loads what
// it can or refuses the file. Run under the sanitizers, this also proves that no read overruns.
class ConfigFuzzTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CTYXGVMS::ResetForTests();
        for (const char *name : {"SysConfig.xml", "StreamCfg.xml", "RcmConfig.xml"})
            m_seeds.push_back(ReadBytes(SourceDir() / "samples" / name));
        m_seeds.push_back("<Config><General><GPUSetting><GPUNumber>3</GPUNumber><G id=\"1\"><manufacturer>m"
                          "</manufacturer><DeviceName>d</DeviceName><GPULUID>ffffffffffffffffff</GPULUID></G>"
                          "</GPUSetting><DependedService>a,b,,c</DependedService></General><MoxConfig>"
                          "<MOXSetting><MOXInLocal>true</MOXInLocal><MOXPath>/tmp</MOXPath></MOXSetting>"
                          "</MoxConfig></Config>");
        for (const std::string &seed : m_seeds)
            ASSERT_FALSE(seed.empty());
    }
    void TearDown() override { CTYXGVMS::ResetForTests(); }

    std::string Mutate(std::string text)
    {
        static const char *pieces[] = {"<", ">", "</", "/>", "\"", "'", "&amp;", "&#0;", "&bogus;", "id=\"",
                                       "99999999999999999999", "-1", "0x", "\xFF", "\xC3", "\xE4\xB8",
                                       "<a id=\"1\">", "</a>", "<![CDATA[", "]]>", "<!--", "-->", ".", ","};
        const int steps = 1 + static_cast<int>(m_random() % 4);
        for (int i = 0; i < steps && !text.empty(); ++i) {
            const size_t at = m_random() % text.size();
            switch (m_random() % 6) {
            case 0:
                text.resize(at);
                break;
            case 1:
                text[at] = static_cast<char>(m_random() % 256);
                break;
            case 2:
                text.insert(at, pieces[m_random() % std::size(pieces)]);
                break;
            case 3:
                text.erase(at, 1 + m_random() % 16);
                break;
            case 4: {
                const size_t length = std::min<size_t>(text.size() - at, 1 + m_random() % 200);
                text.insert(at, text.substr(at, length));
                break;
            }
            default:
                text.insert(at, std::string(1 + m_random() % 400, 'x'));
                break;
            }
        }
        return text;
    }

    void RunEveryReader(const std::wstring &path)
    {
        stTYXGeneralSettings settings;
        InitGeneralSettings(settings);
        LoadGeneralCfgXml(path, settings, true);
        LoadGeneralCfgXml(path, settings, false);
        LoadRAVIODevicesCfgXml(path);
        stMoxConfig mox;
        LoadMoxConfigXml(path, mox);
        LoadWorkersConfigXml(path.c_str());

        CConfigXmlDocument document;
        if (document.Load(path) != 0)
            return;
        ConfigKeySchema schema;
        stReadElementFlags flags{1, 1, 1, 1, 1};
        for (int32_t kind : {CFG_SCHEMA_MEDIA_SOURCE, CFG_SCHEMA_VIDEO_MIDPROC, CFG_SCHEMA_MEDIA_WRITER}) {
            GetConfigKeySchema(kind, schema);
            for (const wchar_t *section : {L"/Config/MediaSources", L"/Config/VideoMidProcessors",
                                           L"/Config/MediaWriters", L"/config/RcmUsers", L"/Config/General"}) {
                std::vector<ConfigValueMap> items;
                document.ReadElementList(section, items, &schema, flags);
            }
        }
        ConfigValueMap values;
        ConfigPath path2;
        path2[1] = {L"/Config/MediaSources", 0};
        path2[2] = {L"Cam1", 1};
        path2[3] = {L"Stream", 2};
        document.ReadElement(path2, values, &schema);
        stConfigValue value;
        document.GetNodeValue(L"/Config", L"GlobalFramerate", 4, value);
        document.WriteMoxCtrlPort(L"1");
    }

    std::vector<std::string> m_seeds;
    std::mt19937 m_random{20240531u};
    CTempDir m_dir;
    CLogCapture m_log;
};

TEST_F(ConfigFuzzTest, MutatedFilesNeverCrash)
{
    const auto file = m_dir.File("fuzz.xml");
    int loaded = 0;
    for (int round = 0; round < 1200; ++round) {
        std::string bytes = Mutate(m_seeds[static_cast<size_t>(round) % m_seeds.size()]);
        if (round % 7 == 0) {
            if (const auto utf16 = CTextCodec::Convert(bytes, "UTF-8", "UTF-16LE"))
                bytes = "\xFF\xFE" + *utf16;
        }
        WriteBytes(file, bytes);
        RunEveryReader(WidePath(file));
        CConfigXmlDocument probe;
        loaded += probe.Load(WidePath(file)) == 0 ? 1 : 0;
    }
    // Both sides were exercised: some mutants still parse, some do not.
    EXPECT_GT(loaded, 50);
    EXPECT_LT(loaded, 1200);
}

TEST_F(ConfigFuzzTest, EveryTruncationOfTheSamplesIsHandled)
{
    const auto file = m_dir.File("cut.xml");
    for (const std::string &seed : m_seeds) {
        for (size_t length = 0; length < seed.size(); length += 1 + length / 16) {
            WriteBytes(file, seed.substr(0, length));
            RunEveryReader(WidePath(file));
        }
    }
}

} // namespace
