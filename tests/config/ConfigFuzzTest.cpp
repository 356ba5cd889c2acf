#include "config/ConfigKeySchema.h"
#include "config/ConfigXmlDocument.h"
#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "host/GlobalVars.h"
#include "config/StreamCfgText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// Truncated and mutated configuration files must never crash a loader: each one either loads what
// it can or refuses the file. Run under the sanitizers, this also proves that no read overruns.
// Mutated worker and overlay sections must moreover name real producers and owners: a reference
// that does not resolve never becomes an id.
class ConfigFuzzTest : public CConfigFileTest
{
protected:
    void SetUp() override
    {
        CConfigFileTest::SetUp();
        for (const char *name : {"SysConfig.xml", "StreamCfg.xml", "RcmConfig.xml"})
            m_seeds.push_back(ReadBytes(SourceDir() / "samples" / name));
        m_seeds.push_back("<Config><General><GPUSetting><GPUNumber>3</GPUNumber><G id=\"1\"><manufacturer>m"
                          "</manufacturer><DeviceName>d</DeviceName><GPULUID>ffffffffffffffffff</GPULUID></G>"
                          "</GPUSetting><DependedService>a,b,,c</DependedService></General><MoxConfig>"
                          "<MOXSetting><MOXInLocal>true</MOXInLocal><MOXPath>/tmp</MOXPath></MOXSetting>"
                          "</MoxConfig></Config>");
        m_sectionSeeds.push_back(m_seeds[1]);
        m_sectionSeeds.push_back(ReadBytes(SourceDir() / "tests" / "config" / "files" / "StreamCfgWithMistakes.xml"));
        m_sectionSeeds.push_back(Document(
            TwoDecodedSources() +
            Section("VideoMidProcessors", "MProcCount", 3,
                    Item("M", 1, Key("MPType", "VMux") + Key("RVSInCount", "2") +
                                     NumberedKey("IRVS", 1, "VideoDecoders.D1.VideoOutput") +
                                     NumberedKey("IRVS", 2, "VideoDecoders.D2.VideoOutput") +
                                     Key("MuxLayout", "PIP-4-On-1") + NumberedKey("RgnVs", 1, "1") +
                                     NumberedKey("RgnVs", 2, "2") + NumberedKey("RgnVs", 3, "1") +
                                     NumberedKey("RgnVs", 4, "2") + NumberedKey("RgnVs", 5, "1") +
                                     NumberedKey("ChildWindow", 1, Key("xShift", "1") + Key("yShift", "2") +
                                                                       Key("Width", "3") + Key("Height", "4")) +
                                     Key("IRVSSIFRequired", "1,2,3,,")) +
                        Item("X", 2, Key("MPType", "VMtx") + Key("RVSInCount", "2") +
                                         NumberedKey("IRVS", 1, "VideoMidProcessors.M.VideoOutput") +
                                         NumberedKey("IRVS", 2, "VideoDecoders.D2.VideoOutput") +
                                         Key("RVOutCount", "2") + NumberedKey("VODftVI", 1, "2") +
                                         NumberedKey("VODftVI", 2, "1")) +
                        Item("S", 3, Key("MPType", "VSplt") + Key("VideoSource", "VideoMidProcessors.X.VideoOutput.ById.2") +
                                         Key("RVOutCount", "1") +
                                         NumberedKey("Output", 1, Key("RegionLeft", "0") + Key("RegionTop", "0") +
                                                                      Key("RegionWidth", "8") + Key("RegionHeight", "8")))) +
            Section("MediaWriters", "MWCount", 1,
                    Item("W", 1, Key("MWType", "FILE") + Key("RootFolder", "/tmp/records") +
                                     Key("VideoStreams", "MediaSources.S1.VideoOutput,MediaSources.S2.VideoOutput"))) +
            Section("OSDs", "OSDCount", 1, Item("OSD", 1, Key("DrawOn", "VideoMidProcessors.S.VideoOutput.ById.1") +
                                                                 Key("OsdType", "StaticText") + Key("Content", "x"))) +
            Section("OSGs", "OSGCount", 1,
                    Item("OSG", 1, Key("DrawOn", "VideoMidProcessors.M.ToRendering") + Key("OSGType", "Geometry") +
                                       Key("GmtType", "LINE") + Key("GmtNeedPrmtrs", "True") +
                                       Key("Parameters", Key("A", "1") + Key("B", "2"))))));
        for (const std::string &seed : m_seeds)
            ASSERT_FALSE(seed.empty());
    }

    // Breaks the markup: cuts, overwrites, inserts markup pieces, erases, repeats and pads.
    std::string MutateBytes(std::string text)
    {
        const int steps = 1 + static_cast<int>(m_random() % 4);
        for (int i = 0; i < steps && !text.empty(); ++i)
            BreakMarkup(text, 6);
        return text;
    }

    // Breaks the markup now and then; mostly changes texts and ids, so that most mutants still
    // parse and reach the keys of every section.
    std::string MutateValues(std::string text)
    {
        const int steps = 1 + static_cast<int>(m_random() % 4);
        for (int i = 0; i < steps && !text.empty(); ++i) {
            switch (m_random() % 8) {
            case 0:
                BreakMarkup(text, 3);
                break;
            case 1:
            case 2:
                ReplaceAfter(text, "id=\"", '"', kIds);
                break;
            default:
                ReplaceAfter(text, ">", '<', kTexts);
                break;
            }
        }
        return text;
    }

    // One change of the markup, of the first `kinds` sorts.
    void BreakMarkup(std::string &text, uint32_t kinds)
    {
        static const char *pieces[] = {"<", ">", "</", "/>", "\"", "'", "&amp;", "&#0;", "&bogus;", "id=\"",
                                       "99999999999999999999", "-1", "0x", "\xFF", "\xC3", "\xE4\xB8",
                                       "<a id=\"1\">", "</a>", "<![CDATA[", "]]>", "<!--", "-->", ".", ","};
        const size_t at = m_random() % text.size();
        switch (m_random() % kinds) {
        case 0:
            text.resize(at);
            break;
        case 1:
            text.insert(at, pieces[m_random() % std::size(pieces)]);
            break;
        case 2:
            text.erase(at, 1 + m_random() % 16);
            break;
        case 3:
            text[at] = static_cast<char>(m_random() % 256);
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

    // Replaces the run after a random occurrence of marker, up to end, with one of the choices.
    template <size_t N>
    void ReplaceAfter(std::string &text, const char *marker, char end, const char *const (&choices)[N])
    {
        std::vector<size_t> starts;
        for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1))
            starts.push_back(at + std::strlen(marker));
        if (starts.empty())
            return;
        const size_t from = starts[m_random() % starts.size()];
        const size_t to = text.find(end, from);
        if (to == std::string::npos)
            return;
        text.replace(from, to - from, choices[m_random() % N]);
    }

    static constexpr const char *kIds[] = {"0", "-1", "1", "2", "3", "4", "5", "255", "256", "511", "512", "32767", "32768", "99999", "abc", ""};
    static constexpr const char *kTexts[] = {
        "", "0", "-1", "1", "2", "3", "6", "300", "70000", "99999999999999999999", "1e39", "nan", "True", "x",
        "VideoDecoders.D1.VideoOutput", "videodecoders.d1.videooutput", "MediaSources.S1.AudioOutput",
        "VideoMidProcessors.M.VideoOutput.ById.2", "VideoMidProcessors.X.ToRendering", "VideoMidProcessors.S.VideoInput",
        "MediaSources.S1", "MediaSources.Cam1.AudioOutput", "VideoDecoders.D1", "65536", "65537",
        "AudioDecoders.ADec1.AudioOutput", "VideoEncoders.Enc1.VideoOutput,MediaSources.Cam1.AudioOutput,,",
        "..", ",,,", "1,2,3,4,5", "StandAlone", "PIP-2-On-1", "4Row-with-8Cols", "VMux", "VMtx", "VSplt",
        "VUnify", "FILE", "RTSP", "VCAP", "MP4", "HEVC", "AAC", "high", "FullScreen", "NewWindow", "StaticText",
        "Time", "PICTURE", "ANIMATE", "Geometry", "Specify", "media/logo.png", "media/none.png", "../../etc/passwd",
        "\xE4\xB8\xAD\xE6\x96\x87", "&amp;&lt;", "rtsp://127.0.0.1:8554/a/very/long/path/that/goes/on/and/on"};

    static void ExpectOnlyResolvedIds()
    {
        for (const auto &[name, record] : CTYXGVMS::VideoDecoderConfigs())
            EXPECT_GT(record.VideoSource, 0) << "decoder";
        for (const auto &[name, record] : CTYXGVMS::VideoEncoderConfigs())
            EXPECT_GT(record.VideoSource, 0) << "encoder";
        for (const auto &[name, record] : CTYXGVMS::VMPConfigs()) {
            for (const stTYXWorkerItemInfo &input : record.InputItems)
                EXPECT_GT(input.Id, 0) << "mid-processor";
        }
        for (const auto &[name, record] : CTYXGVMS::MWriterConfigs()) {
            EXPECT_FALSE(record.InputItems.empty());
            for (const stTYXWorkerItemInfo &input : record.InputItems)
                EXPECT_GT(input.Id, 0) << "writer";
        }
        for (const auto &[number, record] : CTYXGVMS::OSDConfigs())
            EXPECT_GT(static_cast<int32_t>(record.OwnerStreamId), 0) << "OSD";
        for (const auto &[number, record] : CTYXGVMS::OSGConfigs())
            EXPECT_GT(static_cast<int32_t>(record.OwnerStreamId), 0) << "OSG";
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

        // Every flag at once, and schemas meant for other sections.
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
        // The loaders walk element paths and read single values themselves; nothing writes back yet.
        document.WriteMoxCtrlPort(L"1");
    }

    std::vector<std::string> m_seeds;        // whole files
    std::vector<std::string> m_sectionSeeds; // worker and overlay sections
    std::mt19937 m_random{20240531u};
};

TEST_F(ConfigFuzzTest, MutatedFilesNeverCrash)
{
    const auto file = m_dir.File("fuzz.xml");
    int loaded = 0;
    for (int round = 0; round < 1200; ++round) {
        std::string bytes = MutateBytes(m_seeds[static_cast<size_t>(round) % m_seeds.size()]);
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

TEST_F(ConfigFuzzTest, MutatedSectionsLoadWhatTheyCanAndNeverCrash)
{
    const auto file = m_dir.File("StreamCfg.xml");
    const std::wstring path = WidePath(file);
    int withWorkers = 0;
    for (int round = 0; round < 800; ++round) {
        CTYXGVMS::ResetForTests();
        CTYXGVMS::ProgramFolder() = WidePath(SourceDir() / "samples");
        WriteBytes(file, MutateValues(m_sectionSeeds[static_cast<size_t>(round) % m_sectionSeeds.size()]));
        const int32_t total = LoadWorkersConfigXml(path.c_str());
        LoadOSDConfigXml(path);
        LoadOSGConfigXml(path);
        ExpectOnlyResolvedIds();
        withWorkers += total > 4 ? 1 : 0;
        if (HasFailure())
            break;
    }
    // Most mutants still hold some sections beyond the sources and decoders.
    EXPECT_GT(withWorkers, 300);
}

} // namespace
