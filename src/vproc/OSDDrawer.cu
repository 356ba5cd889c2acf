#include "vproc/OSDDrawer.h"

#include "core/debuglog.h"
#include "core/TYXUtils.h"
#include "platform/GpuKernel.h"
#include "vproc/DvcBuffer.h"
#include "vproc/GpuCallCheck.h"
#include "vproc/GpuCallTimer.h"
#include "vproc/OverlayPixels.h"

#include <algorithm>
#include <cstring>

namespace {

TYX_HD TYX_FORCEINLINE uint32_t LoadU32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

TYX_HD TYX_FORCEINLINE uint16_t LoadU16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Lights the listed columns of one text row.
TYX_HD TYX_FORCEINLINE void WriteOsdLumaRow(const stOverlayPlanes &planes, int32_t startX, int32_t y,
                                            const uint8_t *columns, uint32_t count, uint8_t value)
{
    for (uint32_t c = 0; c < count; ++c)
        PutLuma(planes, startX + LoadU16(columns + 2 * c), y, value);
}

// Blends one chroma row by its coverage counts: 4 takes the colour, 1..3 mix it in quarters.
TYX_HD TYX_FORCEINLINE void BlendOsdChromaRow(const stOverlayPlanes &planes, uint8_t *plane, int32_t startX,
                                              int32_t chromaRow, const uint8_t *coverage, uint32_t count,
                                              uint8_t value)
{
    const int32_t first = startX / 2;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t g = coverage[i];
        const int32_t cx = first + static_cast<int32_t>(i);
        if (g == 0 || !IsInsideChroma(planes, cx, chromaRow))
            continue;
        uint8_t &sample = plane[static_cast<int64_t>(chromaRow) * planes.chromaPitch + cx];
        sample = g >= 4 ? value : static_cast<uint8_t>((value * g + sample * (4 - g)) / 4);
    }
}

// One block per text, one thread per row and plane (y: 0 luma, 1 U, 2 V).
struct WriteOSDDataInDvc_Tuning
{
    stOverlayPlanes planes;
    uint32_t count = 0;
    const uint8_t *const *blocks = nullptr;

    TYX_HD void operator()(const stKernelIndex &index) const
    {
        if (!blocks || count == 0 || index.blockIdx.x >= count)
            return;
        const uint8_t *block = blocks[index.blockIdx.x];
        if (!block)
            return;
        const uint32_t total = LoadU32(block);
        const int32_t startX = static_cast<int16_t>(LoadU16(block + 8));
        const int32_t startY = static_cast<int16_t>(LoadU16(block + 10));
        const uint32_t lumaRows = LoadU16(block + 16);
        const uint32_t chromaRows = LoadU16(block + 18);
        const uint32_t lumaTable = LoadU32(block + 20);
        const uint32_t chromaTable = LoadU32(block + 24);
        const uint32_t lumaData = LoadU32(block + 28);
        const uint32_t chromaData = LoadU32(block + 32);
        const uint32_t row = index.threadIdx.x;
        const uint32_t plane = index.threadIdx.y;
        if (plane == 0) {
            if (row >= lumaRows || lumaTable + 16 * (row + 1) > total)
                return;
            const uint32_t columns = LoadU32(block + lumaTable + 16 * row);
            const uint32_t offset = LoadU32(block + lumaTable + 16 * row + 4);
            // A row whose data would run into the chroma table is corrupt: skip it.
            if (static_cast<uint64_t>(lumaData) + offset + 2ull * columns > chromaTable)
                return;
            WriteOsdLumaRow(planes, startX, startY + static_cast<int32_t>(row), block + lumaData + offset, columns,
                            block[4]);
            return;
        }
        if (row >= chromaRows || chromaTable + 16 * (row + 1) > total)
            return;
        const uint32_t length = LoadU32(block + chromaTable + 16 * row);
        const uint32_t offset = LoadU32(block + chromaTable + 16 * row + 4);
        if (static_cast<uint64_t>(chromaData) + offset + length > total)
            return;
        uint8_t *target = plane == 1 ? planes.pU : planes.pV;
        const uint8_t value = plane == 1 ? block[5] : block[6];
        BlendOsdChromaRow(planes, target, startX, startY / 2 + static_cast<int32_t>(row), block + chromaData + offset,
                          length, value);
    }
};

template <typename T>
void Put(std::vector<uint8_t> &block, size_t offset, T value)
{
    std::memcpy(block.data() + offset, &value, sizeof(T));
}

void PutRowEntry(std::vector<uint8_t> &block, size_t offset, uint32_t count, uint32_t dataOffset)
{
    stOsdRowEntry entry;
    entry.count = count;
    entry.offset = count > 0 ? dataOffset : 0;
    std::memcpy(block.data() + offset, &entry, sizeof(entry));
}

} // namespace

std::vector<uint8_t> BuildOsdPointsBlock(const stOsdItem &item)
{
    const size_t lumaRows = item.lumaRows.size();
    const size_t chromaRows = item.chromaRows.size();
    if (lumaRows == 0 || chromaRows == 0 || lumaRows > 0xFFFF || chromaRows > 0xFFFF)
        return {};
    size_t columns = 0;
    for (const auto &row : item.lumaRows)
        columns += row.size();
    size_t coverage = 0;
    int16_t firstChromaLength = 0;
    for (const auto &row : item.chromaRows) {
        if (firstChromaLength == 0 && !row.empty())
            firstChromaLength = static_cast<int16_t>(row.size());
        coverage += row.size();
    }
    stOSDPointsForGpu header;
    header.lumaTableOffset = sizeof(stOSDPointsForGpu);
    header.lumaDataOffset = static_cast<uint32_t>(header.lumaTableOffset + 16 * lumaRows);
    header.chromaTableOffset = static_cast<uint32_t>(header.lumaDataOffset + 2 * columns);
    header.chromaDataOffset = static_cast<uint32_t>(header.chromaTableOffset + 16 * chromaRows);
    header.totalSize = static_cast<uint32_t>(header.chromaDataOffset + coverage);
    header.colorY = item.colorY;
    header.colorU = item.colorU;
    header.colorV = item.colorV;
    header.StartX = item.StartX;
    header.StartY = item.StartY;
    header.textWidth = static_cast<int16_t>(item.textWidth);
    header.firstChromaRowLength = firstChromaLength;
    header.lumaRowCount = static_cast<uint16_t>(lumaRows);
    header.chromaRowCount = static_cast<uint16_t>(chromaRows);

    std::vector<uint8_t> block(header.totalSize, 0);
    Put(block, 0, header);
    uint32_t dataOffset = 0;
    for (size_t r = 0; r < lumaRows; ++r) {
        const auto &row = item.lumaRows[r];
        PutRowEntry(block, header.lumaTableOffset + 16 * r, static_cast<uint32_t>(row.size()), dataOffset);
        if (!row.empty())
            std::memcpy(block.data() + header.lumaDataOffset + dataOffset, row.data(), row.size() * 2);
        dataOffset += static_cast<uint32_t>(row.size() * 2);
    }
    dataOffset = 0;
    for (size_t r = 0; r < chromaRows; ++r) {
        const auto &row = item.chromaRows[r];
        PutRowEntry(block, header.chromaTableOffset + 16 * r, static_cast<uint32_t>(row.size()), dataOffset);
        if (!row.empty())
            std::memcpy(block.data() + header.chromaDataOffset + dataOffset, row.data(), row.size());
        dataOffset += static_cast<uint32_t>(row.size());
    }
    return block;
}

int32_t CopyInOSDInfo_Tuning(stOsdItem &item)
{
    if (item.lumaRows.empty() || item.chromaRows.empty()) {
        TYX_LOG(3, L"Source OSD Points line size(%d, %d) is zero, give up coping, (content=%s)!",
                static_cast<int32_t>(item.lumaRows.size()), static_cast<int32_t>(item.chromaRows.size()),
                item.pendingText.c_str());
        return -1;
    }
    TYX_LOG(7, L"Prepare Osd information copying...");
    const std::vector<uint8_t> block = BuildOsdPointsBlock(item);
    if (block.empty())
        return -1;
    TYX_LOG(7, L"Osd information was copied into host liner memory.");
    if (item.pOsdInfoInDvc) {
        const GpuError error = DevFree(item.pOsdInfoInDvc);
        if (error != GPU_SUCCESS) {
            TYX_LOG(2, L"Failed while free device memory pOsdInfoInDvc!");
            HandleGPUCriticalError(error, L"OSD block free");
        }
        item.pOsdInfoInDvc = nullptr;
    }
    void *device = nullptr;
    GpuError error = DevMalloc(&device, block.size());
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed while alloc device memory!");
        HandleGPUCriticalError(error, L"OSD block allocation");
        return -1;
    }
    error = DevMemcpy(device, block.data(), block.size(), EGpuCopyKind::HostToDevice);
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed while copy osd points info struct into device!");
        HandleGPUCriticalError(error, L"OSD block copy");
        // A block with unknown contents must never reach the kernel.
        DevFree(device);
        return -1;
    }
    item.pOsdInfoInDvc = static_cast<uint8_t *>(device);
    TYX_LOG(7, L"Osd information was copied into device memory.");
    return static_cast<int32_t>(block.size());
}

int32_t FreeOSDInfoInDvc(stOsdItem &item)
{
    if (!item.pOsdInfoInDvc)
        return -1;
    const GpuError error = DevFree(item.pOsdInfoInDvc);
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed(Err=%d) to free device memory!", error);
        HandleGPUCriticalError(error, L"OSD block free");
    }
    item.pOsdInfoInDvc = nullptr;
    return 0;
}

int32_t DrawOsdInGPU(const stVideoFrameInfo &frame, const OsdItemMap &items)
{
    std::vector<const uint8_t *> blocks;
    uint32_t rows = 0;
    for (const auto &entry : items) {
        const stOsdItem &item = entry.second;
        if (!item.visible || !item.pOsdInfoInDvc)
            continue;
        blocks.push_back(item.pOsdInfoInDvc);
        rows = std::max(rows, static_cast<uint32_t>(item.lumaRows.size()));
    }
    if (blocks.empty() || !frame.pY) {
        TYX_LOG(6, L"All OSD was switched off.");
        return 0;
    }
    rows = std::min(std::max(rows, 1u), 1024u / 3u);

    CGpuCallTimer timer;
    stOverlayPlanes planes = MakeOverlayPlanes(frame);
    const size_t frameBytes = static_cast<size_t>(OverlayFrameBytes(planes));
    CDvcBuffer hostFrameCopy;
    if (!frame.inDevice) {
        if (ReportDvcAlloc(hostFrameCopy.Allocate(frameBytes)) != GPU_SUCCESS)
            return 0;
        if (ReportDvcCopyIn(DevMemcpy(hostFrameCopy.Get(), frame.pY, frameBytes, EGpuCopyKind::HostToDevice)) !=
            GPU_SUCCESS)
            return 0;
        stVideoFrameInfo deviceFrame = frame;
        deviceFrame.pY = hostFrameCopy.Get();
        planes = MakeOverlayPlanes(deviceFrame);
    }
    CDvcBuffer pointerArray;
    if (ReportDvcAlloc(pointerArray.Allocate(blocks.size() * sizeof(const uint8_t *))) != GPU_SUCCESS)
        return 0;
    if (ReportDvcCopyIn(DevMemcpy(pointerArray.Get(), blocks.data(), blocks.size() * sizeof(const uint8_t *),
                                      EGpuCopyKind::HostToDevice)) != GPU_SUCCESS)
        return 0;

    WriteOSDDataInDvc_Tuning body;
    body.planes = planes;
    body.count = static_cast<uint32_t>(blocks.size());
    body.blocks = reinterpret_cast<const uint8_t *const *>(pointerArray.Get());
    timer.MarkLaunch();
    const GpuError launched = LaunchKernel({body.count, 1, 1}, {rows, 3, 1}, nullptr, body);
    timer.MarkLaunched();
    CheckOverlayLaunch(launched);
    const GpuError synced = SynchronizeOverlay();
    if (!frame.inDevice && launched == GPU_SUCCESS && synced == GPU_SUCCESS)
        ReportDvcCopyOut(DevMemcpy(frame.pY, hostFrameCopy.Get(), frameBytes, EGpuCopyKind::DeviceToHost));
    ReportDvcFree(hostFrameCopy.Reset());
    ReportDvcFree(pointerArray.Reset());
    timer.Finish(L"WriteOSDDataInDvc_Tuning");
    return 0;
}

void DrawOsdOnHost(const stVideoFrameInfo &frame, const OsdItemMap &items)
{
    const stOverlayPlanes planes = MakeOverlayPlanes(frame);
    if (!planes.pY)
        return;
    for (const auto &entry : items) {
        const stOsdItem &item = entry.second;
        if (!item.visible || item.StartX < 0 || item.StartY < 0)
            continue;
        for (size_t r = 0; r < item.lumaRows.size(); ++r) {
            const auto &row = item.lumaRows[r];
            WriteOsdLumaRow(planes, item.StartX, item.StartY + static_cast<int32_t>(r),
                            reinterpret_cast<const uint8_t *>(row.data()), static_cast<uint32_t>(row.size()),
                            item.colorY);
        }
        for (size_t r = 0; r < item.chromaRows.size(); ++r) {
            const auto &row = item.chromaRows[r];
            const int32_t chromaRow = item.StartY / 2 + static_cast<int32_t>(r);
            BlendOsdChromaRow(planes, planes.pU, item.StartX, chromaRow, row.data(), static_cast<uint32_t>(row.size()),
                              item.colorU);
            BlendOsdChromaRow(planes, planes.pV, item.StartX, chromaRow, row.data(), static_cast<uint32_t>(row.size()),
                              item.colorV);
        }
    }
}
