#pragma once

// The composer of the mux worker: the layout geometry that places the windows on the canvas, and
// the composition of one picture per window into the canvas on the GPU.

#include "core/ReadWriteLock.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// One window of a layout. Its picture is width x height; a window that hangs off the canvas shows
// the part of its picture from (cropLeft, cropTop) on, at (left, top) on the canvas.
struct stMuxRegion
{
    uint8_t kind = 0; // 0 background covering the canvas; 1 grid and fixed windows; 1..16 picture in picture
    uint8_t spare = 0;
    uint16_t top = 0;
    uint16_t left = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t cropLeft = 0;
    uint16_t cropTop = 0;
};

// A layout handed to the composer: the canvas and its windows.
struct stMuxLayout
{
    uint16_t canvasWidth = 0;
    uint16_t canvasHeight = 0;
    uint8_t windowCount = 0;
    std::vector<stMuxRegion> regions;
};

// One picture-in-picture window as the mux worker keeps it; the geometry corrects the offsets in
// place.
struct stPipWindowInfo
{
    uint8_t anchor = 0;        // position code: 1 centre, 2 left top, 4 right top, 6 right bottom, 8 left bottom
    uint8_t workerData[5] = {}; // the mux worker's own
    uint8_t kind = 0;
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 0;
    uint16_t height = 0;
};

// What one window shows in the next composition. The mux worker fills it while it holds the slot's
// lock exclusively, and keeps that lock until the composition is done.
struct stMuxInputSlot
{
    std::unique_ptr<CReadWriteLock> lock = std::make_unique<CReadWriteLock>();
    uint8_t inDevice = 0;
    uint8_t *picture = nullptr; // contiguous I420 of width x height, or none (the window stays black)
    int32_t length = 0;
    uint16_t width = 0; // the picture's own size; it must be the window's
    uint16_t height = 0;
    bool misfitLogged = false;
};

// Layout ids, as the configuration vocabulary numbers them.
constexpr int32_t TYX_MUX_LAYOUT_STANDALONE = 1;
constexpr int32_t TYX_MUX_LAYOUT_PIP_1_ON_1 = 2;
constexpr int32_t TYX_MUX_LAYOUT_PIP_2_ON_1 = 3;
constexpr int32_t TYX_MUX_LAYOUT_PIP_4_ON_1 = 5;
constexpr int32_t TYX_MUX_LAYOUT_MAX = 21;

class CVideoMuxer
{
public:
    CVideoMuxer();
    ~CVideoMuxer(); // frees the canvas
    CVideoMuxer(const CVideoMuxer &) = delete;
    CVideoMuxer &operator=(const CVideoMuxer &) = delete;

    // Fills the windows of a layout on the record's canvas and records the id of any layout.
    // Returns the window count, -1 for an id that names no layout, -2 for a picture-in-picture
    // layout without a list or with an anchor outside the five codes, -4 for too short a list; the
    // windows that could not be placed are left empty (black), the others are placed.
    int32_t BuildLayoutRegions(int32_t layoutId, stMuxLayout &layout, std::vector<stPipWindowInfo> *pipList);
    // Once, when the mux worker initialises: the geometry on this canvas, then Initialize with
    // whatever windows it placed. Returns the canvas size in bytes or Initialize's failure (-1 also
    // for an id outside 1..21 or naming no layout; -2 / -4 for a picture-in-picture id without a
    // list / with an empty one).
    int32_t SetLayout(int32_t layoutId, uint16_t canvasWidth, uint16_t canvasHeight, const std::wstring &layoutName,
                      std::vector<stPipWindowInfo> *pipList);
    // A layout change on the current canvas. Returns the canvas size; -1 for an id outside 1..21
    // or naming no layout, -2 / -4 for a picture-in-picture id without a list / with an empty one,
    // which leave the composer as it was. Windows the geometry could not place stay black.
    int32_t ChangeLayout(int32_t layoutId, std::vector<stPipWindowInfo> *pipList);

    // Rebuilds the windows and allocates the canvas. Returns the canvas size in bytes, -1 for a
    // layout without windows, -2 when the device canvas cannot be allocated.
    int32_t Initialize(const stMuxLayout &layout);
    // Rebuilds the windows; the canvas is reallocated only when its size changes. Returns the canvas
    // size, -1 for a layout without windows, -2 when the new canvas cannot be allocated.
    int32_t Reinitialize(const stMuxLayout &layout);

    // The window's region (taking the region lock shared); false for an unknown index.
    bool GetRegion(uint16_t index, stMuxRegion &region);

    // Composes the current slots into target (a device buffer of the canvas size), or into the
    // composer's own canvas when target is none. The caller holds the region and slot locks shared,
    // each window slot's lock and the canvas lock exclusively. Returns 0, -1 without a canvas, or
    // the negative result of MuxFrames.
    int32_t DoMuxing(uint8_t *target);

    // Lock order: region lock, slot lock, the slots' own locks, canvas lock.
    CReadWriteLock &RegionLock() { return m_regionLock; }
    CReadWriteLock &SlotLock() { return m_slotLock; }
    CReadWriteLock &CanvasLock() { return m_canvasLock; }
    // The slot of a window, none for an unknown index; the caller holds the slot lock.
    stMuxInputSlot *FindSlot(uint16_t index);

    int32_t CurrentLayout() const { return m_layoutId; }
    uint8_t *DeviceCanvas() const { return m_deviceCanvas; }
    int32_t CanvasSize() const { return m_canvasSize; }
    uint16_t CanvasWidth() const { return m_canvasWidth; }
    uint16_t CanvasHeight() const { return m_canvasHeight; }
    size_t WindowCount() const { return m_regions.size(); }
    bool MuxedOnDevice() const { return m_muxedOnDevice; }

private:
    int32_t ComputeCanvasSize(uint16_t width, uint16_t height) const;
    // Initialize (keepCanvas false) and Reinitialize (true).
    int32_t Rebuild(const stMuxLayout &layout, bool keepCanvas);
    void RebuildMaps(const stMuxLayout &layout);
    int32_t AllocateCanvas(int32_t size);
    void FreeCanvas();
    bool SlotFits(uint16_t index, const stMuxRegion &region, stMuxInputSlot &slot);

    int32_t m_format = 1; // 1 I420; 2, 3 and 0 give 2, 3 and 1 bytes per pixel
    bool m_onDevice = true;
    CReadWriteLock m_canvasLock;
    bool m_muxedOnDevice = false;
    uint8_t *m_deviceCanvas = nullptr;
    int32_t m_canvasSize = 0;
    uint16_t m_canvasWidth = 0;
    uint16_t m_canvasHeight = 0;
    CReadWriteLock m_regionLock;
    std::map<uint16_t, stMuxRegion> m_regions;
    CReadWriteLock m_slotLock;
    std::map<uint16_t, stMuxInputSlot> m_slots;
    std::atomic<int32_t> m_layoutId = 0;
};
