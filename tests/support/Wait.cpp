#include "support/Wait.h"

#include <chrono>
#include <thread>

bool WaitUntil(const std::function<bool()> &condition, int timeoutMs, int pollMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}
