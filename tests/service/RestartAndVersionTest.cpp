#include "service/dGlobalFuncs.h"

#include "core/TYXUtils.h"
#include "platform/ProcessTable.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

class CFakeHost final : public IHostControl
{
public:
    int32_t PowerOff() override { return 0; }
    int32_t Reboot() override { return 0; }
    int32_t ScheduleProgramStart(const stScheduledStart &start) override
    {
        starts.push_back(start);
        return result;
    }

    std::vector<stScheduledStart> starts;
    int32_t result = 0;
};

TEST(RestartTaskTest, ARestartComesOnlyMoreThanThirtySecondsAhead)
{
    CFakeHost host;
    const int64_t now = 1715072580;
    EXPECT_EQ(CreateRestartTask(now + 30, now, host, "/opt/tyx/TyxServiceMain"), -1);
    EXPECT_EQ(CreateRestartTask(now - 5, now, host, "/opt/tyx/TyxServiceMain"), -1);
    EXPECT_EQ(CreateRestartTask(now + 31, now, host, ""), -1);
    EXPECT_TRUE(host.starts.empty());

    ASSERT_EQ(CreateRestartTask(now + 31, now, host, "/opt/tyx/TyxServiceMain"), 0);
    ASSERT_EQ(host.starts.size(), 1u);
    const stScheduledStart &start = host.starts[0];
    EXPECT_EQ(start.argv, (std::vector<std::string>{"/opt/tyx/TyxServiceMain", "-silent"}));
    EXPECT_EQ(start.startTime, now + 31);
    EXPECT_EQ(start.latestStart, now + 31 + 300);

    host.result = -5;
    EXPECT_EQ(CreateRestartTask(now + 60, now, host, "/opt/tyx/TyxServiceMain"), -46);
}

TEST(ProductVersionTest, OnlyThisProgramCarriesAVersion)
{
    stProgramVersion version;
    EXPECT_EQ(GetFileProductVersion(L"", version), -1);
    EXPECT_EQ(GetFileProductVersion(L"/no/such/file", version), -2);
    CTempDir dir;
    std::ofstream(dir.File("companion")) << "#!/bin/sh\n";
    EXPECT_EQ(GetFileProductVersion(dir.File("companion").wstring(), version), -ENODATA);
    ASSERT_EQ(GetFileProductVersion(StringToWString(OwnProgramPath()), version), 0);
    const stProgramVersion compiled = TyxProgramVersion();
    EXPECT_EQ(version.major, compiled.major);
    EXPECT_EQ(version.minor, compiled.minor);
    EXPECT_EQ(version.build, compiled.build);
    EXPECT_EQ(version.revision, compiled.revision);
}

} // namespace
