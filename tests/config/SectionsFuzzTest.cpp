#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"
#include "config/StreamCfgText.h"
#include "host/GlobalVars.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// Mutated worker and overlay sections must never crash a loader (the sanitizer build proves that
// nothing is read out of bounds), and whatever loads must name real producers and owners: a
// reference that does not resolve never becomes an id.
class SectionsFuzzTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_seeds.push_back(ReadBytes(SourceDir() / "samples" / "StreamCfg.xml"));
        ASSERT_FALSE(m_seeds.back().empty());
        m_seeds.push_back(Document(
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
    }
    void TearDown() override { CTYXGVMS::ResetForTests(); }

    // Breaks the markup now and then; mostly changes texts and ids, so that most mutants still
    // parse and reach the keys of every section.
    std::string Mutate(std::string text)
    {
        const int steps = 1 + static_cast<int>(m_random() % 4);
        for (int i = 0; i < steps && !text.empty(); ++i) {
            switch (m_random() % 8) {
            case 0:
                BreakMarkup(text);
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

    void BreakMarkup(std::string &text)
    {
        static const char *pieces[] = {"<", ">", "</", "/>", "\"", "&#0;", "&bogus;", "\xFF", "\xE4\xB8"};
        const size_t at = m_random() % text.size();
        switch (m_random() % 3) {
        case 0:
            text.resize(at);
            break;
        case 1:
            text.insert(at, pieces[m_random() % std::size(pieces)]);
            break;
        default:
            text.erase(at, 1 + m_random() % 24);
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

    static constexpr const char *kIds[] = {"0", "-1", "1", "2", "3", "4", "5", "255", "256", "32768", "99999", "abc", ""};
    static constexpr const char *kTexts[] = {
        "", "0", "-1", "1", "2", "3", "6", "300", "70000", "99999999999999999999", "1e39", "nan", "True", "x",
        "VideoDecoders.D1.VideoOutput", "videodecoders.d1.videooutput", "MediaSources.S1.AudioOutput",
        "VideoMidProcessors.M.VideoOutput.ById.2", "VideoMidProcessors.X.ToRendering", "VideoMidProcessors.S.VideoInput",
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

    std::vector<std::string> m_seeds;
    std::mt19937 m_random{20240611u};
    CTempDir m_dir;
    CLogCapture m_log;
};

TEST_F(SectionsFuzzTest, MutatedSectionsLoadWhatTheyCanAndNeverCrash)
{
    const auto file = m_dir.File("StreamCfg.xml");
    const std::wstring path = WidePath(file);
    int withWorkers = 0;
    for (int round = 0; round < 800; ++round) {
        CTYXGVMS::ResetForTests();
        CTYXGVMS::ProgramFolder() = WidePath(SourceDir() / "samples");
        WriteBytes(file, Mutate(m_seeds[static_cast<size_t>(round) % m_seeds.size()]));
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
