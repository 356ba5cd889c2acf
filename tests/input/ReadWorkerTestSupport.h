#pragma once

#include "core/TYXUtils.h"
#include "core/TYXWorker.h"
#include "core/TYXWorkerConfig.h"
#include "input/MediaFileReader.h"
#include "input/MultiStrmMRdrWorker.h"
#include "support/Wait.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// What a consumer saw of one package (its data is released when it is taken).
struct stSeenPackage
{
    int32_t length = 0;
    int64_t pts = 0;
    int64_t dts = 0;
    int64_t duration = 0;
    int32_t flags = 0;
    int32_t kind = 0;
    int32_t mediaType = -1;
    int16_t streamIndex = -1;
    int64_t readTime = 0;
    int64_t handedAt = 0;   // when the worker handed it over, where a CHandOverLog noted it
    bool annexB = false;
    bool key() const { return (flags & 1) != 0; }
};

// True when the bytes begin with an Annex B start code (00 00 01 or 00 00 00 01).
bool IsAnnexB(const uint8_t *data, int32_t length);

// What a reader gave until the end of its input, a failed read, or `videoWanted` video packets.
struct stReadCounts
{
    int video = 0;
    int audio = 0;
    int keys = 0;
    int annexB = 0;
    int noDts = 0;
    int32_t last = 1; // the last read's result
};
stReadCounts ReadPackets(CMediaSourceReader &reader, int videoWanted = 1 << 30);

// The packages that carry data, and the number of status packages of one code.
std::vector<stSeenPackage> DataOnly(const std::vector<stSeenPackage> &all);
int CountStatus(const std::vector<stSeenPackage> &all, int32_t status);

// Index of the first package at or after `from` that matches; all.size() when none does.
size_t FindFrom(const std::vector<stSeenPackage> &all, size_t from, const std::function<bool(const stSeenPackage &)> &match);

// The consumer ends of a read worker's output streams.
class CTestConsumers
{
public:
    // A link from the output stream to a consumer that the test plays.
    void Add(uint32_t outputId, int32_t kind);
    const CTYXWorker::ConsumerLinkMap &Links() const { return m_links; }
    // Everything the output stream has queued since the last take.
    std::vector<stSeenPackage> Take(uint32_t outputId);
    // Takes until the predicate over all packages taken so far holds, or the time-out passes.
    std::vector<stSeenPackage> TakeUntil(uint32_t outputId, const std::function<bool(const std::vector<stSeenPackage> &)> &done,
                                         int timeoutMs);

    std::vector<uint32_t> Outputs() const;

private:
    CTYXWorker::ConsumerLinkMap m_links;
    std::map<uint32_t, stWorkerLink> m_ends;
    std::map<uint32_t, std::vector<stSeenPackage>> m_taken;
};

// When a read worker handed each package over, on a clock that moves only in the worker's pacing
// waits: the reading thread collects at each wait, before the clock moves, and the test once more
// when the play has ended. What was handed over since the collection before went at that time.
class CHandOverLog
{
public:
    explicit CHandOverLog(CTestConsumers &consumers) : m_consumers(consumers) {}
    // Once the stream threads have sent what they were given: every output's new packages, handed
    // over at `now`.
    void Collect(CMultiStrmMediaReadWorker &worker, int64_t now);
    // Everything an output got so far, in order.
    const std::vector<stSeenPackage> &Of(uint32_t outputId) { return m_seen[outputId]; }

private:
    CTestConsumers &m_consumers;
    std::map<uint32_t, std::vector<stSeenPackage>> m_seen;
};

// Copies a media file without decoding it, with the time stamps of its streams of one media type
// moved by shiftUs; 0, or a negative FFmpeg code.
int WriteShiftedCopy(const std::filesystem::path &from, const std::filesystem::path &to, int mediaType, int64_t shiftUs);

// How long the streams of one media type of a file last on the file's own time line (µs): from
// the earliest stamp to the end of the package that ends last, by pts or by dts, whichever is longer.
int64_t StreamLengthUs(const std::filesystem::path &file, int mediaType);

// A reader source configuration with a video stream 1 and, optionally, an audio stream 2.
stMediaSourceReadWorkerConfig MakeSourceConfig(uint32_t workerId, int32_t msType, const std::wstring &path, bool audio);

// A program clock the tests move by hand; the tick count follows it, and so does the host's time
// (µs since 1970), but for the steps the host's time took since the start.
struct stFakeClock
{
    std::atomic<int64_t> us{1700000000000000LL};
    std::atomic<int64_t> wallStepUs{0};
    int64_t Now() const { return us.load(); }
    uint32_t Tick() const { return static_cast<uint32_t>(us.load() / 1000); }
    int64_t WallUs() const { return us.load() - TYX_CLOCK_OFFSET_US + wallStepUs.load(); }
    void Advance(int64_t microseconds) { us += microseconds; }
};

// A reader that plays a script: its streams and the packets it gives, with the time each read takes.
// It selects streams as the real readers do: a marker, or an index that holds the other media type,
// asks for the best stream of the map's media type, an empty map for every stream of that type,
// numbered after the numbers the requests use.
class CScriptReader : public CMediaFileReader
{
public:
    struct stPacket
    {
        int16_t stream = 0;
        int64_t pts = 0;
        int64_t dts = 0;
        int64_t duration = 0;
        bool key = false;
        int64_t readUs = 0;     // the fake clock moves by this much during the read
        int32_t result = 1;     // 1: the packet; 0: end of input; negative: that error
    };

    CScriptReader(stFakeClock &clock) : m_clock(clock) {}
    // A stream of the script; index = its container index.
    void AddStream(int16_t index, int32_t mediaType, AVRational timeBase, AVRational frameRate, int32_t codecId);
    void Push(const stPacket &packet);
    // From that open on (1: the first), the streams are at other container indexes (old -> new), as
    // a relay numbers them in the order their first packets come at each publish.
    void RenumberStreamsAtOpen(int open, const std::map<int16_t, int16_t> &newIndexes);
    // Any thread may set the result of the next opens while the worker runs.
    void SetOpenResult(int32_t result) { m_openResult = result; }
    void SetRealtimeStart(int64_t us) { m_realtimeStart = us; }
    int OpenCount() const { return m_opens.load(); }
    // While on, reads of an empty script wait for more packets (and, with opens, every open
    // waits) until the reader is aborted or blocking is turned off.
    void SetBlocking(bool reads, bool opens);
    // True while a read or an open waits.
    bool Blocked() const { return m_blocked.load(); }
    // Packets of the script not read yet.
    size_t Remaining();

    int32_t OpenMediaSource(const std::string &path, StreamRequestMap *video, StreamRequestMap *audio) override;
    int32_t ReadPacket(FramePackage &package) override;
    int64_t GetMaxValue() const override { return m_realtimeStart; }

private:
    stFakeClock &m_clock;
    std::map<int16_t, stMediaStreamInfo> m_streams;
    // Waits while blocking holds and the reader is not aborted; false when aborted.
    bool WaitWhileBlocked(std::unique_lock<std::mutex> &lock, const std::function<bool()> &blocking);

    std::mutex m_mutex;                // the script and the blocking marks
    std::condition_variable m_changed;
    bool m_blockReads = false;
    bool m_blockOpens = false;
    std::atomic<bool> m_blocked{false};
    std::deque<stPacket> m_script;
    int m_renumberAt = 0;
    std::map<int16_t, int16_t> m_renumbering;
    std::vector<uint8_t> m_data = std::vector<uint8_t>(64, 0);
    std::atomic<int32_t> m_openResult{0};
    std::atomic<int64_t> m_realtimeStart{0};
    std::atomic<int> m_opens{0};
};

// A read worker whose reader plays a script, on the fake clock.
template <typename Worker>
class CScriptedWorker : public Worker
{
    std::unique_ptr<CScriptReader> m_script;

public:
    CScriptedWorker(uint32_t id, const CTYXWorker::ConsumerLinkMap *links, stFakeClock &clock)
        : Worker(id, links), m_script(std::make_unique<CScriptReader>(clock)), script(m_script.get())
    {
        this->SetClockSources([&clock] { return clock.Now(); }, [&clock] { return clock.Tick(); },
                              [&clock] { return clock.WallUs(); });
    }
    CMediaSourceReader *CreateReader(const stMediaSourceReadWorkerConfig &) override
    {
        if (m_script)
            this->m_reader = std::move(m_script);
        return this->m_reader.get();
    }

    CScriptReader *const script;
};

