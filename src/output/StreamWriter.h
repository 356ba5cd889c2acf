#pragma once

#include "core/FfmpegHandles.h"
#include "core/FramePackage.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct stStreamParams;

// Writer types, as GetWriterType reports them.
constexpr int32_t TYX_WRITER_FILE = 1;
constexpr int32_t TYX_WRITER_RTSP = 2;
constexpr int32_t TYX_WRITER_RTMP = 3;

// addNewStream: the container cannot hold the stream's codec (PCM sound in MP4); nothing was added.
constexpr int32_t TYX_WRITER_STREAM_NOT_HELD = -8;
// writeFrame: the package cannot be written as it is (an ADTS package that cannot be split into
// its frames); the output stays sound and goes on with the next package.
constexpr int32_t TYX_WRITER_PACKAGE_REFUSED = -32776;

// One output stream as the media writer asks for it: built from the input stream's parameters,
// handed to addNewStream, which writes the output stream index back.
struct stWriterStreamParams
{
    stWriterStreamParams() = default;
    ~stWriterStreamParams();
    stWriterStreamParams(const stWriterStreamParams &other);
    stWriterStreamParams &operator=(const stWriterStreamParams &other);

    // Takes codec, sizes, rates and the sequence headers of an input stream's record.
    static stWriterStreamParams FromStreamParams(const stStreamParams &params);

    int16_t index = -1;          // output stream index, written back by addNewStream
    int32_t codecId = 0;         // FFmpeg codec id
    std::wstring codecName;      // for the log when no encoder knows the id
    int32_t mediaType = -1;      // 0 video, 1 audio
    int64_t bitRate = 0;
    std::vector<uint8_t> extradata;
    // video
    int32_t width = 0;
    int32_t height = 0;
    int32_t pixelFormat = -1;
    AVRational frameRate{0, 1};  // frames per second, exact: 30000/1001 for 29.97
    // audio
    int32_t sampleRate = 0;
    int32_t sampleFormat = -1;
    int32_t frameSize = 0;       // samples per packet, 0 unknown
    AVChannelLayout channelLayout{};
    int32_t profile = -99;       // FFmpeg profile; -99 (FF_PROFILE_UNKNOWN) unknown
};

// Title, subtitle, comment and composer of a record file; empty texts are left out.
struct stWriterMetadata
{
    std::wstring title;
    std::wstring subtitle;
    std::wstring comment;
    std::wstring composer;
};

// One libavformat output: a record file or a push. The media writer opens it with a destination,
// adds one stream per input, prepares it (the container header), hands it packages whose time
// stamps are already in the given time base, and closes it (trailer); the same object can be
// opened again with another destination.
//
//   created --Open--> context --addNewStream*--> --PrepareForWriting--> opened --writeFrame*-->
//   --Close--> created
//
// One thread at a time; the media writer serialises its own thread with run-time output changes.
class CStreamWriter
{
public:
    // Returns true to abort a blocking network call.
    using InterruptCheck = std::function<bool()>;

    explicit CStreamWriter(const std::string &destination = std::string());
    virtual ~CStreamWriter();
    CStreamWriter(const CStreamWriter &) = delete;
    CStreamWriter &operator=(const CStreamWriter &) = delete;

    // The largest last dts over the streams (in their own time bases); 0 without streams.
    virtual int64_t GetMaxTimestamp() const;
    // Writes a package whose time stamps are in timeBase into the stream of that index.
    virtual int32_t Write_Frame(int16_t index, const FramePackage &package, AVRational timeBase) = 0;
    // Makes the output context for the destination (a given one replaces the stored one); with
    // count > 0 adds the streams and prepares. The number of streams added, 0, or a negative code.
    virtual int32_t Open(const std::string *destination, std::vector<stWriterStreamParams> *params, int32_t count) = 0;
    virtual void Close() = 0;
    virtual std::string GetDestName() const { return m_destination; }
    // The output stream index, or a negative code (TYX_WRITER_STREAM_NOT_HELD: the container cannot
    // hold the codec).
    virtual int32_t addNewStream(stWriterStreamParams &params, int32_t flag) = 0;
    virtual int32_t RemoveStream(int16_t index);
    virtual int32_t PrepareForWriting(const stWriterMetadata *metadata) = 0;
    // Refuses a dts below the stream's last one (-2), an unknown index (-1); else Write_Frame
    // (TYX_WRITER_PACKAGE_REFUSED for a package that cannot be written as it is).
    virtual int32_t writeFrame(int16_t index, const FramePackage &package, AVRational timeBase);
    virtual int32_t Reserved9() { return 0; }
    virtual int32_t GetWriterType() const = 0;
    virtual bool IsOpened() const { return m_opened; }

    // Network calls of the push writers give up when the check says so (the owner's exit).
    void SetInterruptCheck(InterruptCheck check) { m_interruptCheck = std::move(check); }
    // The stream's time base after the header (the muxer may have changed it); {0, 1} when unknown.
    AVRational GetStreamTimeBase(int16_t index) const;
    int32_t GetStreamCount() const { return static_cast<int32_t>(m_streams.size()); }
    // The container's short name ("mp4", "flv", ...) once Open made the output context; else empty.
    std::string GetContainerName() const;
    // False only when the container of the open context is known not to hold the codec; true
    // without a context or when the container does not say.
    bool CanHoldCodec(int32_t codecId) const;

protected:
    struct stOutputStream
    {
        int16_t index = -1;
        int32_t mediaType = -1;
        AvCodecPtr codec;
        int64_t lastDts = TYX_NOPTS_VALUE;
        int64_t lastPts = TYX_NOPTS_VALUE;
        // AAC with its config in the header: ADTS frames lose their headers before the muxer.
        bool rawAac = false;
        // The config was made here from the stream's parameters; the first ADTS header checks it.
        bool aacConfigMade = false;
        bool aacConfigChecked = false;
        int32_t adtsRefused = 0;     // packages that could not be unwrapped, for log pacing
    };

    // Stores the destination; false (nothing changed) for an empty text.
    bool SetDestination(const std::string &destination);
    // Allocates m_context for the format name (none: by the destination's file name).
    int32_t AllocContext(const char *formatName);
    // The shared part of addNewStream: encoder look-up, stream, codec context. The index, or -1
    // (no encoder), -2 (no stream), -4 (no codec context).
    int32_t AddStreamToContext(stWriterStreamParams &params, const char *source, const char *method);
    // Opens the destination for writing when the container writes into a file or URL.
    int32_t OpenIoWhenNeeded();
    // Rescales and hands the package to av_interleaved_write_frame: its result. An ADTS package of
    // a raw AAC stream goes as its frames without their headers.
    int32_t WritePacket(stOutputStream &stream, const FramePackage &package, AVRational timeBase);
    // One packet of the package's data [offset, offset + size), at pts/dts moved by shift.
    int32_t WritePacketPart(const stOutputStream &stream, const FramePackage &package, AVRational timeBase,
                            int32_t offset, int32_t size, int64_t shift, int64_t duration);
    // The ADTS frames of a package for a raw AAC stream: each written without its header.
    int32_t WriteAdtsFrames(stOutputStream &stream, const FramePackage &package, AVRational timeBase);
    // Trailer (when wanted and the header was written), codec contexts, file, context.
    void CloseContext(bool writeTrailer, const char *source, const char *method);
    // Open and Write_Frame of the push writers, which differ only in their format.
    int32_t OpenPush(const char *formatName, const std::string *destination, std::vector<stWriterStreamParams> *params,
                     int32_t count);
    int32_t WritePushFrame(int16_t index, const FramePackage &package, AVRational timeBase);
    // The rest of Open with count streams: the number added, or the prepare error.
    int32_t AddStreamsAndPrepare(std::vector<stWriterStreamParams> *params, int32_t count);
    stOutputStream *FindStream(int16_t index);
    const stOutputStream *FindStream(int16_t index) const;
    void InstallInterruptCallback();

    std::string m_destination;
    std::map<uint8_t, stOutputStream> m_streams;
    bool m_opened = false;
    AvOutputPtr m_context;
    // One packet for every write: the muxer leaves it blank after each call, so it need not be
    // allocated and freed per package.
    AvPacketPtr m_packet;
    AVDictionary *m_options = nullptr;   // owned
    InterruptCheck m_interruptCheck;

private:
    static int InterruptTrampoline(void *opaque);
};

// Turns an FFmpeg error code into text for the log.
std::wstring AvErrorText(int32_t code);
