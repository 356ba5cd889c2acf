#include "MuxTestRig.h"

#include "PictureTestUtils.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"
#include "platform/GpuDevice.h"
#include "platform/TickCount.h"

#include <gtest/gtest.h>

#include <thread>

CMuxRig::CMuxRig(int inputs, int layout, int width, int height, int threadsPerInput)
{
    CTYXGVMS::NegotiatedInputFrameRate() = 30.0f;
    m_config.Name = L"VMuxTest";
    m_config.WorkerId = static_cast<int32_t>(kMuxId);
    m_config.MPType = TYX_MP_MUX;
    m_config.MuxSettings.MuxLayout = layout;
    m_config.MuxSettings.OutputWidth = static_cast<uint16_t>(width);
    m_config.MuxSettings.OutputHeight = static_cast<uint16_t>(height);
    m_config.MuxSettings.IPGNum = static_cast<uint8_t>(threadsPerInput);
    m_config.MuxSettings.CylinderHeight = 9;
    m_config.OutputFramerate = 30.0f;
    for (int n = 1; n <= inputs; ++n) {
        m_config.MuxSettings.MuxInputs[static_cast<int16_t>(n)] = static_cast<int32_t>(InputId(n));
        m_config.MuxSettings.InputRegions[static_cast<int32_t>(InputId(n))] = static_cast<int16_t>(n);
        stWorkerInputLink link;
        link.CreateQueue();
        link.consumerId = kMuxId;
        link.paketKind = TYX_PKT_KIND_RAW_VIDEO;
        m_links[InputId(n)] = link;
    }
    m_config.BuildIOItems();
    m_mux = std::make_shared<CVideoMuxWorker>(kMuxId, &m_links, nullptr);
    m_mux->SetLayoutChangeWaitMs(20);
    m_consumer.CreateQueue();
    m_consumer.consumerId = kConsumerId;
    m_consumer.paketKind = TYX_PKT_KIND_RAW_VIDEO;
}

CMuxRig::~CMuxRig()
{
    Stop();
    TakeOutputs();
    for (FramePackage &package : m_outputs)
        FreeFramePackage(package);
    m_outputs.clear();
    m_mux.reset();
    for (auto &[id, link] : m_links) {
        CCsLock lock(*link.queueLock);
        for (FramePackage &package : *link.queue)
            FreeFramePackage(package);
        link.queue->clear();
    }
}

int32_t CMuxRig::Start(bool waitFirstOutput)
{
    int32_t rc = m_mux->CopyInConfiguration(&m_config);
    if (rc != 0)
        return rc;
    if (m_mux->SetConsumerLink(kMuxId + 1, kConsumerId, &m_consumer) != 0)
        return -100;
    rc = m_mux->Initialize(1, 0);
    if (rc != 0)
        return rc;
    if (m_mux->StartWorkingThread(0, 0) <= 0)
        return -101;
    m_mux->ResumeWorkingThread();
    m_started = true;
    if (waitFirstOutput && WaitOutputs(1) < 1)
        return -102;
    for (FramePackage &package : m_outputs)
        FreeFramePackage(package);
    m_outputs.clear();
    return 0;
}

void CMuxRig::Stop()
{
    if (!m_mux)
        return;
    if (m_started)
        m_mux->WaitThreadExit(10000);
    m_started = false;
    m_mux->unInitialize();
}

void CMuxRig::Feed(int n, FramePackage package)
{
    stWorkerInputLink &link = m_links[InputId(n)];
    CCsLock lock(*link.queueLock);
    link.queue->push_back(package);
}

void CMuxRig::FeedAll(std::vector<FramePackage> packages)
{
    m_mux->LockInputLinks(false);
    for (size_t i = 0; i < packages.size(); ++i)
        Feed(static_cast<int>(i + 1), packages[i]);
    m_mux->UnlockInputLinks(false);
}

void CMuxRig::FeedStatus(int n, int32_t statusCode)
{
    FramePackage status;
    status.nLength = statusCode;
    status.pts = GetCurrentTimeUs();
    status.mediaType = TYX_MEDIA_VIDEO;
    Feed(n, status);
}

std::vector<FramePackage> CMuxRig::TakeOutputs()
{
    std::vector<FramePackage> taken;
    {
        CCsLock lock(*m_consumer.queueLock);
        taken.assign(m_consumer.queue->begin(), m_consumer.queue->end());
        m_consumer.queue->clear();
    }
    m_outputs.insert(m_outputs.end(), taken.begin(), taken.end());
    m_outputsEver += taken.size();
    return taken;
}

size_t CMuxRig::WaitOutputs(size_t count, int timeoutMs)
{
    WaitFor(
        [&] {
            TakeOutputs();
            return m_outputs.size() >= count;
        },
        timeoutMs);
    return m_outputs.size();
}

std::vector<uint8_t> ReferenceComposition(int layout, int width, int height,
                                          const std::vector<const stDecodedPicture *> &pictures)
{
    CVideoMuxer muxer;
    std::vector<stPipWindowInfo> none;
    EXPECT_GT(muxer.SetLayout(layout, static_cast<uint16_t>(width), static_cast<uint16_t>(height), L"", &none), 0);
    std::vector<uint8_t *> scaled(muxer.WindowCount(), nullptr);
    std::vector<stMuxRegion> regions(muxer.WindowCount());
    for (uint16_t i = 0; i < muxer.WindowCount(); ++i)
        muxer.GetRegion(i, regions[i]);
    for (uint16_t i = 0; i < muxer.WindowCount() && i < pictures.size(); ++i) {
        if (!pictures[i])
            continue;
        const stDecodedPicture &picture = *pictures[i];
        std::vector<uint8_t> source = picture.i420;
        uint8_t *device = nullptr;
        DevMalloc(reinterpret_cast<void **>(&device), source.size());
        DevMemcpy(device, source.data(), source.size(), EGpuCopyKind::HostToDevice);
        if (picture.width == regions[i].width && picture.height == regions[i].height) {
            scaled[i] = device;
            continue;
        }
        CTYXUtils::ScaleFrameGPU(0, device, picture.width, picture.height, 0, true, &scaled[i], regions[i].width,
                                 regions[i].height, true);
        DevFree(device);
    }
    std::vector<uint8_t> canvas(static_cast<size_t>(width) * height * 3 / 2);
    uint8_t *target = nullptr;
    DevMalloc(reinterpret_cast<void **>(&target), canvas.size());
    {
        CReadLockGuard region(muxer.RegionLock());
        CReadLockGuard slots(muxer.SlotLock());
        for (uint16_t i = 0; i < muxer.WindowCount(); ++i) {
            stMuxInputSlot *slot = muxer.FindSlot(i);
            slot->lock->LockWrite();
            slot->inDevice = 1;
            slot->picture = scaled[i];
            slot->length = scaled[i] ? regions[i].width * regions[i].height * 3 / 2 : 0;
            slot->width = regions[i].width;
            slot->height = regions[i].height;
        }
        {
            CWriteLockGuard canvasLock(muxer.CanvasLock());
            EXPECT_GE(muxer.DoMuxing(target), 0);
        }
        for (uint16_t i = 0; i < muxer.WindowCount(); ++i) {
            stMuxInputSlot *slot = muxer.FindSlot(i);
            slot->picture = nullptr;
            slot->lock->UnlockWrite();
        }
    }
    DevMemcpy(canvas.data(), target, canvas.size(), EGpuCopyKind::DeviceToHost);
    DevFree(target);
    for (uint8_t *picture : scaled) {
        if (picture)
            ReleaseFramePackageData(picture, true);
    }
    return canvas;
}

std::vector<uint8_t> WindowOf(const std::vector<uint8_t> &canvas, int width, int height, int layout, int window,
                              int &windowWidth, int &windowHeight)
{
    CVideoMuxer muxer;
    std::vector<stPipWindowInfo> none;
    muxer.SetLayout(layout, static_cast<uint16_t>(width), static_cast<uint16_t>(height), L"", &none);
    stMuxRegion region;
    muxer.GetRegion(static_cast<uint16_t>(window), region);
    windowWidth = region.width;
    windowHeight = region.height;
    return CropI420(canvas, width, height, region.left, region.top, region.width, region.height);
}

bool CMuxRig::InputsEmpty()
{
    for (auto &[id, link] : m_links) {
        CCsLock lock(*link.queueLock);
        if (!link.queue->empty())
            return false;
    }
    return true;
}

size_t CMuxRig::WaitForCanvas(const std::vector<uint8_t> &expected, size_t from, int timeoutMs,
                              const std::function<void()> &refeed)
{
    size_t checked = from;
    size_t found = SIZE_MAX;
    WaitFor(
        [&] {
            if (refeed && InputsEmpty())
                refeed();
            TakeOutputs();
            for (; checked < m_outputs.size(); ++checked) {
                if (DownloadPackage(m_outputs[checked]) == expected) {
                    found = checked;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

void CMuxRig::UseSteppedClock(int64_t start)
{
    *m_now = start;
    const std::shared_ptr<std::atomic<int64_t>> now = m_now;
    m_mux->SetClockSources([now] { return now->load(); }, {});
}

bool CMuxRig::StepToNextGroup(const std::function<void(int64_t)> &beforeMove)
{
    const uint32_t made = m_mux->GetGroupsProduced();
    return WaitFor([&] {
        TakeOutputs(); // as a consumer does: a full queue would drop the groups
        const uint32_t produced = m_mux->GetGroupsProduced();
        if (produced > made)
            return m_outputsEver >= produced;
        // The due time the mux waits for is later than the clock once it has looked at the clock.
        const int64_t due = m_mux->GetNextGroupDueTime();
        if (m_outputsEver >= produced && due > *m_now) {
            if (beforeMove)
                beforeMove(due);
            *m_now = due;
        }
        return false;
    });
}

bool CMuxRig::WaitGroupsOut(uint32_t groups)
{
    return WaitFor([&] {
        TakeOutputs();
        const uint32_t produced = m_mux->GetGroupsProduced();
        return produced >= groups && m_outputsEver >= produced;
    });
}

stDecodedPicture FlatPicture(int width, int height, uint8_t luma)
{
    stDecodedPicture picture;
    picture.width = width;
    picture.height = height;
    const size_t lumaBytes = static_cast<size_t>(width) * height;
    picture.i420.assign(lumaBytes * 3 / 2, 128);
    std::fill(picture.i420.begin(), picture.i420.begin() + static_cast<std::ptrdiff_t>(lumaBytes), luma);
    return picture;
}

int WindowLuma(const FramePackage &output, int width, int height, int layout, int window)
{
    int w = 0;
    int h = 0;
    const std::vector<uint8_t> part = WindowOf(DownloadPackage(output), width, height, layout, window, w, h);
    return part.empty() ? -1 : part[static_cast<size_t>(h / 2) * w + w / 2];
}
