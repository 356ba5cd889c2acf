#include "config/ConfigXmlDocument.h"

#include "config/ConfigTestFiles.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

class ConfigXmlDocumentTest : public ::testing::Test
{
protected:
    // Loads a UTF-8 document text.
    void LoadText(const std::string &xml)
    {
        WriteBytes(m_dir.File("doc.xml"), xml);
        ASSERT_EQ(m_doc.Load(WidePath(m_dir.File("doc.xml"))), 0) << std::string(m_doc.LastError().begin(), m_doc.LastError().end());
    }

    stConfigValue Node(const wchar_t *xpath, const wchar_t *key, int32_t code, int32_t expectedResult = 0)
    {
        stConfigValue value;
        EXPECT_EQ(m_doc.GetNodeValue(xpath, key, code, value), expectedResult) << "key " << key;
        return value;
    }

    ConfigValueMap Element(const ConfigPath &path, const ConfigKeySchema &schema, int32_t expectedResult = 0)
    {
        ConfigValueMap values;
        EXPECT_EQ(m_doc.ReadElement(path, values, &schema), expectedResult);
        return values;
    }

    CTempDir m_dir;
    CConfigXmlDocument m_doc;
};

ConfigPath PathOf(std::initializer_list<stConfigPathStep> steps)
{
    ConfigPath path;
    int32_t n = 1;
    for (const stConfigPathStep &step : steps)
        path[n++] = step;
    return path;
}

// Before a load and after Close, every read refuses and nothing of the old document is left.
TEST_F(ConfigXmlDocumentTest, EveryReadRefusesWithoutADocument)
{
    for (const bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed" : "never loaded");
        if (closed) {
            LoadText("<Config><A>1</A></Config>");
            m_doc.Close();
            EXPECT_TRUE(m_doc.Path().empty());
            EXPECT_EQ(m_doc.FindValueType(2), nullptr);
        }
        stConfigValue value;
        ConfigValueMap values;
        std::vector<ConfigValueMap> items;
        EXPECT_EQ(m_doc.GetNodeValue(L"/Config", L"A", 2, value), -1);
        EXPECT_EQ(m_doc.ReadElement({}, values, nullptr), -1);
        EXPECT_EQ(m_doc.ReadElementList(L"/Config", items, nullptr, {}), -1);
        EXPECT_EQ(m_doc.WriteMoxCtrlPort(L"1"), -1);
        EXPECT_EQ(m_doc.Save(WidePath(m_dir.File("x.xml"))), -1);
    }
}

TEST_F(ConfigXmlDocumentTest, LoadAndSaveFailuresSayWhy)
{
    EXPECT_EQ(m_doc.Load(WidePath(m_dir.File("missing.xml"))), -4);
    EXPECT_FALSE(m_doc.LastError().empty());

    WriteBytes(m_dir.File("bad.xml"), "<Config><A>1</B></Config>");
    EXPECT_EQ(m_doc.Load(WidePath(m_dir.File("bad.xml"))), -4);
    EXPECT_NE(m_doc.LastError().find(L"line"), std::wstring::npos);
    EXPECT_FALSE(m_doc.IsLoaded());

    // GBK bytes in a file that declares nothing are not UTF-8.
    WriteBytes(m_dir.File("enc.xml"), "<Config><A>\xD6\xD0\xCE\xC4</A></Config>");
    EXPECT_EQ(m_doc.Load(WidePath(m_dir.File("enc.xml"))), -4);

    // A file that is no document at all.
    WriteBytes(m_dir.File("empty.xml"), "");
    EXPECT_EQ(m_doc.Load(WidePath(m_dir.File("empty.xml"))), -4);

    LoadText("<Config><A>1</A></Config>");
    EXPECT_EQ(m_doc.Save(WidePath(m_dir.File("no/such/dir/out.xml"))), -4);
    EXPECT_FALSE(m_doc.LastError().empty());

    // A failed load leaves no document behind from an earlier one.
    EXPECT_EQ(m_doc.Load(WidePath(m_dir.File("bad.xml"))), -4);
    stConfigValue value;
    EXPECT_EQ(m_doc.GetNodeValue(L"/Config", L"A", 2, value), -1);
}

// Entities would be expanded on every read of a text, without bound: a few nested declarations
// make a small file take gigabytes. Configuration files have no use for them.
TEST_F(ConfigXmlDocumentTest, FilesThatDeclareEntitiesAreRefused)
{
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE Config [\n<!ENTITY l0 \"ha\">\n";
    for (int level = 1; level <= 12; ++level) {
        laughs += "<!ENTITY l" + std::to_string(level) + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += "&l" + std::to_string(level - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "]>\n<Config><General><CustomerName>&l12;</CustomerName></General></Config>\n";
    const std::pair<const char *, std::string> files[] = {
        {"laughs.xml", laughs},
        {"alias.xml", "<!DOCTYPE Config [<!ENTITY cam \"Cam1\">]><Config><A>&cam;</A></Config>"},
        {"parameter.xml", "<!DOCTYPE Config [<!ENTITY % p \"x\">]><Config><A>1</A></Config>"},
        {"external.xml", "<!DOCTYPE Config [<!ENTITY e SYSTEM \"/etc/hostname\">]><Config><A>&e;</A></Config>"},
    };
    for (const auto &[name, bytes] : files) {
        SCOPED_TRACE(name);
        WriteBytes(m_dir.File(name), bytes);
        ASSERT_EQ(m_doc.Load(WidePath(m_dir.File(name))), -4);
        EXPECT_NE(m_doc.LastError().find(L"entity"), std::wstring::npos);
        stConfigValue value;
        EXPECT_EQ(m_doc.GetNodeValue(L"/Config/General", L"CustomerName", 20, value), -1);
    }
    EXPECT_NE(m_doc.LastError().find(L"\"e\" (line 1)"), std::wstring::npos);
    // A document type without declarations, and the predefined entities, are plain XML.
    LoadText("<!DOCTYPE Config><Config><A>a&amp;b&#x4E2D;</A></Config>");
    EXPECT_EQ(Node(L"/Config", L"A", 20).text, L"a&b中");
}

// The reason given is the first error, with its line; libxml2's own lines go to the debug log,
// never to stderr, where nobody running the service would see them.
TEST_F(ConfigXmlDocumentTest, ParseFailuresGiveTheFirstErrorAndStayInTheLog)
{
    CLogCapture log;
    WriteBytes(m_dir.File("gbk.xml"), "<?xml version=\"1.0\" encoding=\"GBK\"?>\n<Config>\n<A>\x80\x80\xFF</A>\n</Config>\n");
    WriteBytes(m_dir.File("tags.xml"), "<Config>\n<A>\n<B>1</B>\n</Config>\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(m_doc.Load(WidePath(m_dir.File("gbk.xml"))), -4);
    const std::wstring encoding = m_doc.LastError();
    EXPECT_EQ(m_doc.Load(WidePath(m_dir.File("tags.xml"))), -4);
    const std::wstring tags = m_doc.LastError();
    LoadText("<config><MOXGeneral><N>中文</N></MOXGeneral></config>");
    EXPECT_EQ(m_doc.Save(WidePath(m_dir.File("out.xml"))), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // The bad bytes, not the end of data that follows from them.
    EXPECT_EQ(encoding.rfind(L"input conversion failed", 0), 0u) << std::string(encoding.begin(), encoding.end());
    EXPECT_EQ(tags.rfind(L"Opening and ending tag mismatch: A line 2 and Config (line 4)", 0), 0u);
    EXPECT_TRUE(log.Contains(L"[libxml2] line 4: Opening and ending tag mismatch", 5));
    EXPECT_TRUE(log.Contains(L"[libxml2] line 5: Premature end of data", 5));
}

TEST_F(ConfigXmlDocumentTest, GetNodeValueCodes)
{
    LoadText("<Config><General><Port>8080</Port><Deep><Inner>7</Inner></Deep><Hex>ff</Hex><Short>ab</Short>"
             "<Blank>   </Blank><Long>" + std::string(300, 'x') + "</Long></General></Config>");
    EXPECT_EQ(Node(L"/Config/General", L"Port", 2).integer, 8080);
    EXPECT_EQ(Node(L"/Config/General", L"Port", 2).type, CFG_VALUE_INT32);
    // Any depth below the path.
    EXPECT_EQ(Node(L"/Config/General", L"Inner", 2).integer, 7);
    EXPECT_EQ(Node(L"/Config", L"Inner", 2).integer, 7);
    // Decimal in this read, whatever the code.
    EXPECT_EQ(Node(L"/Config/General", L"Hex", 3).integer, 0);

    Node(L"/Config/General", L"Port", 7, -4);
    stConfigValue value;
    EXPECT_EQ(m_doc.GetNodeValue(nullptr, L"Port", 2, value), -4);
    Node(L"/Config/Other", L"Port", 2, -16);
    Node(L"/Other/General", L"Port", 2, -16);
    Node(L"/Config/General", L"Nothing", 2, -128);
    // Too short for code 24 (8..33): the value stays unset.
    const stConfigValue shortText = Node(L"/Config/General", L"Short", 24, -4096);
    EXPECT_EQ(shortText.type, CFG_VALUE_NONE);
    Node(L"/Config/General", L"Blank", 20, -4096);
    // At most 256 characters are counted, so 300 characters pass code 20 whole.
    const stConfigValue longText = Node(L"/Config/General", L"Long", 20);
    EXPECT_EQ(longText.text.size(), 300u);
}

TEST_F(ConfigXmlDocumentTest, ConversionsFollowTheWindowsLibrary)
{
    LoadText("<Config><G>"
             "<B1>yes</B1><B2>ON</B2><B3>t</B3><B4>1</B4><B5>false</B5>"
             "<I1>  -42abc</I1><I2>4294967295</I2><I3>-99999999999</I3><I4>abc</I4>"
             "<L1>9223372036854775807</L1><L2>99999999999999999999</L2>"
             "<R1>29.97</R1><R2>1e39</R2><R3>x</R3>"
             "<Q1>'abc\"</Q1><Q2>'</Q2><Q3>\"a\"b\"</Q3>"
             "<P>\n    rtsp://host/x\n  </P>"
             "</G></Config>");
    EXPECT_EQ(Node(L"/Config", L"B1", 1).boolean, 1);
    EXPECT_EQ(Node(L"/Config", L"B2", 1).boolean, 1);
    EXPECT_EQ(Node(L"/Config", L"B3", 1).boolean, 1);
    EXPECT_EQ(Node(L"/Config", L"B4", 1).boolean, 0);
    EXPECT_EQ(Node(L"/Config", L"B5", 1).boolean, 0);
    EXPECT_EQ(Node(L"/Config", L"I1", 2).integer, -42);
    // long is 32 bits where these files were made: clamped, not wrapped.
    EXPECT_EQ(Node(L"/Config", L"I2", 2).integer, 2147483647);
    EXPECT_EQ(Node(L"/Config", L"I3", 2).integer, -2147483647 - 1);
    EXPECT_EQ(Node(L"/Config", L"I4", 2).integer, 0);
    EXPECT_EQ(Node(L"/Config", L"L1", 6).integer64, INT64_MAX);
    EXPECT_EQ(Node(L"/Config", L"L2", 6).integer64, INT64_MAX);
    EXPECT_FLOAT_EQ(Node(L"/Config", L"R1", 4).real, 29.97f);
    EXPECT_TRUE(std::isinf(Node(L"/Config", L"R2", 4).real));
    EXPECT_EQ(Node(L"/Config", L"R3", 4).real, 0.0f);
    EXPECT_EQ(Node(L"/Config", L"Q1", 20).text, L"abc");
    EXPECT_EQ(Node(L"/Config", L"Q2", 20).text, L"");
    EXPECT_EQ(Node(L"/Config", L"Q3", 20).text, L"a\"b");
    EXPECT_EQ(Node(L"/Config", L"P", 20).text, L"rtsp://host/x");
}

TEST_F(ConfigXmlDocumentTest, ReadElementWalksStepsAndKeepsOutOfBoundsKeys)
{
    LoadText("<Config><Sources>"
             "<Cam id=\"1\"><Name>one</Name></Cam>"
             "<Cam id=\"2\"><Name>two</Name><Hex>ff</Hex><Pwd>ab</Pwd><bitrate>5</bitrate>"
             "<IRVS id=\"1\">a</IRVS><IRVS id=\"2\">b</IRVS><Dup>first</Dup><Dup>second</Dup>"
             "<Long>" + std::string(300, 'y') + "</Long><Empty/></Cam>"
             "<Bare/></Sources></Config>");
    const ConfigKeySchema schema = {{L"Hex", 3}, {L"Pwd", 24}, {L"BitRate", 2}};

    const ConfigValueMap cam2 = Element(PathOf({{L"/Config/Sources", 0}, {L"Cam", 2}}), schema);
    EXPECT_EQ(cam2.at(L"Name").text, L"two");
    EXPECT_EQ(cam2.at(L"Hex").integer, 255); // hexadecimal in element reads
    // Present with its type, but empty: 2 characters are below the minimum of code 24.
    EXPECT_EQ(cam2.at(L"Pwd").type, CFG_VALUE_TEXT);
    EXPECT_EQ(cam2.at(L"Pwd").text, L"");
    // Names are exact: "bitrate" is not "BitRate" and reads as text.
    EXPECT_EQ(cam2.at(L"bitrate").type, CFG_VALUE_TEXT);
    EXPECT_EQ(cam2.at(L"IRVS[1]").text, L"a");
    EXPECT_EQ(cam2.at(L"IRVS[2]").text, L"b");
    EXPECT_EQ(cam2.at(L"Dup").text, L"first");
    EXPECT_EQ(cam2.count(L"Long"), 0u); // over 255 characters
    EXPECT_EQ(cam2.count(L"Empty"), 0u);

    EXPECT_EQ(Element(PathOf({{L"/Config/Sources", 0}, {L"Cam", 0}}), schema).at(L"Name").text, L"one");
    Element(PathOf({{L"/Config/Sources", 0}, {L"Cam", 3}}), schema, -262144);
    Element(PathOf({{L"/Config/Sources", 0}, {L"Mic", 1}}), schema, -128);
    Element(PathOf({{L"/Config/Sources", 0}, {L"Mic", 0}}), schema, -16);
    Element(PathOf({{L"/Config/Sources", 0}, {L"Bare", 0}}), schema, -64);
}

TEST_F(ConfigXmlDocumentTest, ReadElementListFlags)
{
    LoadText("<Config><List><Count>2</Count>"
             "<Cam1 id=\"1\"><A>x</A><N id=\"3\">n3</N><E></E></Cam1>"
             "<Cam2 id=\"abc\"><A>y</A></Cam2>"
             "<NoId><A>z</A></NoId>"
             "<Cam3 id=\"3\"/>"
             "<Cam4 id=\"1234567890123\"><A>w</A></Cam4>"
             "</List><Empty>  </Empty></Config>");
    stReadElementFlags flags;
    flags.ReadId = 1;
    flags.KeepNodeName = 1;
    flags.SkipEmptyItems = 1;
    std::vector<ConfigValueMap> items;
    EXPECT_EQ(m_doc.ReadElementList(L"/Config/List", items, nullptr, flags), 2);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].at(L"nodeName").type, CFG_VALUE_NODENAME);
    EXPECT_EQ(items[0].at(L"nodeName").text, L"Cam1");
    EXPECT_EQ(items[0].at(L"id").integer, 1);
    EXPECT_EQ(items[0].at(L"N").text, L"n3"); // no id appended without the flag
    EXPECT_EQ(items[0].count(L"E"), 0u);
    // "abc" converts to 0, which is not negative: the item stays with id 0.
    EXPECT_EQ(items[1].at(L"id").integer, 0);

    // The count element has no attributes, so it is skipped as an item; maps already there count.
    flags.AppendIdToKey = 1;
    flags.KeepUntyped = 1;
    EXPECT_EQ(m_doc.ReadElementList(L"/Config/List", items, nullptr, flags), 4);
    EXPECT_EQ(items[2].at(L"N[3]").text, L"n3");
    EXPECT_EQ(items[2].at(L"E").type, CFG_VALUE_NONE);

    EXPECT_EQ(m_doc.ReadElementList(L"/Config/Empty", items, nullptr, flags), -128);
    EXPECT_EQ(m_doc.ReadElementList(L"/Config/None", items, nullptr, flags), -16);
    EXPECT_EQ(m_doc.ReadElementList(nullptr, items, nullptr, flags), -4);
}

// Nested elements are read below the item that holds them, so two items of one name and number
// each keep their own; items without a usable number are listed for the loaders' log lines.
TEST_F(ConfigXmlDocumentTest, ItemsLendTheirElementsForNestedReads)
{
    LoadText("<Config><List><Count>3</Count>"
             "<Cam id=\"1\"><Stream id=\"1\"><K>first</K></Stream></Cam>"
             "<Cam id=\"1\"><Stream id=\"1\"><K>second</K></Stream><Stream id=\"2\"><K>two</K></Stream></Cam>"
             "<NoId><Stream id=\"1\"><K>x</K></Stream></NoId><Blank id=\"\"><K>y</K></Blank>"
             "</List></Config>");
    stReadElementFlags flags;
    flags.ReadId = 1;
    std::vector<ConfigValueMap> items;
    std::vector<ConfigElement> elements;
    ASSERT_EQ(m_doc.ReadElementList(L"/Config/List", items, nullptr, flags, &elements), 2);
    ASSERT_EQ(elements.size(), 2u);
    ConfigValueMap values;
    EXPECT_EQ(m_doc.ReadElementBelow(elements[1], PathOf({{L"Stream", 1}}), values, nullptr), 0);
    EXPECT_EQ(values.at(L"K").text, L"second");
    values.clear();
    EXPECT_EQ(m_doc.ReadElementBelow(elements[0], PathOf({{L"Stream", 2}}), values, nullptr), -262144);
    EXPECT_EQ(m_doc.ReadElementBelow(elements[1], PathOf({{L"Stream", 2}}), values, nullptr), 0);
    EXPECT_EQ(values.at(L"K").text, L"two");

    std::vector<std::wstring> unnumbered;
    EXPECT_EQ(m_doc.ListItemsWithoutId(L"/Config/List", unnumbered), 2);
    EXPECT_EQ(unnumbered, (std::vector<std::wstring>{L"NoId", L"Blank"}));

    // An element of another document, or of this one before it was loaded again, is refused.
    CConfigXmlDocument other;
    WriteBytes(m_dir.File("other.xml"), "<Config><S><K>v</K></S></Config>");
    ASSERT_EQ(other.Load(WidePath(m_dir.File("other.xml"))), 0);
    EXPECT_EQ(other.ReadElementBelow(elements[0], PathOf({{L"Stream", 1}}), values, nullptr), -4);
    EXPECT_EQ(other.ReadElementBelow(nullptr, {}, values, nullptr), -4);
}

// Numbers and booleans keep the text they were read from, so that a log line can quote it.
TEST_F(ConfigXmlDocumentTest, ConvertedValuesKeepTheirText)
{
    LoadText("<Config><S id=\"1\"><B>1</B><N> 99999 </N><R>x</R></S></Config>");
    const ConfigKeySchema schema = {{L"B", 1}, {L"N", 2}, {L"R", 4}};
    const ConfigValueMap values = Element(PathOf({{L"/Config/S", 0}}), schema);
    EXPECT_EQ(values.at(L"B").boolean, 0);
    EXPECT_EQ(values.at(L"B").text, L"1");
    EXPECT_EQ(values.at(L"N").integer, 99999);
    EXPECT_EQ(values.at(L"N").text, L"99999");
    EXPECT_EQ(values.at(L"R").text, L"x");
    EXPECT_EQ(Node(L"/Config", L"B", 1).text, L"1");
    ASSERT_NE(ConfigValueTypeOf(24), nullptr);
    EXPECT_EQ(ConfigValueTypeOf(24)->minLength, 8);
    EXPECT_EQ(ConfigValueTypeOf(7), nullptr);
}

TEST_F(ConfigXmlDocumentTest, IdAttributeCodes)
{
    LoadText("<C><A/><B x=\"1\"/><D id=\"\"/><E id=\"  12\"/><F id=\"1234567890123\"/></C>");
    // Reached through ReadElement: an indexed step compares the ids it reads.
    EXPECT_EQ(Element(PathOf({{L"E", 12}}), {}, -64).size(), 0u);
    Element(PathOf({{L"A", 1}}), {}, -262144);
    Element(PathOf({{L"D", 1}}), {}, -262144);
    EXPECT_EQ(CConfigXmlDocument::ReadIdAttribute(nullptr), -4);
}

TEST_F(ConfigXmlDocumentTest, NamesFromTheFileAreNeverExpressions)
{
    // An alias with characters that an XPath would read as syntax is only a name here.
    LoadText("<Config><S><a id=\"1\"><K>v</K></a></S></Config>");
    Element(PathOf({{L"/Config/S", 0}, {L"a[@id=1]", 0}}), {}, -16);
    Element(PathOf({{L"/Config/S", 0}, {L"*", 0}}), {}, -16);
    Element(PathOf({{L"/Config//S", 0}}), {}, -16);
    stConfigValue value;
    EXPECT_EQ(m_doc.GetNodeValue(L"//S", L"K", 20, value), -16);
    EXPECT_EQ(m_doc.GetNodeValue(L"/Config/S", L"*", 20, value), -128);
}

// The same document in every encoding a stored file may have reads the same.
TEST_F(ConfigXmlDocumentTest, EncodingsReadTheSame)
{
    const std::string body = "<Config><General><CustomerName>中文客户</CustomerName>"
                             "<中文名 id=\"1\"><K>测试</K></中文名></General></Config>\n";
    const std::pair<const char *, std::string> files[] = {
        {"utf8.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + body},
        {"plain.xml", body},
        {"bom.xml", "\xEF\xBB\xBF" + body},
        {"utf16.xml", AsUtf16Le("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + body)},
        {"utf16nodecl.xml", AsUtf16Le(body)},
        {"gbk.xml", AsGbk("<?xml version=\"1.0\" encoding=\"GBK\"?>\n" + body)},
        {"gb2312.xml", AsGbk("<?xml version=\"1.0\" encoding=\"GB2312\"?>\n" + body)},
    };
    for (const auto &[name, bytes] : files) {
        SCOPED_TRACE(name);
        WriteBytes(m_dir.File(name), bytes);
        CConfigXmlDocument doc;
        ASSERT_EQ(doc.Load(WidePath(m_dir.File(name))), 0);
        stConfigValue value;
        ASSERT_EQ(doc.GetNodeValue(L"/Config/General", L"CustomerName", 35, value), 0);
        EXPECT_EQ(value.text, L"中文客户");
        std::vector<ConfigValueMap> items;
        stReadElementFlags flags;
        flags.ReadId = 1;
        flags.KeepNodeName = 1;
        ASSERT_EQ(doc.ReadElementList(L"/Config/General", items, nullptr, flags), 1);
        EXPECT_EQ(items[0].at(L"nodeName").text, L"中文名");
        EXPECT_EQ(items[0].at(L"K").text, L"测试");
    }
}

TEST_F(ConfigXmlDocumentTest, SaveKeepsTheFileEncoding)
{
    const std::string body = "<config><MOXGeneral><Name>中文</Name><CtrlPort>1000</CtrlPort></MOXGeneral></config>\n";
    const std::pair<const char *, std::string> files[] = {
        {"gbk.xml", AsGbk("<?xml version=\"1.0\" encoding=\"GBK\"?>\n" + body)},
        {"utf16.xml", AsUtf16Le("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + body)},
        {"utf8.xml", body},
    };
    for (const auto &[name, bytes] : files) {
        SCOPED_TRACE(name);
        const auto path = m_dir.File(name);
        WriteBytes(path, bytes);
        {
            CConfigXmlDocument doc;
            ASSERT_EQ(doc.Load(WidePath(path)), 0);
            EXPECT_EQ(doc.WriteMoxCtrlPort(L"2345"), 1);
            ASSERT_EQ(doc.Save(WidePath(path)), 0);
        }
        const std::string saved = ReadBytes(path);
        if (std::string(name) == "gbk.xml") {
            EXPECT_NE(saved.find("\xD6\xD0\xCE\xC4"), std::string::npos); // 中文 in GBK
            EXPECT_NE(saved.find("encoding=\"GBK\""), std::string::npos);
        } else if (std::string(name) == "utf16.xml") {
            EXPECT_EQ(saved.substr(0, 2), "\xFF\xFE");
        } else {
            EXPECT_NE(saved.find("中文"), std::string::npos);
        }
        CConfigXmlDocument doc;
        ASSERT_EQ(doc.Load(WidePath(path)), 0);
        stConfigValue value;
        ASSERT_EQ(doc.GetNodeValue(L"/config/MOXGeneral", L"CtrlPort", 2, value), 0);
        EXPECT_EQ(value.integer, 2345);
        ASSERT_EQ(doc.GetNodeValue(L"/config/MOXGeneral", L"Name", 20, value), 0);
        EXPECT_EQ(value.text, L"中文");
    }
    // Saves go through a temporary file beside the target; none is left behind.
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(m_dir.Path()))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"gbk.xml", "utf16.xml", "utf8.xml"}));
}

TEST_F(ConfigXmlDocumentTest, WriteMoxCtrlPortAddsTheElementOrFindsNothing)
{
    LoadText("<config><MOXGeneral><Other>1</Other></MOXGeneral></config>");
    EXPECT_EQ(m_doc.WriteMoxCtrlPort(L"<5&6>"), 1);
    EXPECT_EQ(Node(L"/config/MOXGeneral", L"CtrlPort", 20).text, L"<5&6>");
    EXPECT_EQ(m_doc.WriteMoxCtrlPort(L"7"), 1);
    EXPECT_EQ(Node(L"/config/MOXGeneral", L"CtrlPort", 2).integer, 7);

    LoadText("<config><Elsewhere/></config>");
    EXPECT_EQ(m_doc.WriteMoxCtrlPort(L"7"), 0);
    // Element names are exact: the companion's root is lower case.
    LoadText("<Config><MOXGeneral/></Config>");
    EXPECT_EQ(m_doc.WriteMoxCtrlPort(L"7"), 0);
}

} // namespace
