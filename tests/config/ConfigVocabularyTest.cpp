#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigText.h"
#include "config/WorkerReference.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

namespace {

// Some tables match letter for letter (a wrong case reads as the table's 0), the others ignore
// ASCII case; no text is never a keyword. The loader tests meet the position, text-content,
// colour, engine and mid-processor words in both cases.
TEST(ConfigKeywordsTest, ExactKeywordsAndCaseFolding)
{
    EXPECT_EQ(ParsePositionBase(L"ScreenCenter"), 1);
    EXPECT_EQ(ParseContainer(L"asf"), 0);
    EXPECT_EQ(ParseContainer(L"ASF"), 1);
    EXPECT_EQ(ParseSourceType(L"rtsp"), 2);
    EXPECT_EQ(SectionKindFromName(L"Writers"), 0);
    EXPECT_EQ(CodecIdFromName(L"h.264"), 27);
    EXPECT_EQ(CodecIdFromName(L"VP9"), 0);
    for (auto parse : {ParseColor, SectionKindFromName, ParseSourceType, ParseReaderType, ParseWindowMode,
                       ParseDecodeEngine, ParseMidProcType, ParseContainer, ParseRole, ParseOsdContent,
                       ParsePositionBase, CodecIdFromName})
        EXPECT_EQ(parse(nullptr), 0);
    // Only ASCII letters fold.
    EXPECT_TRUE(EqualsNoCase(L"中文ABC", L"中文abc"));
    EXPECT_FALSE(EqualsNoCase(L"É", L"é"));
}

TEST(ConfigKeywordsTest, MuxLayoutsAndProfiles)
{
    const std::pair<const wchar_t *, std::pair<int32_t, int32_t>> layouts[] = {
        {L"StandAlone", {1, 1}}, {L"pip-1-on-1", {2, 2}}, {L"2Rows-with-3Cols", {12, 6}},
        {L"4Row-with-8Cols", {21, 32}}, {L"standalone", {0, 0}},
    };
    for (const auto &[word, expected] : layouts) {
        int32_t windows = -1;
        EXPECT_EQ(ParseMuxLayout(word, windows), expected.first) << word;
        EXPECT_EQ(windows, expected.second) << word;
    }
    int32_t windows = -1;
    EXPECT_EQ(ParseMuxLayout(nullptr, windows), 0);
    // Profiles belong to their codec; case is ignored.
    EXPECT_TRUE(IsProfileValid(L"High", 27));
    EXPECT_FALSE(IsProfileValid(L"high", 173));
    EXPECT_TRUE(IsProfileValid(L"main10", 173));
    EXPECT_FALSE(IsProfileValid(L"main", 86018));
}

TEST(ConfigKeySchemaTest, AFillReplacesWhatWasThere)
{
    ConfigKeySchema schema = {{L"stale", 1}};
    GetConfigKeySchema(CFG_SCHEMA_MEDIA_SOURCE, schema);
    EXPECT_EQ(schema.count(L"stale"), 0u);
    EXPECT_EQ(schema.at(L"AuthPwd"), 24);
    GetConfigKeySchema(33, schema);
    EXPECT_TRUE(schema.empty());
}

TEST(WorkerReferenceTest, SplitCommaList)
{
    std::list<std::wstring> items;
    std::wstring text = L",a, ,b,,";
    EXPECT_EQ(SplitCommaList(text, items), 2);
    EXPECT_EQ(items, (std::list<std::wstring>{L"a", L"b"}));
    text = L",,,";
    EXPECT_EQ(SplitCommaList(text, items), 0);
    text = L"";
    EXPECT_EQ(SplitCommaList(text, items), -1);
    // A long list of references loses nothing up to the limit ...
    text.clear();
    for (int i = 0; i < 20; ++i)
        text += L"VideoEncoders.Encoder" + std::to_wstring(i) + L".VideoOutput,";
    ASSERT_GT(text.size(), 127u);
    items.clear();
    EXPECT_EQ(SplitCommaList(text, items), 20);
    // ... and beyond it is refused whole, never cut.
    text = std::wstring(MAX_COMMA_LIST_TEXT + 1, L'a');
    EXPECT_EQ(SplitCommaList(text, items), -1);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(items.size(), 20u);
}

TEST(WorkerReferenceTest, ParseCodes)
{
    const std::pair<const wchar_t *, int32_t> cases[] = {
        {L"", -257},
        {L"...", 0},
        {L" .Cam1", -258},
        {L"Sources.Cam1", -260},
        {L"MediaSources", -262},
        {L"MediaSources. .VideoOutput", -262},
        {L"MediaSources.Cam1", 2},
        {L"MediaSources.Cam1.", -266},
        {L"MediaSources.Cam1.Output", -268},
        {L"MediaSources.Cam1.VideoInput", -270},
        {L"MediaWriters.W1.VideoInput", 3},
        {L"MediaSources.Cam1.audioinput", -268},
        {L"MediaSources.Cam1.VideoOutput", 3},
        {L"MediaSources.Cam1.VideoOutput.ById", 4},
        {L"MediaSources.Cam1.VideoOutput.ById.2", 5},
        {L"MediaSources.Cam1.VideoOutput.ById.-1", -280},
        {L"MediaSources.Cam1.VideoOutput.ById.", -280},
        {L"MediaSources.Cam1.VideoOutput.ById. ", -278},
        {L"MediaSources.Cam1.VideoOutput.ByName.", -274},
        {L"MediaSources.Cam1.VideoOutput.byname.Main", 5},
        {L"MediaSources.Cam1.VideoOutput.Other.x", 4},
        {L"..MediaSources . Cam1 .. VideoOutput ", 3},
    };
    for (const auto &[text, expected] : cases) {
        stTYXWorkerReference reference;
        EXPECT_EQ(ResolveWorkerReference(text, reference), expected) << text;
    }
    stTYXWorkerReference reference;
    EXPECT_EQ(ResolveWorkerReference(std::wstring(128, L'a'), reference), -257);
    EXPECT_EQ(ResolveWorkerReference(L"MediaSources." + std::wstring(64, L'a'), reference), -264);
    EXPECT_EQ(ResolveWorkerReference(L"MediaSources.a.VideoOutput.ByName." + std::wstring(64, L'b'), reference), -276);

    stTYXWorkerReference full;
    ASSERT_EQ(ResolveWorkerReference(L"VideoDecoders.Cam1.VideoOutput.ById.2", full), 5);
    EXPECT_EQ(full.Section, L"VideoDecoders");
    EXPECT_EQ(full.SectionKind, 4);
    EXPECT_EQ(full.Alias, L"Cam1");
    EXPECT_EQ(full.RoleCode, 4);
    EXPECT_EQ(full.By, L"ById");
    EXPECT_EQ(full.StreamId, 2);
    EXPECT_TRUE(IsFeedingKindAllowed(full, 8));
    EXPECT_FALSE(IsFeedingKindAllowed(full, 9));
}

TEST(ConfigTextTest, NumbersAsOnWindows)
{
    EXPECT_EQ(WideToInt32(L"  +12x"), 12);
    EXPECT_EQ(WideToInt32(L"-2147483648"), INT_MIN);
    EXPECT_EQ(WideToInt32(L"2147483648"), INT_MAX);
    EXPECT_EQ(WideToInt32(L"0x1F", 16), 31);
    EXPECT_EQ(WideToInt32(L"FFFFFFFF", 16), INT_MAX);
    EXPECT_EQ(WideToUInt64(L"FFFFFFFFFFFFFFFF", 16), UINT64_MAX);
    EXPECT_EQ(static_cast<int64_t>(WideToUInt64(L"8000000000000000", 16)), INT64_MIN);
    EXPECT_EQ(WideToInt64(L"-9223372036854775809"), INT64_MIN);
    EXPECT_EQ(WideToInt32(L""), 0);
    EXPECT_EQ(WideToInt32(L"-"), 0);
    EXPECT_DOUBLE_EQ(WideToReal(L" -2.5e1abc"), -25.0);
    EXPECT_DOUBLE_EQ(WideToReal(L"1e-400"), 0.0);
    EXPECT_TRUE(std::isinf(NarrowToFloat(1e300)));
    EXPECT_TRUE(std::isnan(NarrowToFloat(std::nan(""))));
}

} // namespace
