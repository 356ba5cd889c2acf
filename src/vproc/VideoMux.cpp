// The composer: windows and input slots, the canvas, and one composition per output picture.

#include "vproc/VideoMux.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"
#include "vproc/GVMux.h"
#include "vproc/GpuCallCheck.h"

#include <algorithm>
#include <vector>

CVideoMuxer::CVideoMuxer() = default;

CVideoMuxer::~CVideoMuxer()
{
    FreeCanvas();
}

int32_t CVideoMuxer::ComputeCanvasSize(uint16_t width, uint16_t height) const
{
    const int64_t pixels = static_cast<int64_t>(width) * height;
    switch (m_format) {
    case 1:
        return static_cast<int32_t>(I420Size(width, height));
    case 2:
        return static_cast<int32_t>(pixels * 2);
    case 3:
        return static_cast<int32_t>(pixels * 3);
    default:
        return static_cast<int32_t>(pixels);
    }
}

// Both maps are emptied and refilled with one region and one empty slot per window; the caller
// holds the region, slot and canvas locks exclusively.
void CVideoMuxer::RebuildMaps(const stMuxLayout &layout)
{
    m_regions.clear();
    m_slots.clear();
    const size_t windows = std::min<size_t>(layout.windowCount, layout.regions.size());
    for (size_t i = 0; i < windows; ++i) {
        const auto index = static_cast<uint16_t>(i);
        m_regions.emplace(index, layout.regions[i]);
        m_slots.try_emplace(index);
    }
}

int32_t CVideoMuxer::AllocateCanvas(int32_t size)
{
    FreeCanvas();
    m_canvasSize = 0;
    if (!m_onDevice || size <= 0) {
        m_canvasSize = size;
        return size;
    }
    void *canvas = nullptr;
    if (ReportDvcAlloc(DevMalloc(&canvas, static_cast<size_t>(size))) != GPU_SUCCESS)
        return -2;
    m_deviceCanvas = static_cast<uint8_t *>(canvas);
    m_canvasSize = size;
    return size;
}

void CVideoMuxer::FreeCanvas()
{
    if (!m_deviceCanvas)
        return;
    const GpuError error = DevFree(m_deviceCanvas);
    if (error != GPU_SUCCESS)
        HandleGPUCriticalError(static_cast<int32_t>(error), L"");
    m_deviceCanvas = nullptr;
}

int32_t CVideoMuxer::Initialize(const stMuxLayout &layout)
{
    return Rebuild(layout, false);
}

int32_t CVideoMuxer::Reinitialize(const stMuxLayout &layout)
{
    return Rebuild(layout, true);
}

int32_t CVideoMuxer::Rebuild(const stMuxLayout &layout, bool keepCanvas)
{
    if (layout.windowCount == 0 || layout.regions.empty())
        return -1;
    CWriteLockGuard regions(m_regionLock);
    CWriteLockGuard slots(m_slotLock);
    CWriteLockGuard canvas(m_canvasLock);
    RebuildMaps(layout);
    m_canvasWidth = layout.canvasWidth;
    m_canvasHeight = layout.canvasHeight;
    const int32_t size = ComputeCanvasSize(m_canvasWidth, m_canvasHeight);
    if (keepCanvas && m_deviceCanvas && size == m_canvasSize)
        return size;
    return AllocateCanvas(size);
}

bool CVideoMuxer::GetRegion(uint16_t index, stMuxRegion &region)
{
    CReadLockGuard guard(m_regionLock);
    const auto it = m_regions.find(index);
    if (it == m_regions.end())
        return false;
    region = it->second;
    return true;
}

stMuxInputSlot *CVideoMuxer::FindSlot(uint16_t index)
{
    const auto it = m_slots.find(index);
    return it == m_slots.end() ? nullptr : &it->second;
}

// A picture is composed only when it is the window's size and as long as that size needs; any
// other would be read past its end. A misfit is logged once until a fitting picture comes.
bool CVideoMuxer::SlotFits(uint16_t index, const stMuxRegion &region, stMuxInputSlot &slot)
{
    if (!slot.picture || slot.length <= 0)
        return false;
    if (slot.width == region.width && slot.height == region.height &&
        slot.length >= I420Size(slot.width, slot.height)) {
        slot.misfitLogged = false;
        return true;
    }
    if (!slot.misfitLogged) {
        TYX_LOG(3, L"Mux region[%d] left black: input picture(W=%d, H=%d, len=%d) does not fit the region(W=%d, H=%d)!",
                index, slot.width, slot.height, slot.length, region.width, region.height);
        slot.misfitLogged = true;
    }
    return false;
}

int32_t CVideoMuxer::DoMuxing(uint8_t *target)
{
    uint8_t *dst = target ? target : m_deviceCanvas;
    if (!dst || m_regions.empty())
        return -1;
    std::vector<stMuxInputData> windows(m_regions.size());
    for (const auto &[index, region] : m_regions) {
        if (index >= windows.size())
            continue;
        stMuxInputData &in = windows[index];
        in.srcWidth = region.width;
        in.srcHeight = region.height;
        in.winWidth = region.width;
        in.winHeight = region.height;
        in.left = region.left;
        in.top = region.top;
        in.cropLeft = region.cropLeft;
        in.cropTop = region.cropTop;
        in.kind = region.kind;
        stMuxInputSlot *slot = FindSlot(index);
        if (slot && SlotFits(index, region, *slot)) {
            in.source = slot->picture;
            in.srcLength = slot->length;
            in.srcInDevice = slot->inDevice;
        }
    }
    TYX_LOG(7, L"Begin frames muxing by GPU...");
    const auto luma = static_cast<size_t>(I420UOffset(m_canvasWidth, m_canvasHeight));
    GpuError error = DevMemset(dst, 0, luma);
    if (error == GPU_SUCCESS)
        error = DevMemset(dst + luma, 128, static_cast<size_t>(I420Size(m_canvasWidth, m_canvasHeight)) - luma);
    if (error != GPU_SUCCESS)
        HandleGPUCriticalError(static_cast<int32_t>(error), L"");
    const int32_t muxed = MuxFrames(static_cast<int32_t>(windows.size()), windows.data(), m_canvasWidth,
                                    m_canvasHeight, dst, true);
    m_muxedOnDevice = true;
    TYX_LOG(7, L"Finish frames muxing by GPU...");
    if (muxed < 0)
        return muxed;
    return error == GPU_SUCCESS ? 0 : TYX_MUX_GPU_FAILED;
}
