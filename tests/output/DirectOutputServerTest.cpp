// The stop protocol that the display and pipe servers share, with a server whose thread holds on
// past its stop budget (as a display thread does while its window goes full screen).

#include "output/DirectOutputServer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <latch>
#include <memory>

namespace {

constexpr uint32_t kExitCode = 7;
constexpr auto kGenerous = std::chrono::seconds(30);

class CHeldServer : public CDirectOutputServer
{
public:
    explicit CHeldServer(std::promise<void> &destroyed)
        : CDirectOutputServer(L"HeldServer", L"held", 1, nullptr), m_destroyed(destroyed)
    {
    }
    ~CHeldServer() override
    {
        unInitialize();
        m_destroyed.set_value();
    }
    uint32_t WorkingFunc() override
    {
        entered.count_down();
        release.wait();
        return kExitCode;
    }
    void unInitialize() override { (void)Stop(50); }

    std::latch entered{1};
    std::latch release{1};

private:
    std::promise<void> &m_destroyed;
};

TEST(DirectOutputServerTest, AThreadPastItsStopBudgetStaysTheServersThreadUntilAStopJoinsIt)
{
    std::promise<void> destroyed;
    auto server = std::make_shared<CHeldServer>(destroyed);
    ASSERT_GT(server->StartThread(), 0);
    server->entered.wait();

    EXPECT_EQ(static_cast<int32_t>(TYX_STILL_ACTIVE), server->Stop(50));
    // The owner must see it still running, or it would free what the thread still uses.
    EXPECT_TRUE(server->IsThreadRunning());
    EXPECT_NE(0, server->ThreadId());
    EXPECT_EQ(-EEXIST, server->StartThread()) << "a second thread on the same server";

    server->release.count_down();
    EXPECT_EQ(static_cast<int32_t>(kExitCode), server->Stop(60000));
    EXPECT_FALSE(server->IsThreadRunning());
    EXPECT_EQ(0, server->ThreadId());
    EXPECT_GT(server->StartThread(), 0) << "the server starts again once its thread has gone";
    EXPECT_EQ(static_cast<int32_t>(kExitCode), server->Stop(60000));
}

TEST(DirectOutputServerTest, AServerLetGoWhileItsThreadRunsOnGoesWhenTheThreadEnds)
{
    std::promise<void> destroyed;
    std::future<void> gone = destroyed.get_future();
    auto server = std::make_shared<CHeldServer>(destroyed);
    ASSERT_GT(server->StartThread(), 0);
    server->entered.wait();
    EXPECT_EQ(static_cast<int32_t>(TYX_STILL_ACTIVE), server->Stop(50));

    std::latch &release = server->release;
    server.reset();
    EXPECT_EQ(std::future_status::timeout, gone.wait_for(std::chrono::milliseconds(0)))
        << "the running thread keeps its server";
    release.count_down();
    // The thread lets go last: the server is destroyed on it, without joining itself.
    EXPECT_EQ(std::future_status::ready, gone.wait_for(kGenerous));
}

} // namespace
