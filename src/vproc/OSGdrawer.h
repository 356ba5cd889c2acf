#pragma once

// The on-screen graphics of one overlay slot: figures and function curves, still pictures and
// animation clips, drawn into every frame of the owning worker.
//
// Threads: the worker's frame thread calls SetFrameSize and ProcessFrame; remote-command threads add
// and remove items. The maps are guarded by the drawer's lock, held while pictures and clip frames
// are blended; figures are drawn from private copies after the lock is released.

#include "platform/CriticalSection.h"
#include "vproc/OsgItem.h"
#include "core/VideoFrameInfo.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

using OsgGeometryList = std::vector<std::pair<uint32_t, stOsgGeometry>>;

class COsgDrawer
{
public:
    // tickSource: milliseconds of a monotonic clock for start delays and durations (the system's
    // tick count by default).
    explicit COsgDrawer(std::function<uint64_t()> tickSource = nullptr);
    ~COsgDrawer() = default;
    COsgDrawer(const COsgDrawer &) = delete;
    COsgDrawer &operator=(const COsgDrawer &) = delete;

    // Each returns the number of items of its kind, or -1 when the id is present (the record is then
    // left with the caller).
    int32_t AddGeometry(uint32_t id, const stOsgGeometry &geometry);
    int32_t AddPicture(uint32_t id, stOsgPicture &&picture);
    int32_t AddAnimate(uint32_t id, stOsgAnimate &&animate);
    // Removes the item from the geometries, else the pictures, else the animations; the number of
    // items left, or -1 when no map holds the id.
    int32_t Remove(uint32_t id);
    // A new drawer with copies of this one's geometries (pictures and clips stay here).
    std::unique_ptr<COsgDrawer> Create() const;

    // -1 for a negative size; 0 otherwise. A pitch of 0 or less means the width (luma) or half of it.
    int32_t SetFrameSize(int32_t width, int32_t height, int32_t lumaPitch, int32_t chromaPitch);
    // Draws every due item into an I420 frame of frameSize bytes (device or host memory); timeUs is
    // the frame's time, which paces the clips. The number of items drawn, 0 with no items, -1 for a
    // null frame.
    int32_t ProcessFrame(uint8_t *frame, int32_t frameSize, int64_t timeUs, bool inDevice);
    // Places an image of w x h by the origin code and the placement's offsets; X and Y are left
    // unchanged for an unknown code or an empty frame.
    static void CalculateGraphicPos(int32_t origin, const stOsgPlacement &placement, int32_t width, int32_t height,
                                    int32_t frameWidth, int32_t frameHeight, int32_t &X, int32_t &Y);
    // Draws figures and curves grouped by ascending shape code; the number drawn, or -255 at a shape
    // that cannot be drawn (the groups from there on are left out).
    int32_t DrawGeometries(const stVideoFrameInfo &frame, const OsgGeometryList &geometries);

    int32_t GetGeometryCount() const;
    int32_t GetPictureCount() const;
    int32_t GetAnimateCount() const;
    // The current frame index of a clip, -1 when absent.
    int32_t GetAnimateFrameIndex(uint32_t id) const;

private:
    int32_t DrawGraphics(const stVideoFrameInfo &frame, uint64_t now, int64_t timeUs);
    bool IsDue(stOsgPlacement &placement, uint64_t now) const;
    int32_t DrawImage(const stVideoFrameInfo &frame, const stOsgPlacement &placement, const uint8_t *image,
                      int32_t rowLength, int32_t bytesPerPixel, int32_t width, int32_t height);
    bool WarnOnce(uint32_t id, const wchar_t *what);

    std::function<uint64_t()> m_tickSource;
    mutable CCriticalSection m_lock;
    std::map<uint32_t, stOsgGeometry> m_geometries;
    std::map<uint32_t, stOsgPicture> m_pictures;
    std::map<uint32_t, stOsgAnimate> m_animates;
    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_lumaPitch = 0;
    int32_t m_chromaPitch = 0;
    bool m_started = false;
    uint64_t m_startTick = 0;
    std::mutex m_warnedMutex;
    std::set<uint32_t> m_warned;
};
