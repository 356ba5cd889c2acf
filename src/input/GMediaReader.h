#pragma once

#include "core/FramePackage.h"
#include "input/MediaStreamInfo.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

struct AVBSFContext;
struct AVFormatContext;
struct AVPacket;
struct AVStream;

// Container index values of a stream request: the best stream of the map's media type, and the
// value an open writes back for an entry it could not take.
constexpr int16_t TYX_BEST_VIDEO_STREAM = -1;
constexpr int16_t TYX_BEST_AUDIO_STREAM = -2;
constexpr int16_t TYX_STREAM_NOT_TAKEN = -4;

// Reader results besides FFmpeg's own codes.
constexpr int32_t TYX_MSR_NO_SOURCE = -1;
constexpr int32_t TYX_MSR_NOT_OPENED = -1001;
constexpr int32_t TYX_MSR_NO_STREAM = -1004;
constexpr int32_t TYX_MSR_STREAM_NOT_FOUND = -1008;
constexpr int32_t TYX_MSR_NO_PACKET = -1010;

// Caller's stream number -> container stream index.
using StreamRequestMap = std::map<int16_t, int16_t>;
using ReaderClock = std::function<int64_t()>;

// One demuxing input: stream choice, per-stream records, bitstream filters and packet reading.
// Every operation runs on the owner's thread, except Close, which any thread may call: it aborts a
// blocking FFmpeg call of the owner and waits for it before it tears the input down.
class CMediaSourceReader
{
public:
    CMediaSourceReader();
    virtual ~CMediaSourceReader();
    CMediaSourceReader(const CMediaSourceReader &) = delete;
    CMediaSourceReader &operator=(const CMediaSourceReader &) = delete;

    // Base: stores the source and copies of the request maps; 0, or -1 without a source. Readers
    // that open an input return the number of streams selected or a negative code, and write the
    // container index they took (or -4) into the caller's maps.
    virtual int32_t OpenMediaSource(const std::string &source, StreamRequestMap *video, StreamRequestMap *audio);
    // Opens again with the stored source and requests; -1001 when none is stored.
    virtual int32_t Reopen();
    virtual bool IsOpened() const { return m_opened.load(); }
    virtual void Flush();
    // The next packet of a selected stream: its length, 0 at the end of the input, or a negative
    // code. The data belongs to the reader until the next read or the close.
    virtual int32_t ReadPacket(FramePackage &package);
    virtual void Close();
    // The record of a stream number, or none; valid until the next open or close.
    virtual stMediaStreamInfo *GetStreamParameters(int16_t number);
    // The largest real-time start time (µs since 1970) an input has reported, 0 when none.
    virtual int64_t GetMaxValue() const { return m_maxRealtimeStart; }
    virtual uint8_t *GetBuffer(int32_t &size);

    // Selects streams of an opened input (media type 0 video, 1 audio); the count, -1 without map.
    // A configured index of the other media type takes the best stream of this type instead, or,
    // with none, gives -1008.
    int16_t FindStreams(StreamRequestMap *requests, int32_t mediaType);
    // Sizes the video records and makes the Annex B filters; true when a filter was made.
    bool InitBitstreamFilters();
    // Stream number -> container index of every record; their number.
    int32_t GetStreamIndexes(std::map<int16_t, int16_t> &indexes) const;

    // True when the armed deadline has passed, none is armed, or the reader is closing.
    bool IsDeadlinePassed() const;
    // The owner's own reason to abort every blocking call (a worker asked to exit); set before the
    // first open, read on the thread inside FFmpeg.
    void SetAbortCheck(std::function<bool()> check) { m_abortCheck = std::move(check); }
    // True while Close runs or the owner's check asks for an abort.
    bool AbortRequested() const { return m_aborting.load() || (m_abortCheck && m_abortCheck()); }
    void SetClock(ReaderClock clock) { m_clock = std::move(clock); }
    // How long one packet read may block, in µs.
    void SetReadDeadline(int32_t microseconds) { m_readDeadlineUs = microseconds; }
    int32_t ReadDeadline() const { return m_readDeadlineUs; }

    const std::string &SourceName() const { return m_sourceName; }
    const std::wstring &SourceNameW() const { return m_sourceNameW; }
    // The input, for owners that position it themselves (owner thread only).
    AVFormatContext *FormatContext() const { return m_format; }

protected:
    // Arms the deadline for the next blocking call; the guard clears it again.
    class CDeadline
    {
    public:
        CDeadline(CMediaSourceReader &reader, int32_t microseconds);
        ~CDeadline();
        CDeadline(const CDeadline &) = delete;
        CDeadline &operator=(const CDeadline &) = delete;

    private:
        CMediaSourceReader &m_reader;
    };

    // Tears the input down; the caller holds the I/O lock.
    virtual void CloseLocked();
    // Runs FindStreams over the given maps; the selected count, or -1008 (input closed) when a count
    // is negative or nothing was selected.
    int32_t SelectRequestedStreams(StreamRequestMap *video, StreamRequestMap *audio, int16_t &videoCount,
                                   int16_t &audioCount);
    // Drops what the bitstream filters hold (after the input was positioned).
    void ResetFilters();
    int64_t Now() const { return m_clock(); }
    void TakeRealtimeStart();

    std::recursive_mutex m_ioMutex;            // held by every operation that touches the input
    std::atomic<bool> m_aborting{false};
    std::atomic<bool> m_opened{false};
    AVFormatContext *m_format = nullptr;
    std::map<int16_t, AVStream *> m_selected;   // container index -> stream
    std::map<int16_t, stMediaStreamInfo> m_params; // stream number -> record
    int64_t m_maxRealtimeStart = 0;

private:
    int32_t FilterPacket(AVBSFContext *filter, AVPacket *&out);
    void FillPackage(FramePackage &package, const AVPacket *packet, const AVStream *stream);
    void CountPacket(int16_t containerIndex);

    std::atomic<int64_t> m_deadlineStart{0};
    std::atomic<int32_t> m_deadlineLength{0};
    ReaderClock m_clock;
    std::function<bool()> m_abortCheck;
    int32_t m_readDeadlineUs = 500000;
    std::optional<StreamRequestMap> m_videoRequests;
    std::optional<StreamRequestMap> m_audioRequests;
    std::string m_sourceName;
    std::wstring m_sourceNameW;
    std::map<AVStream *, AVBSFContext *> m_filters;
    AVPacket *m_packet = nullptr;     // the read packet
    AVPacket *m_filterIn = nullptr;   // a second reference handed to a filter
    AVPacket *m_filtered = nullptr;   // what a filter gave back
    uint32_t m_filterFailures = 0;
    uint8_t *m_auxBuffer = nullptr;   // never filled
    int32_t m_auxSize = 0;
};

// FFmpeg's interrupt callback of the network and capture inputs: 1 aborts the blocking call.
int MediaIoInterruptCallback(void *reader);
