#pragma once

#include "output/StreamWriter.h"

// Pushes to an RTSP server (ANNOUNCE and RECORD) at the URL given at construction (or to Open);
// RTP goes over the RTSP connection when the TCP flag is set, else over FFmpeg's default transport.
class CRTSPWriter : public CStreamWriter
{
public:
    explicit CRTSPWriter(const std::string &url = std::string(), bool overTcp = false);
    ~CRTSPWriter() override;

    // Not opened: 0 and nothing written.
    int32_t Write_Frame(int16_t index, const FramePackage &package, AVRational timeBase) override;
    int32_t Open(const std::string *destination, std::vector<stWriterStreamParams> *params, int32_t count) override;
    void Close() override;
    int32_t addNewStream(stWriterStreamParams &params, int32_t flag) override;
    // Connects and announces the streams: 0, -32 without context, -64 when the server refused.
    int32_t PrepareForWriting(const stWriterMetadata *metadata) override;
    int32_t GetWriterType() const override { return TYX_WRITER_RTSP; }

private:
    bool m_overTcp = false;
};
