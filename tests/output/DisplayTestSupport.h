#pragma once

// For the display tests: a real Xvfb per test, windows made on the test's own X connection, the
// BGRA reference of a test picture, and PNG files of what the screen showed.

#include "support/LeakCheck.h"
#include "support/XvfbServer.h"

#include <cstdint>
#include <string>
#include <vector>

using Display = struct _XDisplay;

// A window on its own X connection, with a visual GL can draw on, mapped at (x, y).
class CTestWindow
{
public:
    CTestWindow(const std::string &displayName, int x, int y, int width, int height);
    ~CTestWindow();
    CTestWindow(const CTestWindow &) = delete;
    CTestWindow &operator=(const CTestWindow &) = delete;

    unsigned long Id() const { return m_window; }
    // Moves and resizes it from outside, as a user or another program would.
    void MoveResize(int x, int y, int width, int height);
    // Its place on the root window.
    void Geometry(int &x, int &y, int &width, int &height) const;

private:
    Display *m_display = nullptr;
    unsigned long m_window = 0;
};

// Position and size of any window, read on a connection of its own.
bool WindowGeometry(const std::string &displayName, unsigned long window, int &x, int &y, int &width, int &height);
// The window's title and class name.
std::string WindowTitle(const std::string &displayName, unsigned long window);
std::string WindowClass(const std::string &displayName, unsigned long window);

// An I420 picture as the display path turns it into BGRA (through the same kernels).
std::vector<uint8_t> I420ToBgra(const std::vector<uint8_t> &i420, int width, int height);
// What the display path makes of a solid I420 colour: its B, G, R after the host conversion.
stBgr ExpectedBgr(uint8_t y, uint8_t u, uint8_t v);
bool NearColor(const stBgr &actual, const stBgr &expected, int tolerance = 3);

// Saves what the screen shows of the window as artifacts/<name>.png beside the test program.
void SaveScreenshot(CXvfbServer &xvfb, unsigned long window, const std::string &name);

// Starts Xvfb (1920 x 1080) for each test; the test is skipped when Xvfb is not installed.
class CXvfbTest : public CLeakCheckedTest
{
protected:
    void SetUp() override;
    void TearDown() override;
    CXvfbServer m_xvfb;
};
