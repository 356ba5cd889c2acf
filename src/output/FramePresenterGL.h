#pragma once

// Puts BGRA pictures on an X window through OpenGL (GLX). A drawing thread of its own opens its own
// X connection, makes the GL context on the window, keeps full screen while it is asked for, and
// does every GL call; presents hand it the picture through a one-picture mailbox and wait at most
// 100 ms until it is on screen. Device pictures reach the texture through CUDA-GL interop when the
// CUDA device drives the display, else through host memory (the host-copy form always does).
//
// A present copies the caller's picture before it returns, so the caller may reuse its buffer at
// once, even after a time-out. States: starting -> ready -> stopping (present event set, or the
// presenter deleted) -> released; presents while not ready return false.

#include "output/DisplayEntry.h"
#include "output/FramePresenter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CEvent;
class CX11Display;

class FramePresenterGL final : public FramePresenter
{
public:
    // Interop form: pictures of width x height from the device memory of cudaDevice.
    FramePresenterGL(int32_t cudaDevice, const std::string &displayName, unsigned long window,
                     std::shared_ptr<CEvent> presentEvent, int32_t width, int32_t height);
    // Host-copy form on the adapter of that name (the GL renderer; empty: whichever drives the
    // display).
    FramePresenterGL(const std::wstring &adapterName, const std::string &displayName, unsigned long window,
                     std::shared_ptr<CEvent> presentEvent, int32_t width, int32_t height);
    // Stops the drawing thread (within 50 ms) and releases everything.
    ~FramePresenterGL() override;

    // Server thread. False while not ready; else true once the picture is on screen or 100 ms passed.
    bool PresentDeviceFrame(const uint8_t *picture, int32_t pitch);
    // Copies min(width x height x 4, length) bytes; the rest of the picture stays as it was.
    bool PresentHostFrame(const uint8_t *picture, int32_t length);
    // Covers the monitor under the window's centre, or gives the window its size back: true when
    // done. While full screen is asked for, the drawing thread restores it whenever it is lost.
    bool SetFullscreen(bool on);
    bool IsFullscreen() const { return m_fullscreenActual.load(); }
    bool IsReady() const { return m_ready.load(); }
    bool UsesInterop() const { return m_interop.load(); }
    // The displays of the presenter's X server: their number, or -1.
    int32_t GetConnectedDisplayList(std::vector<stDisplayEntry> &displays, bool refresh);
    static int32_t GetConnectedDisplayList(const std::string &displayName, std::vector<stDisplayEntry> &displays);

private:
    struct stGlState;
    enum class EJob { Empty, Host, Device };

    FramePresenterGL(int32_t cudaDevice, bool hostCopy, std::wstring adapterName, const std::string &displayName,
                     unsigned long window, std::shared_ptr<CEvent> presentEvent, int32_t width, int32_t height);
    void Run();
    bool SetUp(stGlState &gl);
    void CleanUp(stGlState &gl);
    void DrawPicture(stGlState &gl, EJob job);
    void ApplyFullscreen(stGlState &gl, bool on);
    bool WindowCoversMonitor(stGlState &gl);
    bool WaitForGeneration(uint64_t generation, const std::atomic<uint64_t> &done, std::chrono::milliseconds limit);

    const bool m_hostCopy;
    const std::wstring m_adapterName;
    const std::string m_displayName;
    const unsigned long m_window;
    const std::shared_ptr<CEvent> m_presentEvent;
    std::atomic<int32_t> m_tid{0};

    // The mailbox: the latest picture waits in a staging buffer.
    std::mutex m_mutex;
    std::condition_variable m_wake;    // to the drawing thread
    std::condition_variable m_done;    // from it
    std::mutex m_stagingMutex;         // the staging buffers, while written or uploaded
    std::vector<uint8_t> m_hostStaging;
    uint8_t *m_deviceStaging = nullptr;
    EJob m_job = EJob::Empty;
    uint64_t m_requested = 0;
    std::atomic<uint64_t> m_presented{0};
    bool m_fullscreenWanted = false;
    uint64_t m_fullscreenRequests = 0;
    std::atomic<uint64_t> m_fullscreenApplied{0};
    std::atomic<bool> m_fullscreenResult{false};
    std::atomic<bool> m_fullscreenRequested{false}; // kept up by the drawing thread
    std::atomic<bool> m_fullscreenActual{false};
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_quit{false};
    std::atomic<bool> m_interop{false};
    std::thread m_thread;
};
