#include "rcm/RcmCommandCheck.h"
#include "rcm/RcmProtocol.h"
#include "rcm/RcmTables.h"
#include "rcm/TYXStatusInfo.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

RcmParamMap Params(std::initializer_list<std::pair<const wchar_t *, const wchar_t *>> pairs)
{
    RcmParamMap map;
    for (const auto &[key, value] : pairs)
        map.emplace(key, value);
    return map;
}

TEST(RcmPathTest, SegmentsSkipRunsOfSlashesAndShortTrailingParts)
{
    std::vector<std::string> segments;
    EXPECT_EQ(SplitUrlPath("/TYXRCMAPI//QUERY///GetWorkersStatus", segments), 3);
    EXPECT_EQ(segments[1], "QUERY");
    EXPECT_EQ(SplitUrlPath("/TYXRCMAPI/QUERY/GetTYXStatus/a", segments), 3);
    EXPECT_EQ(SplitUrlPath("/TYXRCMAPI/a/QUERY/X1", segments), 4);
    EXPECT_EQ(segments[1], "a");
    EXPECT_EQ(SplitUrlPath("/ TYXRCMAPI /QUERY", segments), 2);
    EXPECT_EQ(segments[0], "TYXRCMAPI");
    EXPECT_EQ(SplitUrlPath("", segments), 0);
}

TEST(RcmPathTest, LongAndDeepPathsAreRefused)
{
    std::vector<std::string> segments;
    EXPECT_EQ(SplitUrlPath("/" + std::string(255, 'a'), segments), RCM_PARSE_PATH_LENGTH);
    EXPECT_TRUE(segments.empty());
    std::string deep;
    for (int i = 0; i < 17; ++i)
        deep += "/s" + std::to_string(i);
    EXPECT_EQ(SplitUrlPath(deep, segments), RCM_PARSE_PATH_DEPTH);
    EXPECT_EQ(segments.size(), 16u);
}

TEST(RcmQueryTest, EscapesQuotesAndKeyCase)
{
    RcmParamMap pairs;
    EXPECT_EQ(ParseQueryString("?CMDSN=12&X1=%41&name=\"abc\"", pairs), 3);
    EXPECT_EQ(pairs.at(L"cmdsn"), L"12");
    EXPECT_EQ(pairs.at(L"X1"), L"A");
    EXPECT_EQ(pairs.at(L"name"), L"abc");
    pairs.clear();
    EXPECT_EQ(ParseQueryString("CMDSN=\"12", pairs), RCM_PARSE_QUERY_VALUE);
    EXPECT_EQ(RcmCodeOfParserError(RCM_PARSE_QUERY_VALUE), RCM_ERR_KEY_VALUE);
}

// Quotes sent as escapes are quotes: the escapes are decoded before the enclosing pair is removed.
TEST(RcmQueryTest, EscapedQuotesEncloseOrAreRefusedAsUnbalanced)
{
    RcmParamMap pairs;
    EXPECT_EQ(ParseQueryString("?CMDSN=2&SESSIONID=%2261$00000001%22", pairs), 2);
    EXPECT_EQ(pairs.at(L"SESSIONID"), L"61$00000001");
    pairs.clear();
    EXPECT_EQ(ParseQueryString("CMDSN=2&XY=%22abc", pairs), RCM_PARSE_QUERY_VALUE);
    EXPECT_EQ(ParseQueryString("CMDSN=2&XY=%27abc%22", pairs), RCM_PARSE_QUERY_VALUE);
    EXPECT_EQ(ParseQueryString("CMDSN=2&%22XY=1", pairs), RCM_PARSE_QUERY_VALUE);
    pairs.clear();
    EXPECT_EQ(ParseQueryString("CMDSN=2&XY=%20abc%20", pairs), 2);
    EXPECT_EQ(pairs.at(L"XY"), L"abc");

    pairs.clear();
    ASSERT_EQ(ParseRequestBody("OsdText=%22a%26b=c%22&VideoAlias='Mux1'", pairs), 2);
    EXPECT_EQ(pairs.at(L"OsdText"), L"a&b=c");
    EXPECT_EQ(pairs.at(L"VideoAlias"), L"Mux1");
    EXPECT_EQ(ParseRequestBody("OsdText=%22abc", pairs), RCM_PARSE_BODY_VALUE);
}

TEST(RcmQueryTest, BoundsGiveTheirCodes)
{
    RcmParamMap pairs;
    std::string many;
    for (int i = 0; i < 17; ++i)
        many += "k" + std::to_string(i) + "=1&";
    EXPECT_EQ(ParseQueryString(many, pairs), RCM_PARSE_QUERY_COUNT);
    EXPECT_EQ(ParseQueryString(std::string(16, 'k') + "=1", pairs), RCM_PARSE_QUERY_KEY);
    EXPECT_EQ(ParseQueryString("k=1", pairs), RCM_PARSE_QUERY_KEY);
    EXPECT_EQ(ParseQueryString("kk=" + std::string(128, 'v'), pairs), RCM_PARSE_QUERY_VALUE);
    EXPECT_EQ(ParseQueryString("?kk=" + std::string(253, 'v'), pairs), RCM_PARSE_QUERY_LENGTH);
    EXPECT_EQ(ParseQueryString("kk", pairs), RCM_PARSE_QUERY_FORMAT);
    EXPECT_EQ(ParseQueryString("kk=a%00b", pairs), RCM_PARSE_QUERY_VALUE);
}

TEST(RcmBodyTest, LineEndsSeparateLikeAmpersands)
{
    RcmParamMap joined, lines;
    EXPECT_EQ(ParseRequestBody("A=1&B=2", joined), 2);
    EXPECT_EQ(ParseRequestBody("A=1\r\nB=2\r\n", lines), 2);
    EXPECT_EQ(joined, lines);
}

TEST(RcmBodyTest, EscapedSeparatorsStayInsideValues)
{
    RcmParamMap pairs;
    ASSERT_EQ(ParseRequestBody("InputURL=rtsp://cam/live%3Fchannel%3D1%26subtype%3D0&OSGData=a:x=1,;", pairs), 2);
    EXPECT_EQ(pairs.at(L"InputURL"), L"rtsp://cam/live?channel=1&subtype=0");
    EXPECT_EQ(pairs.at(L"OSGData"), L"a:x=1,;");
    pairs.clear();
    ASSERT_EQ(ParseRequestBody("A=100%&B=%zz", pairs), 2);
    EXPECT_EQ(pairs.at(L"A"), L"100%");
    EXPECT_EQ(pairs.at(L"B"), L"%zz");
    EXPECT_EQ(ParseRequestBody("A=x%00", pairs), RCM_PARSE_BODY_VALUE);
}

TEST(RcmBodyTest, BoundsGiveTheirCodes)
{
    RcmParamMap pairs;
    EXPECT_EQ(ParseRequestBody(std::string(33, 'k') + "=1", pairs), RCM_PARSE_BODY_KEY);
    EXPECT_EQ(ParseRequestBody("k=" + std::string(511, 'v'), pairs), RCM_PARSE_BODY_VALUE);
    EXPECT_EQ(ParseRequestBody(std::string(2048, 'k'), pairs), RCM_PARSE_BODY_LENGTH);
    EXPECT_EQ(ParseRequestBody("k= v", pairs), RCM_PARSE_BODY_VALUE);
    EXPECT_EQ(ParseRequestBody("novalue", pairs), RCM_PARSE_BODY_FORMAT);
    std::string many;
    for (int i = 0; i < 129; ++i)
        many += "k" + std::to_string(i) + "=1&";
    EXPECT_EQ(ParseRequestBody(many, pairs), RCM_PARSE_BODY_COUNT);
}

TEST(RcmTablesTest, EveryCodeHasTextStatusAndReason)
{
    for (const auto &[code, text] : RcmErrorTextTable()) {
        const auto status = RcmErrorHttpStatusTable().find(code);
        ASSERT_NE(status, RcmErrorHttpStatusTable().end()) << code;
        EXPECT_TRUE(HttpReasonPhraseTable().count(status->second)) << code;
    }
    for (const auto &[error, code] : ErrorToRcmCodeTable())
        EXPECT_TRUE(RcmErrorTextTable().count(code)) << error;
    EXPECT_EQ(HttpReasonPhraseTable().at(421), "Please log in first");
    EXPECT_EQ(RcmNotificationNameTable().at(301), RcmNotificationNameTable().at(302));
    EXPECT_EQ(RcmCommandCodeTable().size(), 57u);
    for (const auto &[name, code] : RcmCommandCodeTable())
        EXPECT_TRUE(RcmCommandCategoryTable().count(name)) << name;
}

TEST(RcmCheckTest, EntriesAndUnchecked)
{
    stRCCommand record;
    EXPECT_EQ(CheckRcmCommand("BurningControl", {}, record), RCM_CHECK_NO_ENTRY);
    EXPECT_EQ(CheckRcmCommand("AddNewOSD", {}, record), RCM_CHECK_NO_CHECK);
    EXPECT_EQ(CheckRcmCommand("AddOSGPicture", {}, record), RCM_ERR_NOT_SUPPORTED);
    EXPECT_EQ(CheckRcmCommand("KOVRestart", {}, record), 0);
    // The start gate and the mode changes must be reachable.
    EXPECT_EQ(CheckRcmCommand("StartWork", {}, record), 0);
    EXPECT_EQ(CheckRcmCommand("GotoDebugMode", {}, record), 0);
    EXPECT_FALSE(CommandNeedsBody("StartWork"));
    EXPECT_TRUE(CommandNeedsBody("ServiceExit"));
}

TEST(RcmCheckTest, RangesAndVocabulary)
{
    stRCCommand record;
    EXPECT_EQ(CheckRcmCommand("OSDControl", Params({{L"OsdId", L"0"}, {L"Action", L"Start"}}), record),
              RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(CheckRcmCommand("OSDControl", Params({{L"OsdId", L"65535"}, {L"Action", L"Start"}}), record),
              RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(CheckRcmCommand("OSDControl", Params({{L"OsdId", L"5"}, {L"Action", L"Pause"}}), record),
              RCM_ERR_PARAM_VALUE);
    ASSERT_EQ(CheckRcmCommand("osdcontrol", Params({{L"OsdId", L"5"}, {L"Action", L"Start"}}), record), 0);
    EXPECT_EQ(record.Number1, 5);
    EXPECT_EQ(record.Number2, 1u);
    EXPECT_EQ(CheckRcmCommand("ChangeRegionInput", Params({{L"RegionNo", L"65"}, {L"VSAlias", L"a"}}), record),
              RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(CheckRcmCommand("ChangeRegionInput", Params({{L"RegionNo", L"1x"}, {L"VSAlias", L"a"}}), record),
              RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(CheckRcmCommand("StartDirectOutput", Params({{L"MonitorNo", L"65"}, {L"VideoAlias", L"a"}}), record),
              RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(CheckRcmCommand("SetCaseInfo",
                              Params({{L"caseNo", std::wstring(32, L'n').c_str()}, {L"CycleName", L"c"},
                                      {L"caseName", L"x"}}),
                              record),
              RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(CheckRcmCommand("MediaWriterControl",
                              Params({{L"WorkerAlias", std::wstring(64, L'a').c_str()}, {L"Action", L"Stop"}}), record),
              RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(CheckRcmCommand("ChangeMuxLayout", Params({{L"NewLayout", L"Nine"}, {L"VSList", L"a"}}), record),
              RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(CheckRcmCommand("ChangeMuxLayout", Params({{L"NewLayout", L"PIP-1-On-1"}, {L"VSList", L"a;b"}}), record),
              RCM_ERR_PARAM_MISSED);
    ASSERT_EQ(CheckRcmCommand("ChangeMuxLayout", Params({{L"NewLayout", L"4Divide-Equ"}, {L"VSList", L"a;b"}}), record),
              0);
    EXPECT_EQ(record.Number1, 4);
    EXPECT_EQ(record.Texts[0], "a;b");
}

TEST(RcmCheckTest, SetCaseInfoKeepsTheTextOrder)
{
    stRCCommand record;
    ASSERT_EQ(CheckRcmCommand("SetCaseInfo",
                              Params({{L"caseNo", L"N1"}, {L"CycleName", L"C1"}, {L"caseName", L"Name"}}), record),
              0);
    EXPECT_EQ(record.Texts[0], "N1");
    EXPECT_EQ(record.Texts[1], "C1");
    EXPECT_EQ(record.Texts[2], "Name");
}

TEST(RcmCheckTest, SourcePacking)
{
    stRCCommand record;
    ASSERT_EQ(CheckRcmCommand("AddInputVideo",
                              Params({{L"VSAlias", L"cam"}, {L"InputURL", L"rtsp://h/x"}, {L"StreamId", L"2"},
                                      {L"Authenticate", L"True"}, {L"Username", L"u"}, {L"Password", L"p"}}),
                              record),
              0);
    EXPECT_EQ(record.Number1, 0x00010002);
    EXPECT_EQ(record.Number2 & 0xFFFFu, 150u);
    EXPECT_EQ(record.Number4, 65535u);
    EXPECT_EQ(record.Texts[2], "u");
    EXPECT_EQ(CheckRcmCommand("AddInputVideo",
                              Params({{L"VSAlias", L"cam"}, {L"InputURL", L"x"}, {L"Authenticate", L"True"}}), record),
              RCM_ERR_PARAM_MISSED);
    EXPECT_EQ(CheckRcmCommand("AddInputVideo",
                              Params({{L"VSAlias", L"cam"}, {L"InputURL", L"x"}, {L"DecodeEng", L"Quantum"}}), record),
              RCM_ERR_PARAM_VALUE);
    ASSERT_EQ(CheckRcmCommand("AddInputAudio",
                              Params({{L"ASAlias", L"mic"}, {L"InputURL", L"x"}, {L"DecodeEng", L"CUDA"}}), record),
              0);
    EXPECT_EQ(record.Number4, 256u);
}

TEST(RcmCheckTest, MendedParameterNames)
{
    stRCCommand record;
    // The documented list and the older key both reach the executor.
    ASSERT_EQ(CheckRcmCommand("DelInputVideo", Params({{L"VSAlias", L"cam"}}), record), 0);
    EXPECT_EQ(record.Texts[0], "cam");
    ASSERT_EQ(CheckRcmCommand("DelInputAudio", Params({{L"Alias", L"mic"}}), record), 0);
    EXPECT_EQ(record.Texts[0], "mic");
    ASSERT_EQ(CheckRcmCommand("RmvVSFrmMux", Params({{L"Replacement", L"cam"}}), record), 0);
    EXPECT_TRUE(record.Texts[1].empty());
    ASSERT_EQ(CheckRcmCommand("SetServerRCPort", Params({{L"tyxPort", L"8080"}, {L"moxPort", L"0"}}), record), 0);
    EXPECT_EQ(record.Number1, 8080);
    EXPECT_EQ(CheckRcmCommand("SetServerRCPort", Params({{L"tyxPort", L"70000"}, {L"moxPort", L"1"}}), record),
              RCM_ERR_PARAM_VALUE);
    ASSERT_EQ(CheckRcmCommand("RemoveOSGGeometry", Params({{L"OsgGroupId", L"7"}}), record), 0);
    EXPECT_EQ(record.Number1, 7);
    ASSERT_EQ(CheckRcmCommand("AddOSGGeometry",
                              Params({{L"VideoAlias", L"v"}, {L"OSGStrmPos", L"VideoOutput"}, {L"GeometryNum", L"2"},
                                      {L"OSGData", L"a:gmtTp=1,;"}}),
                              record),
              0);
    EXPECT_EQ(record.Number2, 4u);
    EXPECT_EQ(record.Texts[1], "a:gmtTp=1,;");
    ASSERT_EQ(CheckRcmCommand("AddNewInputOSD",
                              Params({{L"osdType", L"StaticText"}, {L"posBase", L"Center"}, {L"txtColor", L"Red"},
                                      {L"txtHeight", L"24"}, {L"nXShift", L"-2"}, {L"nYShift", L"3"},
                                      {L"VideoAlias", L"cam"}, {L"OsdText", L"Hi"}}),
                              record),
              0);
    EXPECT_EQ(record.Number1, 6 | 1 << 8 | 4 << 16 | 24 << 24);
    EXPECT_EQ(record.Number2, 0xFFFEu | 3u << 16);
    // The text height has no default, and only heights the writers draw are taken.
    const auto newOsd = [](const wchar_t *height) {
        RcmParamMap map = Params({{L"osdType", L"Time"}, {L"posBase", L"Center"}, {L"VideoAlias", L"cam"}});
        if (height)
            map.emplace(L"txtHeight", height);
        stRCCommand command;
        return CheckRcmCommand("AddNewInputOSD", map, command);
    };
    EXPECT_EQ(newOsd(nullptr), RCM_ERR_PARAM_MISSED);
    EXPECT_EQ(newOsd(L"0"), RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(newOsd(L"18"), RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(newOsd(L"132"), RCM_ERR_PARAM_VALUE);
    EXPECT_EQ(newOsd(L"16"), 0);
    EXPECT_EQ(newOsd(L"128"), 0);
}

TEST(RcmCheckTest, ServerAddressPacking)
{
    stRCCommand record;
    ASSERT_EQ(CheckRcmCommand("SetServerAddr", Params({{L"useDHCP", L"True"}, {L"Family", L"IPV6"}}), record), 0);
    EXPECT_EQ(record.Number1, 23 << 16 | 1);
    EXPECT_EQ(CheckRcmCommand("SetServerAddr", Params({{L"useDHCP", L"False"}}), record), RCM_ERR_PARAM_MISSED);
    ASSERT_EQ(CheckRcmCommand("SetServerAddr", Params({{L"IPAddr", L"10.0.0.2"}, {L"NetMask", L"255.0.0.0"}}), record),
              0);
    EXPECT_EQ(record.Number1, 2 << 16);
    EXPECT_EQ(record.Number2, 64u);
    EXPECT_EQ(record.WideTexts[0], L"10.0.0.2");
    EXPECT_EQ(record.WideTexts[1], L"255.0.0.0");
}

TEST(RcmStatusTextTest, ThreeLinesWithLayoutNames)
{
    stTYXStatusInfo status;
    EXPECT_EQ(BuildStatusText(status), "Recording: Off; BCLiving: Off; \r\nMux layout: Unknown; Current Focus Video: ; "
                                       "Standalone output: ; \r\nCase No: ; CaseName: ; \r\n");
    status.Recording = 1;
    status.MuxLayout = 7;
    std::strcpy(status.FocusVideo, "cam1");
    std::wcscpy(status.CaseNo, L"A-1");
    const std::string text = BuildStatusText(status);
    EXPECT_NE(text.find("Recording: On;"), std::string::npos);
    EXPECT_NE(text.find("Mux layout: Unknown.;"), std::string::npos);
    EXPECT_NE(text.find("Current Focus Video: cam1;"), std::string::npos);
    EXPECT_NE(text.find("Case No: A-1;"), std::string::npos);
}

} // namespace
