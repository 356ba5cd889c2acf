#include "config/RcmConfigXml.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

std::wstring WriteConfig(const CTempDir &dir, const std::string &general, const std::string &users)
{
    const auto path = dir.File("RcmConfig.xml");
    std::ofstream(path) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config><RcmGeneral>" << general
                        << "</RcmGeneral><RcmUsers>" << users << "</RcmUsers></config>\n";
    return path.wstring();
}

TEST(RcmConfigTest, MissingFileKeepsTheStartValues)
{
    CTempDir dir;
    stRcmSettings settings;
    settings.Users[L"keep"] = stRcmUser{};
    EXPECT_LT(LoadRcmConfigs(dir.File("none.xml").wstring(), settings), 0);
    EXPECT_EQ(settings.HttpCtrl, 1);
    EXPECT_EQ(settings.HttpsCtrl, 0);
    EXPECT_EQ(settings.SessionExpiredTime, 600000);
    EXPECT_EQ(settings.Users.size(), 1u);
    EXPECT_EQ(RcmSessionExpiryMs(settings), 600000);
}

TEST(RcmConfigTest, KeysReadUnderTheirConditions)
{
    CTempDir dir;
    stRcmSettings settings;
    ASSERT_EQ(LoadRcmConfigs(WriteConfig(dir,
                                         "<TcpCtrl>true</TcpCtrl><TcpListenPort>1024</TcpListenPort>"
                                         "<HttpCtrl>true</HttpCtrl><HttpListenPort>8080</HttpListenPort>"
                                         "<HttpsCtrl>false</HttpsCtrl><HttpsListenPort>8443</HttpsListenPort>"
                                         "<NoficationExpiredTime>900</NoficationExpiredTime>"
                                         "<SessionExpiredTime>120</SessionExpiredTime>",
                                         ""),
                             settings),
              0);
    EXPECT_EQ(settings.TcpListenPort, 1225);
    EXPECT_EQ(settings.HttpListenPort, 8080);
    EXPECT_EQ(settings.HttpsListenPort, 0);
    EXPECT_EQ(settings.NoficationExpiredTime, 0);
    EXPECT_EQ(settings.SendAckBeforeCmdFinish, 0); // absent key reads as false
    EXPECT_EQ(RcmSessionExpiryMs(settings), 120000);
    EXPECT_EQ(RcmNotificationExpirySeconds(settings), 600);

    ASSERT_EQ(LoadRcmConfigs(WriteConfig(dir,
                                         "<TcpCtrl>true</TcpCtrl><TcpListenPort>32767</TcpListenPort>"
                                         "<HttpsCtrl>true</HttpsCtrl><HttpsCertFile>c.pem</HttpsCertFile>"
                                         "<HttpsKeyFile>k.pem</HttpsKeyFile>",
                                         ""),
                             settings),
              0);
    EXPECT_EQ(settings.TcpListenPort, 32767);
    EXPECT_EQ(settings.HttpCtrl, 0);
    EXPECT_EQ(settings.HttpsCertFile, L"c.pem");
    EXPECT_EQ(settings.HttpsKeyFile, L"k.pem");

    // With the channel off the port is not read: 0, whatever the key says.
    ASSERT_EQ(LoadRcmConfigs(WriteConfig(dir, "<TcpCtrl>false</TcpCtrl><TcpListenPort>2000</TcpListenPort>", ""),
                             settings),
              0);
    EXPECT_EQ(settings.TcpListenPort, 0);
    ASSERT_EQ(LoadRcmConfigs(WriteConfig(dir, "<TcpListenPort>32768</TcpListenPort>", ""), settings), 0);
    EXPECT_EQ(settings.TcpListenPort, 0) << "a missing TcpCtrl is false";
}

// The connection limits: taken in their range, else the defaults (also when the keys are absent).
TEST(RcmConfigTest, ConnectionLimitsInTheirRange)
{
    CTempDir dir;
    stRcmSettings settings;
    EXPECT_EQ(RcmConnectionLimit(settings), RCM_DEFAULT_MAX_CONNECTIONS);
    EXPECT_EQ(RcmRequestTimeoutSeconds(settings), RCM_DEFAULT_REQUEST_TIMEOUT);
    ASSERT_EQ(LoadRcmConfigs(WriteConfig(dir, "<HttpMaxConnections>10000</HttpMaxConnections>"
                                              "<HttpRequestTimeout>12</HttpRequestTimeout>", ""),
                             settings),
              0);
    EXPECT_EQ(RcmConnectionLimit(settings), 10000u);
    EXPECT_EQ(RcmRequestTimeoutSeconds(settings), 12u);
    ASSERT_EQ(LoadRcmConfigs(WriteConfig(dir, "<HttpMaxConnections>63</HttpMaxConnections>"
                                              "<HttpRequestTimeout>61</HttpRequestTimeout>", ""),
                             settings),
              0);
    EXPECT_EQ(RcmConnectionLimit(settings), RCM_DEFAULT_MAX_CONNECTIONS);
    EXPECT_EQ(RcmRequestTimeoutSeconds(settings), RCM_DEFAULT_REQUEST_TIMEOUT);
    ASSERT_EQ(LoadRcmConfigs(WriteConfig(dir, "", ""), settings), 0);
    EXPECT_EQ(RcmConnectionLimit(settings), RCM_DEFAULT_MAX_CONNECTIONS);
    EXPECT_EQ(RcmRequestTimeoutSeconds(settings), RCM_DEFAULT_REQUEST_TIMEOUT);
}

TEST(RcmConfigTest, UsersFirstOfTwoNamesStays)
{
    CTempDir dir;
    CLogCapture log;
    stRcmSettings settings;
    ASSERT_EQ(LoadRcmConfigs(WriteConfig(dir, "",
                                         "<user id=\"1\"><username>admin</username><password>pw</password>"
                                         "<Privilege>31</Privilege></user>"
                                         "<user id=\"2\"><username>admin</username><password>other</password></user>"
                                         "<user id=\"3\"><password>x</password></user>"
                                         "<user id=\"4\"><username>viewer</username><Privilege>3</Privilege></user>"),
                             settings),
              0);
    ASSERT_EQ(settings.Users.size(), 2u);
    EXPECT_EQ(settings.Users.at(L"admin").password, L"pw");
    EXPECT_EQ(settings.Users.at(L"admin").Privilege, 31);
    EXPECT_EQ(settings.Users.at(L"admin").id, 1);
    EXPECT_TRUE(settings.Users.at(L"viewer").password.empty());
    EXPECT_EQ(log.Count(L"Duplicated user name(admin) found", 3), 1);
}

} // namespace

// The server made from a real "RcmConfig.xml", as the program starts it.
#include "RcmTestClient.h"
#include "rcm/RcmServerSetup.h"

namespace {

TEST(RcmServerSetupTest, ConfiguredServerAnswersAndLogsIn)
{
    CTempDir dir;
    const uint16_t port = FreeTcpPort();
    stRcmSettings settings;
    ASSERT_EQ(LoadRcmConfigs(WriteConfig(dir,
                                         "<HttpCtrl>true</HttpCtrl><HttpListenPort>" + std::to_string(port) +
                                             "</HttpListenPort><SessionExpiredTime>300</SessionExpiredTime>",
                                         "<user id=\"1\"><username>ops</username><password>s3cret</password>"
                                         "<Privilege>31</Privilege></user>"),
                             settings),
              0);
    stRcmSettings off;
    off.HttpCtrl = 0;
    EXPECT_EQ(StartRcmServer(off, dir.Path().wstring(), {}, "M", "S"), nullptr);
    const auto server = StartRcmServer(settings, dir.Path().wstring(), {}, "TYX-M1", "SN-0001");
    ASSERT_NE(server, nullptr);
    CRcmTestClient client(port);
    const stRawResponse hello = client.Request("GET", "/TYXRCMAPI/GENERAL/HelloTYX");
    EXPECT_NE(hello.body.find("ProductName=Caldrix; ProductModel=TYX-M1; ProductSN=SN-0001.\n"), std::string::npos)
        << hello.body;
    EXPECT_EQ(client.Request("POST", "/TYXRCMAPI/IDENTIFY/LogIn?CMDSN=1", "RUNAME=ops&RLPWD=s3cret").status, 200);
    EXPECT_EQ(client.Request("POST", "/TYXRCMAPI/IDENTIFY/LogIn?CMDSN=2", "RUNAME=ops&RLPWD=wrong").status, 406);
}

} // namespace

namespace {

TEST(RcmConfigTest, BundledSampleLoads)
{
    stRcmSettings settings;
    ASSERT_EQ(LoadRcmConfigs((SourceDir() / "samples" / "RcmConfig.xml").wstring(), settings), 0);
    EXPECT_EQ(settings.HttpCtrl, 1);
    EXPECT_EQ(settings.HttpListenPort, 8080);
    EXPECT_EQ(settings.HttpsCtrl, 0);
    EXPECT_EQ(settings.SendAckBeforeCmdFinish, 0);
    EXPECT_EQ(RcmSessionExpiryMs(settings), 600000);
    EXPECT_EQ(settings.HttpMaxConnections, 4096);
    EXPECT_EQ(settings.HttpRequestTimeout, 5);
    // No password anyone could know ships with the program: the run script adds the user.
    EXPECT_TRUE(settings.Users.empty());
}

} // namespace
