#include "service/RemoteControlHost.h"

#include "host/GlobalVars.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

class RemoteControlHostTest : public ::testing::Test
{
protected:
    void SetUp() override { CTYXGVMS::ResetForTests(); }
    void TearDown() override { CTYXGVMS::ResetForTests(); }

    // Loads the settings as the run's start does, from "RcmConfig.xml" with the general keys given.
    int32_t LoadWith(const std::string &general)
    {
        if (!general.empty())
            std::ofstream(m_dir.File("RcmConfig.xml")) << "<?xml version=\"1.0\"?><config><RcmGeneral>" << general
                                                       << "</RcmGeneral><RcmUsers></RcmUsers></config>\n";
        CRemoteControlHost host;
        return host.LoadSettings(m_dir.Path().wstring() + L"/");
    }

    CTempDir m_dir;
};

// Discovery announces the program-wide port and a port change is compared with it: the start puts
// the configured one there.
TEST_F(RemoteControlHostTest, TheConfiguredControlPortBecomesTheProgramsAtTheStart)
{
    ASSERT_EQ(LoadWith("<TcpCtrl>True</TcpCtrl><TcpListenPort>2000</TcpListenPort><HttpCtrl>False</HttpCtrl>"), 0);
    EXPECT_EQ(CTYXGVMS::RcmTcpListenPort().load(), 2000);
    ASSERT_EQ(LoadWith("<TcpCtrl>True</TcpCtrl><TcpListenPort>80</TcpListenPort>"), 0);
    EXPECT_EQ(CTYXGVMS::RcmTcpListenPort().load(), 1225);
    // A plain channel that is off has no port, and discovery announces none.
    ASSERT_EQ(LoadWith("<TcpCtrl>False</TcpCtrl><TcpListenPort>2000</TcpListenPort><HttpCtrl>True</HttpCtrl>"), 0);
    EXPECT_EQ(CTYXGVMS::RcmTcpListenPort().load(), 0);
    std::filesystem::remove(m_dir.File("RcmConfig.xml"));
    CTYXGVMS::RcmTcpListenPort() = 2000;
    EXPECT_LT(LoadWith(""), 0);
    EXPECT_EQ(CTYXGVMS::RcmTcpListenPort().load(), 0) << "the run goes on with the settings it starts with";
}

} // namespace
