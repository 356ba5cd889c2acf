#pragma once

// The direct display server of one video output: shows its pictures in a window of its own or full
// screen on a monitor (1 to 8) through a FramePresenterGL. The owner pushes device copies of its I420
// pictures; the server's thread draws the attached overlays, converts the picture to BGRA on the
// device and presents it. The thread owns its X connection, the window and the presenter, and pumps
// the window's events.
//
// States of the display: idle (no window) --start event--> displaying (window, presenter) --stop
// event--> idle; the exit event ends the thread. InitMonitors draws the identification banner on the
// monitors that no direct output uses.

#include "output/DirectOutputServer.h"
#include "output/DisplayEntry.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CX11Display;
class FramePresenterGL;

// Display modes.
constexpr int32_t TYX_RVDO_MODE_WINDOW = 1;
constexpr int32_t TYX_RVDO_MODE_MONITOR = 4;

// The banner text at start-up.
extern const wchar_t *const TYX_DEFAULT_BANNER_TEXT;

// Takes and leaves the process-wide renderer section (the monitor registry's lock); Unlock acts only
// on the thread that holds it.
void LockRendererSection();
void UnlockRendererSection();
// Marks a monitor as showing a direct output, or not.
void SetMonitorInUse(int32_t monitorNo, bool inUse);
// The banner switch and text that the display servers use when they give a monitor back.
void SetBannerSettings(bool on, const std::wstring &text);
void GetBannerSettings(bool &on, std::wstring &text);

// What monitor tracking asks of the display at a tracking point.
enum class EMonitorAction { Keep, EnterFullscreen, SwitchOff, Retarget };
// Decides it from the number of displays at the last check and now, the monitor (1 to 8) and
// whether the window is full screen now.
EMonitorAction DecideMonitorAction(int32_t previousCount, int32_t count, int32_t monitorNo, bool fullscreen);

class CRVDOServer final : public CDirectOutputServer
{
public:
    CRVDOServer(std::wstring name, int32_t workerId, CRVProcWorker *owner);
    ~CRVDOServer() override;

    uint32_t WorkingFunc() override;
    // Prepares the display for pictures of width x height: the frame queue, or none for an empty,
    // odd or oversized size or a GPU context that cannot be had (logged). interopFlag 0 presents a
    // monitor output through host memory. Owner's thread, before the thread starts.
    stDirectOutputQueue *Initialize(int16_t typeCode, int32_t width, int32_t height, int32_t cudaDevice,
                                    int32_t interopFlag);
    // Stops the thread (100 ms), closes the display and frees the buffers; what a still-running thread
    // uses is kept until it ends.
    void unInitialize() override;

    // Shows the pictures in a window titled title (the server's name when empty) of width x height
    // (640 x 360 outside 160..1920 x 90..1080): signals the thread to start. Any thread.
    bool StartDirectOutput(const std::wstring &title, int32_t width, int32_t height);
    // Makes the next start show full screen on the monitor (1 to 8). Any thread, before the start.
    void SetMonitorOutput(int16_t monitorNo);

    bool IsInitialized() const { return m_initialized.load(); }
    // True while the pictures are shown (window and presenter exist).
    bool IsActive() const { return m_active.load(); }
    int32_t DisplayMode() const { return m_displayMode.load(); }
    int16_t MonitorNo() const { return m_monitorNo.load(); }
    int16_t TypeCode() const { return m_typeCode.load(); }
    // The window's X id (0 while idle), its size and the monitor it is on, for tests and logs.
    unsigned long WindowId() const { return m_windowId.load(); }
    void WindowSize(int32_t &width, int32_t &height) const;
    // Pictures presented since the last start.
    int64_t FramesShown() const { return m_framesShown.load(); }

    // Draws the identification banner with the time: on every monitor that no direct output shows
    // (monitorNo below 1; the number drawn) or on that one (1, or -1 beyond the monitor count). The
    // clear flag paints the monitor black first. A count of 0 or below (no X server: -1) is returned
    // as it is. The adapter name and the device are kept for callers; the monitors come from X.
    static int32_t InitMonitors(const std::wstring &adapterName, bool clear, const std::wstring &bannerText,
                                int32_t cudaDevice, int32_t monitorNo);
    // The window size for a picture of width x height: kept when it fits 1280 x 720, else scaled down
    // with its aspect to fit.
    static void FitWindowSize(int32_t &width, int32_t &height);

private:
    bool StartRendering();
    void StopRendering();
    bool CreateRenderingWindow(const std::wstring &title, int32_t width, int32_t height);
    bool CorrectDisplaySetting(const stDisplayEntry &display);
    void PresentPackage(FramePackage &package);
    void TrackMonitor();
    bool PlaceFullscreen(const stDisplayEntry &display);
    void PumpWindowEvents();

    std::atomic<int16_t> m_typeCode{TYX_DIRECT_OUTPUT_TYPE};
    std::atomic<bool> m_initialized{false};
    uint16_t m_width = 0;
    uint16_t m_height = 0;
    int32_t m_frameLength = 0;
    uint8_t *m_bgra = nullptr;           // device memory, width x height x 4
    std::vector<uint8_t> m_hostBgra;     // host-copy mode
    bool m_hostCopy = false;
    std::wstring m_adapterName;
    int32_t m_interopFlag = 1;
    int32_t m_cudaDevice = -1;
    bool m_contextRetained = false;

    // Display settings, written by the owner before it signals the start.
    std::mutex m_settingsMutex;
    uint8_t m_enabled = 0;
    std::wstring m_windowTitle;
    int32_t m_windowWidth = 0;
    int32_t m_windowHeight = 0;
    std::atomic<int32_t> m_displayMode{0};
    std::atomic<int16_t> m_monitorNo{-1};

    // The server thread's own.
    std::unique_ptr<CX11Display> m_display;
    std::unique_ptr<FramePresenterGL> m_presenter;
    std::shared_ptr<CEvent> m_presentEvent;
    bool m_windowCreated = false;
    bool m_displaying = false;
    std::wstring m_monitorDeviceName;
    int32_t m_knownDisplayCount = 0;
    int64_t m_frameCounter = 0;
    int64_t m_droppedPictures = 0;
    std::atomic<unsigned long> m_windowId{0};
    std::atomic<int32_t> m_shownWidth{0};
    std::atomic<int32_t> m_shownHeight{0};
    std::atomic<bool> m_active{false};
    std::atomic<int64_t> m_framesShown{0};
};
