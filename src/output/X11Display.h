#pragma once

// One connection to the X server, used by one thread (XInitThreads runs once, before the first
// connection of the process). Protocol errors are collected per connection instead of ending the
// process, and a connection that breaks (the X server went away) is marked lost while the process
// goes on. A closed connection is kept for the next Open of the same display.

#include "output/DisplayEntry.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

using Display = struct _XDisplay;

class CX11Display
{
public:
    CX11Display() = default;
    ~CX11Display() { Close(); }
    CX11Display(const CX11Display &) = delete;
    CX11Display &operator=(const CX11Display &) = delete;

    // Connects to the named display (empty: $DISPLAY): 0, or -1 when no X server answers.
    [[nodiscard]] int Open(const std::string &name = {});
    void Close();
    bool IsOpen() const { return m_display != nullptr; }
    Display *Get() const { return m_display; }
    // The name another thread connects with to reach the same server.
    const std::string &Name() const { return m_name; }
    unsigned long Root() const;
    // True once the connection broke; every later request is void.
    bool IsLost() const;

    // Waits until the server has handled every request sent so far: the X error code of the first
    // request that failed since the last call (0 none).
    int SyncErrors();
    // The monitors of the screen in the server's order: their number, or -1 without a connection.
    int32_t ListMonitors(std::vector<stDisplayEntry> &monitors);

    // Held around opening and closing connections and around RandR requests: the extension
    // libraries keep one process-wide list of connections whose look-ups race with a close on
    // another thread.
    static std::mutex &ExtensionMutex();

private:
    std::shared_ptr<struct stX11Connection> m_connection;
    Display *m_display = nullptr;
    std::string m_name;
};
