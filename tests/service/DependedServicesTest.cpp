#include "service/DependedServices.h"

#include "platform/ServiceManager.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// A service manager whose services change state as the test says; every call is recorded.
class CFakeServiceManager final : public IServiceManager
{
public:
    int32_t Open() override { return openResult; }
    int32_t Exists(const std::string &name) override { return states.count(name) ? 0 : -ENOENT; }
    int32_t QueryState(const std::string &name, int32_t &state) override
    {
        calls.push_back("query " + name);
        state = states.at(name);
        return 0;
    }
    int32_t Start(const std::string &name) override
    {
        calls.push_back("start " + name);
        states[name] = TYX_SERVICE_RUNNING;
        return 0;
    }
    int32_t Continue(const std::string &name) override
    {
        calls.push_back("continue " + name);
        states[name] = TYX_SERVICE_RUNNING;
        return 0;
    }

    int32_t openResult = 0;
    std::map<std::string, int32_t> states;
    std::vector<std::string> calls;
};

struct stClock
{
    uint32_t now = 5000;
    stDependedServicesClock Make()
    {
        return {[this] { return now; }, [this](uint32_t ms) { now += ms; }};
    }
};

TEST(DependedServicesTest, StoppedOnesAreStartedPausedOnesContinuedRunningOnesCountedOnce)
{
    CFakeServiceManager manager;
    manager.states = {{"db", TYX_SERVICE_STOPPED}, {"cam", TYX_SERVICE_PAUSED}, {"net", TYX_SERVICE_RUNNING}};
    std::map<std::wstring, int32_t> services = {{L"db", 0}, {L"cam", 0}, {L"net", 0}};
    stClock clock;
    EXPECT_EQ(CheckDependedServices(services, 5000, manager, clock.Make()), 3);
    EXPECT_EQ(manager.calls, (std::vector<std::string>{"query cam", "continue cam", "query db", "start db", "query net",
                                                       "query cam", "query db"}));
    EXPECT_EQ(services.at(L"net"), TYX_SERVICE_RUNNING);
}

TEST(DependedServicesTest, AWaitOf0Or1LooksAtNoneAndUnknownOrUnnamedOnesFail)
{
    CFakeServiceManager manager;
    manager.states = {{"db", TYX_SERVICE_RUNNING}};
    std::map<std::wstring, int32_t> services = {{L"db", 0}};
    stClock clock;
    EXPECT_EQ(CheckDependedServices(services, 1, manager, clock.Make()), 0);
    EXPECT_TRUE(manager.calls.empty());
    std::map<std::wstring, int32_t> unknown = {{L"", 0}, {L"gone", 0}};
    EXPECT_EQ(CheckDependedServices(unknown, 5000, manager, clock.Make()), 0);
    std::map<std::wstring, int32_t> none;
    EXPECT_EQ(CheckDependedServices(none, 5000, manager, clock.Make()), 0);
}

TEST(DependedServicesTest, ServicesThatNeverRunEndTheWaitAtItsLimit)
{
    CFakeServiceManager manager;
    manager.states = {{"slow", 3}};
    std::map<std::wstring, int32_t> services = {{L"slow", 0}};
    stClock clock;
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckDependedServices(services, 1000, manager, clock.Make()), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Some Lumo Depended Service NOT started until timedout!"),
              std::string::npos);
    EXPECT_EQ(clock.now, 6000u);
    manager.openResult = -ENOENT;
    EXPECT_EQ(CheckDependedServices(services, 1000, manager, clock.Make()), -ENOENT);
}

TEST(DependedServicesTest, UnitNamesGetTheServiceSuffixOnlyWithoutOne)
{
    EXPECT_EQ(CSystemdServiceManager::UnitName("postgresql"), "postgresql.service");
    EXPECT_EQ(CSystemdServiceManager::UnitName("media.mount"), "media.mount");
}

} // namespace
