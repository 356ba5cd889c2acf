#pragma once

#include "input/MultiStrmMRdrWorker.h"
#include "input/RTSPReader.h"

// Reads a live RTSP (MSTYPE 2) or RTMP (MSTYPE 3) source into the graph. It drains what the
// source had buffered, finds each stream's base time, hands every package to its stream thread,
// reports a failed connection downstream and opens the source again after an error or its end.
//
// Source: not open -> open (backlog skipped, base times found) -> reading -> closed on error, end
// of stream or B-frames -> waiting (10 s) -> reopening; a failed open waits 10 s before the next.
class CNRTMediaReadWorker : public CMultiStrmMediaReadWorker
{
public:
    CNRTMediaReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks);

    uint32_t WorkingFunc() override;
    int32_t Initialize(uint8_t flag, int32_t value) override;
    void unInitialize() override;
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    int32_t OnMediaSourceOpenned(bool notify) override;
    CMediaSourceReader *CreateReader(const stMediaSourceReadWorkerConfig &config) override;
    int32_t GetStreamDelayParam(uint8_t piADTC, int32_t configuredDelay) override;

    // The wait between two failed opens (10 s by default).
    void SetOpenRetryWait(uint32_t milliseconds) { m_openRetryWaitMs = milliseconds; }
    void SetDropCounts(int32_t video, int32_t audio);
    void SetSkipBacklogs(bool on) { m_skipBacklogs = on ? 1 : 0; }

private:
    enum class Pass
    {
        Next,
        End,
    };

    void OpenAtStart();
    Pass OpenAgain();
    Pass WaitForBaseTimes(bool &ready);
    Pass ReadOnce(int64_t &handedOver);
    Pass CloseAfterFailure(int32_t status, bool reopen, uint32_t waitMs, const wchar_t *endLog);
    Pass WaitBeforeReopen(uint32_t waitMs);

    uint8_t m_useTCP = 0;
    std::wstring m_text2;
    uint32_t m_openRetryWaitMs = 10000;
    bool m_failureReported = false;
    int64_t m_lastReadPts = TYX_NOPTS_VALUE;
    uint32_t m_gateStart = 0;
    bool m_gateRunning = false;
};
