#include "vproc/GVMux.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/GpuKernel.h"
#include "vproc/DvcScratch.h"
#include "vproc/GpuCallCheck.h"
#include "vproc/PictureKernels.h"

#include <algorithm>
#include <vector>

namespace {

// Windows travel with the launch itself, so a composition allocates nothing on the device; layouts
// have at most 32 windows, more are composed in further launches.
constexpr uint32_t kWindowsPerLaunch = 32;

// One thread copies one line of one window: luma for block z 0, both chroma lines for block z 1
// (even lines only). Lines are copied in whole 8-byte words of the source width, cut to the window
// and the canvas; a window hanging off the canvas shows its source from the crop offsets on. Rows
// are (window, plane), their items the window's lines, so the host copies a window's plane as one
// loop.
struct CopyRgns_420P_DVC_Once
{
    uint8_t count = 0;
    stMuxInputData windows[kWindowsPerLaunch];
    uint16_t canvasWidth = 0;
    uint16_t canvasHeight = 0;
    uint8_t *dst = nullptr;

    TYX_HD void operator()(const stKernelIndex &index) const { RunRowItem(*this, index); }

    // The lines of the window shown, from (cropLeft, cropTop) of the source on; none for a window
    // without source or wholly off the canvas.
    TYX_HD TYX_FORCEINLINE stRowSpan RowSpan(uint32_t window, uint32_t) const
    {
        if (window >= count || !dst)
            return {0, 0};
        const stMuxInputData &in = windows[window];
        if (!in.source)
            return {0, 0};
        const int64_t lines = MinI64(MinI64(in.winHeight, in.srcHeight) - in.cropTop, canvasHeight - in.top);
        const int64_t width = MinI64(in.winWidth, in.srcWidth) - in.cropLeft;
        if (lines <= 0 || width <= 0 || in.left >= canvasWidth)
            return {0, 0};
        return {0, static_cast<uint32_t>(lines)};
    }

    TYX_HD TYX_FORCEINLINE void Item(uint32_t line, uint32_t window, uint32_t plane) const
    {
        const stMuxInputData &in = windows[window];
        const int64_t W = canvasWidth;
        const int64_t H = canvasHeight;
        const int64_t sw = in.srcWidth;
        const int64_t sh = in.srcHeight;
        const int64_t width = MinI64(in.winWidth, sw) - in.cropLeft;
        const int64_t srcLine = static_cast<int64_t>(line) + in.cropTop;
        if (plane == 0) {
            const int64_t bytes = MinI64(width / 8 * 8, W - in.left);
            CopyLineBytes(dst + (line + in.top) * W + in.left, in.source + srcLine * sw + in.cropLeft, bytes);
            return;
        }
        if (line % 2 != 0)
            return;
        const int64_t srcRow = srcLine / 2;
        const int64_t dstRow = (in.top + line) / 2;
        if (srcRow >= I420ChromaHeight(sh) || dstRow >= I420ChromaHeight(H))
            return;
        const int64_t canvasPitch = I420ChromaPitch(W);
        const int64_t bytes = MinI64(width / 2 / 8 * 8, canvasPitch - in.left / 2);
        const int64_t dstColumn = dstRow * canvasPitch + in.left / 2;
        const int64_t srcColumn = srcRow * I420ChromaPitch(sw) + in.cropLeft / 2;
        CopyLineBytes(dst + I420UOffset(W, H) + dstColumn, in.source + I420UOffset(sw, sh) + srcColumn, bytes);
        CopyLineBytes(dst + I420VOffset(W, H) + dstColumn, in.source + I420VOffset(sw, sh) + srcColumn, bytes);
    }

    // A thread copies a whole line: about a word's worth of pixel work per 8 bytes.
    uint64_t HostCost() const
    {
        uint32_t widest = 0;
        for (uint32_t i = 0; i < count; ++i)
            widest = widest > windows[i].winWidth ? widest : windows[i].winWidth;
        return widest / 8 + 1;
    }
};

bool IsFullCanvas(const stMuxInputData &in, uint16_t width, uint16_t height)
{
    return in.kind == 0 && in.winWidth == width && in.winHeight == height && in.srcWidth == width &&
           in.srcHeight == height && in.cropLeft == 0 && in.cropTop == 0;
}

EGpuCopyKind CopyKindFrom(const stMuxInputData &in)
{
    return in.srcInDevice ? EGpuCopyKind::DeviceToDevice : EGpuCopyKind::HostToDevice;
}

// Brings a host source into device memory; the entry then points at the copy.
bool MoveSourceToDevice(stMuxInputData &in, CDvcScratch &scratch)
{
    uint8_t *copy = nullptr;
    if (ReportDvcAlloc(scratch.Allocate(static_cast<size_t>(in.srcLength), copy)) != GPU_SUCCESS ||
        ReportGpuFailure(DevMemcpy(copy, in.source, static_cast<size_t>(in.srcLength), EGpuCopyKind::HostToDevice),
                         L"Failed(Err=%d) while copying data to device memory!") != GPU_SUCCESS) {
        in.source = nullptr;
        return false;
    }
    in.source = copy;
    in.srcInDevice = 1;
    return true;
}

// A source shorter than its own size would be read past its end: it is left out (window black).
void DropShortSource(stMuxInputData &in, int32_t number)
{
    if (!in.source || in.srcLength >= I420Size(in.srcWidth, in.srcHeight))
        return;
    TYX_LOG(3, L"Mux window[%d] skipped: source length(%d) is short of its size(W=%d, H=%d)!", number,
            in.srcLength, in.srcWidth, in.srcHeight);
    in.source = nullptr;
}

// Launches the kernel over the windows, batch by batch, and waits for it; false when a GPU call
// failed.
bool LaunchCopy(const std::vector<stMuxInputData> &rest, uint16_t width, uint16_t height, uint8_t *dst)
{
    bool ok = true;
    for (size_t first = 0; first < rest.size(); first += kWindowsPerLaunch) {
        CopyRgns_420P_DVC_Once body;
        body.count = static_cast<uint8_t>(std::min<size_t>(kWindowsPerLaunch, rest.size() - first));
        uint32_t maxHeight = 0;
        for (uint32_t i = 0; i < body.count; ++i) {
            body.windows[i] = rest[first + i];
            maxHeight = std::max<uint32_t>(maxHeight, body.windows[i].winHeight);
        }
        if (maxHeight == 0)
            continue;
        body.canvasWidth = width;
        body.canvasHeight = height;
        body.dst = dst;
        stDim3 grid;
        stDim3 block;
        MuxLaunchShape(maxHeight, body.count, grid, block);
        TYX_LOG(7, L"Prepared for parallel muxing with GPU...");
        const GpuError error = LaunchKernel(grid, block, nullptr, body);
        TYX_LOG(7, L"Returned from parallel muxing.");
        if (ReportKernelLaunch(error, "muxing") != GPU_SUCCESS)
            ok = false;
    }
    return SynchronizeAfter("muxing") == GPU_SUCCESS && ok;
}

} // namespace

void MuxLaunchShape(uint32_t maxHeight, uint32_t windows, stDim3 &grid, stDim3 &block)
{
    block = {maxHeight < 1024 ? maxHeight : 1024, 1, 1};
    grid = {DivUp(maxHeight, 1024), windows, 2};
}

int32_t MuxFrames(int32_t count, stMuxInputData *windows, uint16_t width, uint16_t height, uint8_t *dst,
                  bool dstInDevice)
{
    if (count < 1 || count > 255 || !windows || static_cast<int64_t>(width) * height == 0 || !dst ||
        !dstInDevice)
        return -1;
    const int64_t canvasSize = I420Size(width, height);
    bool ok = true;
    int32_t first = 0;
    stMuxInputData &background = windows[0];
    if (IsFullCanvas(background, width, height)) {
        if (background.srcLength > canvasSize)
            return -8;
        if (background.source && background.srcLength > 0) {
            const GpuError error = DevMemcpy(dst, background.source, static_cast<size_t>(background.srcLength),
                                             CopyKindFrom(background));
            if (ReportGpuFailure(error, L"Failed(Err=%d) while copying data to device memory!") != GPU_SUCCESS)
                ok = false;
        }
        first = 1;
        if (count == 1)
            return ok ? background.srcLength : TYX_MUX_GPU_FAILED;
    }

    {
        CDvcScratch scratch;
        std::vector<stMuxInputData> rest(windows + first, windows + count);
        for (size_t i = 0; i < rest.size(); ++i) {
            stMuxInputData &in = rest[i];
            DropShortSource(in, first + static_cast<int32_t>(i));
            if (in.source && !in.srcInDevice && !MoveSourceToDevice(in, scratch))
                ok = false;
        }
        if (!LaunchCopy(rest, width, height, dst))
            ok = false;
    }
    TYX_LOG(7, L"Resource used free.");
    return ok ? static_cast<int32_t>(canvasSize) : TYX_MUX_GPU_FAILED;
}
