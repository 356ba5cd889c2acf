#include "input/ReadWorkerSteps.h"

#include "core/TYXUtils.h"
#include "core/TYXWorker.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "host/TYXEvent.h"
#include "input/CaptureSource.h"
#include "input/GMediaReader.h"
#include "platform/Event.h"
#include "platform/Thread.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libavutil/version.h>
}

const stMediaSourceReadWorkerConfig *TakeCaptureSource(const stTYXWorkerConfig *config, std::wstring &sourceName,
                                                       std::wstring &inputPath, stTYXStreamConfig &stream)
{
    const auto *source = dynamic_cast<const stMediaSourceReadWorkerConfig *>(config);
    if (!source)
        return nullptr;
    sourceName = source->MSFullPath;
    // The name itself is checked by the reader.
    inputPath = StringToWString(PrintableDeviceName(WStringToString(sourceName)));
    if (!source->Streams.empty())
        stream = source->Streams.begin()->second;
    return source;
}

stTYXWorkerItemInfo CaptureOutputItem(const stTYXStreamConfig &stream, uint32_t workerId, int32_t kind, const std::wstring &name)
{
    stTYXWorkerItemInfo item;
    item.Id = static_cast<int32_t>(stream.StreamId > 0 ? static_cast<uint32_t>(stream.StreamId) : workerId + 1);
    item.No = 0;
    item.Kind = kind;
    item.Name = name;
    return item;
}

void LogSourceOpen(const CTYXWorker &worker, const std::wstring &inputPath, int32_t result, bool screenOutput)
{
    const int32_t wid = static_cast<int32_t>(worker.GetWorkerId());
    if (result >= 0) {
        TYX_LOG(6, L"[WID=%d]Media source opened successfully.", wid);
        return;
    }
    const std::wstring name = worker.GetName();
    TYX_LOG(3, L"Media source(%s::%s) for Worker[ID=%d] openning failed with err=%d!\n", name.c_str(), inputPath.c_str(), wid,
            result);
    if (screenOutput)
        ConsolePrintfW(L"Media source(%s::%s) for Worker[ID=%d] openning failed with err=%d !\n", name.c_str(), inputPath.c_str(),
                       wid, result);
}

void OpenAtInitialize(CTYXWorker &worker, CMediaSourceReader &reader, const wchar_t *tag)
{
    if (reader.IsOpened())
        return;
    const int32_t wid = static_cast<int32_t>(worker.GetWorkerId());
    TYX_LOG(6, L"%s[WID=%d]Media source wasn't open, try to open it...", tag, wid);
    const int32_t result = reader.Reopen();
    if (result < 0) {
        TYX_LOG(3, L"%s[WID=%d]Media source opening failed with error=%d.", tag, wid, result);
        worker.SetStateOfAllStreams(TYX_STATUS_OPEN_FAILED);
    } else {
        TYX_LOG(6, L"%s[WID=%d]Media source opened successfully.", tag, wid);
    }
}

int32_t ReopenAtThreadStart(CTYXWorker &worker, CMediaSourceReader &reader, const std::wstring &inputPath)
{
    const int32_t wid = static_cast<int32_t>(worker.GetWorkerId());
    TYX_LOG(5, L"[WID=%d]Media source wasn't open, try to open it...", wid);
    const int32_t result = reader.Reopen();
    if (result < 0) {
        worker.SetStateOfAllStreams(TYX_STATUS_OPEN_FAILED);
        TYX_LOG(3, L"[WID=%d]Media source opening failed with error=%d.", wid, result);
        ReportWorkerSourceEvent(worker, TYX_EVENT_SOURCE_OPEN_FAILED, inputPath);
        return result;
    }
    TYX_LOG(6, L"[WID=%d]Media source opened successfully.", wid);
    return 0;
}

int64_t RebaseCapturedStamps(stTimestampRebase &rebase, FramePackage &package, AVRational inputTimeBase, int64_t nowUs)
{
    const int64_t before = package.pts;
    const int64_t after = RebaseTimestamp(rebase, package, {inputTimeBase.num, inputTimeBase.den}, nowUs);
    if (inputTimeBase.num <= 0 || inputTimeBase.den <= 0)
        return after;
    // The distance to the pts and the duration are in the device's time base, like the stamps were.
    const AVRational micro{1, 1000000};
    if (before != TYX_NOPTS_VALUE && package.dts != TYX_NOPTS_VALUE)
        package.dts = after - av_rescale_q(before - package.dts, inputTimeBase, micro);
    if (package.duration > 0)
        package.duration = av_rescale_q(package.duration, inputTimeBase, micro);
    return after;
}

void ReportWorkerSourceEvent(const CTYXWorker &worker, int32_t eventType, const std::wstring &inputPath)
{
    stTYXEvent event;
    event.type = eventType;
    event.workerId = static_cast<int32_t>(worker.GetWorkerId());
    event.attributes["WorkerName"] = stTYXEventValue::WText(worker.GetName());
    event.attributes["InputPath"] = stTYXEventValue::WText(inputPath);
    ReportTYXEvent(event);
}

bool IsKeyFrame(const AVFrame &frame)
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    return (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame.key_frame != 0;
#endif
}

void EndChildThreads(CEvent &exitEvent, std::mutex &childMutex, std::map<int32_t, std::unique_ptr<CThread>> &children,
                     uint32_t waitMs)
{
    exitEvent.Set();
    std::lock_guard<std::mutex> lock(childMutex);
    for (auto &[id, thread] : children) {
        if (thread && id != GetCurrentThreadIdInt())
            thread->WaitForEnd(waitMs);
    }
}
