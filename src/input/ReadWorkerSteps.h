#pragma once

#include "core/FramePackage.h"
#include "core/FrameRateAdjuster.h"
#include "core/TYXConfigRecords.h"
#include "core/TYXWorkerItemInfo.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class CEvent;
class CMediaSourceReader;
class CThread;
class CTYXWorker;
struct AVFrame;
struct stMediaSourceReadWorkerConfig;
struct stTYXWorkerConfig;

// Steps that the read workers take alike, whatever worker base they sit on. The input path is
// the one the log and the events show (a printable device name).

// The source part of a capture worker's configuration: the path, its printable form and the
// first stream (left as it is when the configuration has none); none when config is no source.
const stMediaSourceReadWorkerConfig *TakeCaptureSource(const stTYXWorkerConfig *config, std::wstring &sourceName,
                                                       std::wstring &inputPath, stTYXStreamConfig &stream);
// The one output item of a capture worker: the configured stream id, else the worker id + 1.
stTYXWorkerItemInfo CaptureOutputItem(const stTYXStreamConfig &stream, uint32_t workerId, int32_t kind, const std::wstring &name);
// Logs how the open of CopyInConfiguration went; a failure also on the console when screenOutput.
void LogSourceOpen(const CTYXWorker &worker, const std::wstring &inputPath, int32_t result, bool screenOutput);
// Initialize's open of a device that is not open yet (the tag names the worker class in the log,
// "[RawVideoReadWorker]"); a failed open marks the worker's streams failed.
void OpenAtInitialize(CTYXWorker &worker, CMediaSourceReader &reader, const wchar_t *tag);
// The read thread's open of a device that is not open yet: 0, or the open's negative code once
// the streams are marked failed and the event is reported.
int32_t ReopenAtThreadStart(CTYXWorker &worker, CMediaSourceReader &reader, const std::wstring &inputPath);

// Stamps a captured package on the program clock in µs; the dts moves with the pts, so that their
// distance stays what the device gave, and the duration is converted like them. The new pts.
int64_t RebaseCapturedStamps(stTimestampRebase &rebase, FramePackage &package, AVRational inputTimeBase, int64_t nowUs);
// Reports a source event of the worker, with its name and the input path.
void ReportWorkerSourceEvent(const CTYXWorker &worker, int32_t eventType, const std::wstring &inputPath);
// Whether a decoded frame is a key frame, on every FFmpeg version the build takes.
bool IsKeyFrame(const AVFrame &frame);

// Sets the exit event and waits up to waitMs for each child thread but the calling one: a worker
// whose child threads run its member functions does so before its members go.
void EndChildThreads(CEvent &exitEvent, std::mutex &childMutex, std::map<int32_t, std::unique_ptr<CThread>> &children,
                     uint32_t waitMs);
