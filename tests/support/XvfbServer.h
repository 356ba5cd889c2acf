#pragma once

// A real X server for tests and benchmarks: Xvfb on a display number it finds free itself, with
// GLX and RandR, and DISPLAY pointed at it while it runs. Helpers read pictures back from it and
// save them as PNG for a person to look at.

#include <cstdint>
#include <string>
#include <vector>

class CXvfbServer
{
public:
    CXvfbServer() = default;
    ~CXvfbServer() { Stop(); }
    CXvfbServer(const CXvfbServer &) = delete;
    CXvfbServer &operator=(const CXvfbServer &) = delete;

    // Starts Xvfb with one screen of width x height x 24 and sets DISPLAY: false when it cannot.
    bool Start(int width = 1920, int height = 1080);
    // Ends the server and gives DISPLAY its old value back.
    void Stop();
    const std::string &Name() const { return m_name; }

    // Two RandR monitors side by side: "TYXA" on the left half (primary, made of no output) and
    // "TYXB" on the right half (the screen's output), as xrandr --setmonitor makes them.
    bool AddTwoMonitors();
    // Adds a mode of width x height to the screen's output.
    bool AddOutputMode(int width, int height);
    // The size of the mode the screen's output shows now (0 x 0 when unknown).
    void CurrentOutputMode(int &width, int &height);
    // Sets the output back to the screen's own first mode.
    bool RestoreOutputMode();

    // The BGRA pixels of a window (the root window for 0) as the screen shows them; empty on failure.
    std::vector<uint8_t> Grab(unsigned long window, int &width, int &height);

private:
    int m_pid = -1;
    std::string m_name;
    std::string m_previousDisplay;
    bool m_hadDisplay = false;
    unsigned long m_firstMode = 0;
};

// Writes BGRA pixels (width x 4 bytes a row) as an RGB PNG file: false on failure.
bool SaveBgraAsPng(const std::string &path, const std::vector<uint8_t> &bgra, int width, int height);
// The B, G, R bytes of one pixel.
struct stBgr
{
    int b = 0;
    int g = 0;
    int r = 0;
};
stBgr PixelAt(const std::vector<uint8_t> &bgra, int width, int x, int y);
