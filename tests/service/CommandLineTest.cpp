#include "service/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct stCalls
{
    int reports = 0;
    std::vector<std::string> runs;
    int stops = 0;
    int listings = 0;
    std::vector<std::pair<bool, std::wstring>> autoStarts;
};

int RunWith(std::vector<std::string> words, stCalls &calls)
{
    words.insert(words.begin(), "TyxServiceMain");
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    stCommandLineActions actions;
    actions.checkEnvironment = [&] { ++calls.reports; };
    actions.autoStart = [&](bool remove, const wchar_t *arguments) {
        calls.autoStarts.emplace_back(remove, arguments ? arguments : L"<none>");
        return 0;
    };
    actions.run = [&](int count, char **words) {
        calls.runs.push_back(std::to_string(count) + " " + words[1]);
        return 7;
    };
    actions.stop = [&] {
        ++calls.stops;
        return 0;
    };
    actions.listCaptureDevices = [&] { ++calls.listings; };
    return RunFromCommandLine(static_cast<int>(argv.size()), argv.data(), actions);
}

TEST(CommandLineTest, TheServiceOptionsReachTheirActionsInAnyLetterCase)
{
    stCalls calls;
    EXPECT_EQ(RunWith({"-CHECKENV"}, calls), 0);
    EXPECT_EQ(calls.reports, 1);
    EXPECT_EQ(RunWith({"-install", "auto-console"}, calls), 0);
    EXPECT_EQ(RunWith({"-Uninstall"}, calls), 0);
    using Call = std::pair<bool, std::wstring>;
    EXPECT_EQ(calls.autoStarts, (std::vector<Call>{{false, L"-silent"}, {true, L"<none>"}}));
}

TEST(CommandLineTest, InstallVariantsAndUnknownOptions)
{
    stCalls calls;
    EXPECT_EQ(RunWith({"-install"}, calls), 0);
    EXPECT_EQ(RunWith({"-install", "manualstart"}, calls), 0);
    EXPECT_EQ(RunWith({"-install", "autostart"}, calls), 0);
    EXPECT_EQ(RunWith({"-install", "bogus"}, calls), 0); // the usage text, and success
    EXPECT_EQ(RunWith({"-start"}, calls), 0);
    EXPECT_TRUE(calls.autoStarts.empty());
    EXPECT_EQ(RunWith({"-bogus"}, calls), -1);
    EXPECT_EQ(RunWith({}, calls), -1);
    EXPECT_EQ(calls.reports, 0);
}

TEST(CommandLineTest, RunModesGiveTheRunsExitCodeAndStopAndListingAreTheirOwn)
{
    stCalls calls;
    EXPECT_EQ(RunWith({"-Console"}, calls), 7);
    EXPECT_EQ(RunWith({"-silent", "extra"}, calls), 7);
    EXPECT_EQ(calls.runs, (std::vector<std::string>{"2 -Console", "3 -silent"}));
    EXPECT_EQ(RunWith({"-STOP"}, calls), 0);
    EXPECT_EQ(calls.stops, 1);
    EXPECT_EQ(RunWith({"-avcapdvc"}, calls), 0);
    EXPECT_EQ(calls.listings, 1);
}

} // namespace
