#include "CaptureTestSupport.h"

#include "input/CaptureDevices.h"
#include "platform/VideoDeviceNode.h"

#include <cstdio>

std::string TestPattern(int width, int height, int fps, const std::string &pixelFormat)
{
    char text[160];
    std::snprintf(text, sizeof(text), "lavfi:testsrc2=size=%dx%d:rate=%d,format=%s", width, height, fps, pixelFormat.c_str());
    return text;
}

std::string TestTone(int frequency, int sampleRate, double seconds, int channels)
{
    char text[200];
    std::snprintf(text, sizeof(text), "lavfi:sine=frequency=%d:sample_rate=%d:duration=%g%s", frequency, sampleRate,
                  seconds, channels == 2 ? ",pan=stereo|c0=c0|c1=c0" : "");
    return text;
}

std::string FirstCaptureNode()
{
    for (const stCaptureDeviceInfo &node : ListVideoDeviceNodes("/dev", 0)) {
        std::string card;
        if (QueryVideoDeviceNode(node.name, card) == 1)
            return node.name;
    }
    return {};
}

#include "platform/GpuDevice.h"
#include "support/XvfbServer.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <filesystem>

#include <chrono>
#include <thread>

CCaptureConsumer::CCaptureConsumer(uint32_t outputId, int32_t kind)
{
    m_end.CreateQueue();
    m_end.producerId = outputId & ~0xFFu;
    m_end.consumerId = 0x10000004u;
    m_end.paketKind = kind;
    m_end.lastActiveTime = 1;
    m_links[outputId][m_end.consumerId] = m_end;
}

void CCaptureConsumer::TakeQueued()
{
    CCsLock lock(*m_end.queueLock);
    while (!m_end.queue->empty()) {
        FramePackage package = m_end.queue->front();
        m_end.queue->pop_front();
        stTakenPackage taken;
        if (package.nLength > 0 && package.pData) {
            taken.data.resize(static_cast<size_t>(package.nLength));
            if (package.inDevice)
                DevMemcpy(taken.data.data(), package.pData, taken.data.size(), EGpuCopyKind::DeviceToHost);
            else
                std::copy(package.pData, package.pData + package.nLength, taken.data.begin());
        }
        taken.header = package;
        taken.header.pData = nullptr;
        FreeFramePackage(package);
        m_taken.push_back(std::move(taken));
    }
}

const std::vector<stTakenPackage> &CCaptureConsumer::TakeUntil(
    const std::function<bool(const std::vector<stTakenPackage> &)> &done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        TakeQueued();
        if (done(m_taken) || std::chrono::steady_clock::now() >= deadline)
            return m_taken;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool HasStatus(const std::vector<stTakenPackage> &taken, int32_t code)
{
    for (const stTakenPackage &package : taken) {
        if (package.IsStatus(code))
            return true;
    }
    return false;
}

std::vector<const stTakenPackage *> WithData(const std::vector<stTakenPackage> &taken)
{
    std::vector<const stTakenPackage *> data;
    for (const stTakenPackage &package : taken) {
        if (package.header.nLength > 0)
            data.push_back(&package);
    }
    return data;
}

// An I420 picture as BGRA, for the PNG a person looks at.
std::vector<uint8_t> I420ToBgra(const std::vector<uint8_t> &i420, int width, int height)
{
    std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
    SwsContext *context = sws_getContext(width, height, AV_PIX_FMT_YUV420P, width, height, AV_PIX_FMT_BGRA, SWS_POINT,
                                         nullptr, nullptr, nullptr);
    uint8_t *src[4];
    int srcLines[4];
    uint8_t *dst[4];
    int dstLines[4];
    av_image_fill_arrays(src, srcLines, i420.data(), AV_PIX_FMT_YUV420P, width, height, 1);
    av_image_fill_arrays(dst, dstLines, bgra.data(), AV_PIX_FMT_BGRA, width, height, 1);
    sws_scale(context, src, srcLines, 0, height, dst, dstLines);
    sws_freeContext(context);
    return bgra;
}

void SavePicture(const std::string &name, const stTakenPackage &picture)
{
    std::filesystem::create_directories("artifacts");
    const int width = picture.header.width;
    const int height = picture.header.height;
    SaveBgraAsPng("artifacts/" + name, I420ToBgra(picture.data, width, height), width, height);
}

