#include "vproc/GVSplit.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/GpuKernel.h"
#include "vproc/DvcScratch.h"
#include "vproc/GpuCallCheck.h"
#include "vproc/GpuCallTimer.h"
#include "vproc/PictureKernels.h"

#include <vector>

namespace {

// Where the planes of the source lie.
struct stSplitSource
{
    const uint8_t *picture = nullptr;
    int64_t width = 0;
    int64_t height = 0;
    int64_t lumaPitch = 0;
    int64_t chromaPitch = 0;
    int64_t uOffset = 0;
    int64_t vOffset = 0;
    int64_t size = 0; // bytes the layout needs
};

stSplitSource DescribeSource(const stSrcFrameInfo &info)
{
    stSplitSource src;
    src.width = info.width;
    src.height = info.height;
    src.lumaPitch = info.lumaPitch ? info.lumaPitch : info.width;
    src.chromaPitch = info.chromaPitch ? info.chromaPitch : I420ChromaPitch(info.width);
    const int64_t chromaPlane = src.chromaPitch * I420ChromaHeight(src.height);
    src.uOffset = src.lumaPitch * src.height;
    src.vOffset = src.uOffset + chromaPlane;
    src.size = src.vOffset + chromaPlane;
    return src;
}

// One thread copies one line of one output: luma for block z 0, both chroma lines for block z 1
// (even lines only).
struct SpltFrame_420P_DVC
{
    stSplitSource src;
    uint32_t count = 0;
    const stSplitOutput *outputs = nullptr;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        const uint32_t number = index.blockIdx.y;
        if (number >= count || !src.picture)
            return;
        const stSplitOutput &out = outputs[number];
        if (!out.picture || out.length <= 0)
            return;
        const int64_t line = static_cast<int64_t>(index.blockDim.x) * index.blockIdx.x + index.threadIdx.x;
        const int64_t w = out.width;
        const int64_t h = out.height;
        if (line >= h)
            return;
        if (index.blockIdx.z == 0) {
            CopyLineBytes(out.picture + line * w, src.picture + (out.top + line) * src.lumaPitch + out.left, w);
            return;
        }
        if (line % 2 != 0)
            return;
        const int64_t srcColumn = (out.top + line) / 2 * src.chromaPitch + out.left / 2;
        const int64_t chromaWidth = I420ChromaWidth(w);
        const int64_t dstColumn = line / 2 * chromaWidth;
        CopyLineBytes(out.picture + I420UOffset(w, h) + dstColumn, src.picture + src.uOffset + srcColumn, chromaWidth);
        CopyLineBytes(out.picture + I420VOffset(w, h) + dstColumn, src.picture + src.vOffset + srcColumn, chromaWidth);
    }
};

bool FitsIn(const stSplitOutput &out, const stSplitSource &src)
{
    return out.width != 0 && out.height != 0 && out.width <= src.width && out.height <= src.height &&
           out.left + out.width - 1 < src.width && out.top + out.height - 1 < src.height;
}

// A source in host memory is read from a device copy.
bool PlaceSourceOnDevice(const stSrcFrameInfo &info, stSplitSource &src, CDvcScratch &scratch)
{
    if (info.memoryType != 0)
        return true;
    uint8_t *copy = nullptr;
    if (ReportDvcAlloc(scratch.Allocate(static_cast<size_t>(src.size), copy)) != GPU_SUCCESS ||
        ReportDvcCopyIn(DevMemcpy(copy, src.picture, static_cast<size_t>(src.size), EGpuCopyKind::HostToDevice)) !=
            GPU_SUCCESS)
        return false;
    src.picture = copy;
    return true;
}

// Gives every output that fits a new picture; returns the outputs that got one and their tallest.
std::vector<stSplitOutput *> AllocateOutputs(int32_t count, stSplitOutput *outputs, const stSplitSource &src,
                                             uint32_t &maxHeight)
{
    std::vector<stSplitOutput *> valid;
    maxHeight = 0;
    for (int32_t i = 0; i < count; ++i) {
        stSplitOutput &out = outputs[i];
        out.picture = nullptr;
        out.length = 0;
        if (!FitsIn(out, src))
            continue;
        const int64_t length = I420Size(out.width, out.height);
        void *picture = nullptr;
        if (ReportDvcAlloc(DevMalloc(&picture, static_cast<size_t>(length))) != GPU_SUCCESS)
            continue;
        out.picture = static_cast<uint8_t *>(picture);
        out.length = static_cast<int32_t>(length);
        maxHeight = out.height > maxHeight ? out.height : maxHeight;
        valid.push_back(&out);
    }
    return valid;
}

void FreeOutputs(const std::vector<stSplitOutput *> &valid)
{
    for (stSplitOutput *out : valid) {
        DevFree(out->picture);
        out->picture = nullptr;
        out->length = 0;
    }
}

// Copies the valid outputs to the device and runs the kernel; false when a GPU call failed.
bool LaunchSplit(const stSplitSource &src, const std::vector<stSplitOutput *> &valid, uint32_t maxHeight,
                 CDvcScratch &scratch, CGpuCallTimer &timer)
{
    std::vector<stSplitOutput> list;
    for (const stSplitOutput *out : valid)
        list.push_back(*out);
    uint8_t *array = nullptr;
    const size_t bytes = list.size() * sizeof(stSplitOutput);
    if (ReportDvcAlloc(scratch.Allocate(bytes, array)) != GPU_SUCCESS ||
        ReportDvcCopyIn(DevMemcpy(array, list.data(), bytes, EGpuCopyKind::HostToDevice)) != GPU_SUCCESS)
        return false;
    const stDim3 block{maxHeight < 1024 ? maxHeight : 1024, 1, 1};
    const stDim3 grid{DivUp(maxHeight, 1024), static_cast<uint32_t>(list.size()), 2};
    SpltFrame_420P_DVC body;
    body.src = src;
    body.count = static_cast<uint32_t>(list.size());
    body.outputs = reinterpret_cast<const stSplitOutput *>(array);
    TYX_LOG(7, L"Prepared for parallel splitting with GPU...");
    timer.MarkLaunch();
    const GpuError launched = LaunchKernel(grid, block, nullptr, body);
    TYX_LOG(7, L"Returned from parallel splitting.");
    const bool ok = ReportKernelLaunch(launched, "splitting") == GPU_SUCCESS;
    const GpuError synced = SynchronizeAfter("splitting");
    timer.MarkLaunched();
    return ok && synced == GPU_SUCCESS;
}

} // namespace

int32_t SplitFrame(const stSrcFrameInfo *source, int32_t count, stSplitOutput *outputs)
{
    if (count < 1 || !outputs || !source || static_cast<int64_t>(source->width) * source->height == 0 ||
        !source->picture) {
        TYX_LOG(3, L"Splitting rejected for invalid input arguments!");
        return -1;
    }
    stSplitSource src = DescribeSource(*source);
    src.picture = source->picture;
    if (source->length < src.size) {
        TYX_LOG(3, L"Splitting rejected for invalid input arguments!");
        return -1;
    }
    CGpuCallTimer timer;
    CDvcScratch scratch;
    uint32_t maxHeight = 0;
    const std::vector<stSplitOutput *> valid = AllocateOutputs(count, outputs, src, maxHeight);
    int32_t result = static_cast<int32_t>(valid.size());
    if (valid.empty()) {
        TYX_LOG(3, L"Splitting gived up for no valid output!");
        result = -2;
    } else if (!PlaceSourceOnDevice(*source, src, scratch) || !LaunchSplit(src, valid, maxHeight, scratch, timer)) {
        FreeOutputs(valid);
        result = TYX_SPLIT_GPU_FAILED;
    }
    scratch.Release();
    timer.Finish(L"SplitFrame");
    TYX_LOG(7, L"Resource splitting used free.");
    return result;
}
