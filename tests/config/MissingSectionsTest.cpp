#include "config/GTYXConfigXml.h"

#include "config/ConfigTestFiles.h"

#include <gtest/gtest.h>

namespace {

const wchar_t *const kWorkerSections[] = {L"/Config/MediaSources",       L"/Config/VideoDecoders",
                                          L"/Config/AudioDecoders",      L"/Config/VideoMidProcessors",
                                          L"/Config/VideoEncoders",      L"/Config/AudioEncoders",
                                          L"/Config/MediaWriters"};

// A section that is not where the loaders look loads nothing; the log says which one is missing.
class MissingSectionsTest : public CConfigFileTest
{
protected:
    int MissingLines(const std::wstring &section, const std::wstring &path) const
    {
        return m_log.Count(L"Configuration:" + section + L" is not in the file(" + path + L"): nothing of it is loaded.", 4);
    }
};

TEST_F(MissingSectionsTest, AMisspeltRootElementNamesEverySectionItHides)
{
    const std::wstring path = Write("StreamCfg.xml", "<?xml version=\"1.0\"?>\n<Confg><MediaSources><MSCount>1</MSCount>"
                                                     "<Cam1 id=\"1\"><MSTYPE>FILE</MSTYPE></Cam1></MediaSources></Confg>\n");
    EXPECT_EQ(LoadWorkersConfigXml(path.c_str()), 0);
    for (const wchar_t *section : kWorkerSections)
        EXPECT_EQ(MissingLines(section, path), 1) << std::wstring(section);
}

TEST_F(MissingSectionsTest, AMisspeltSectionIsNamedAndTheOthersAreNot)
{
    const std::wstring path =
        Write("StreamCfg.xml", "<?xml version=\"1.0\"?>\n<Config><MediaSource><MSCount>1</MSCount></MediaSource>"
                               "<VideoDecoders><VDCDCount>0</VDCDCount></VideoDecoders><AudioDecoders/>"
                               "<VideoMidProcessors/><VideoEncoders/><AudioEncoders/><MediaWriters/></Config>\n");
    EXPECT_EQ(LoadWorkersConfigXml(path.c_str()), 0);
    for (const wchar_t *section : kWorkerSections)
        EXPECT_EQ(MissingLines(section, path), std::wstring(section) == L"/Config/MediaSources" ? 1 : 0)
            << std::wstring(section);
}

} // namespace
