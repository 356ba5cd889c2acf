#pragma once

// The bounded wait of the tests: a test waits for what it needs (a count, a file, a log line), never
// for a fixed time.

#include <functional>

// Polls the condition every pollMs until it holds or timeoutMs has passed: true once it held.
bool WaitUntil(const std::function<bool()> &condition, int timeoutMs, int pollMs = 2);
