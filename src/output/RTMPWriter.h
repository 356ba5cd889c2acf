#pragma once

#include "output/StreamWriter.h"

// Pushes FLV over RTMP to the URL given at construction (or to Open).
class CRTMPWriter : public CStreamWriter
{
public:
    explicit CRTMPWriter(const std::string &url = std::string());
    ~CRTMPWriter() override;

    // Not opened: 0 and nothing written.
    int32_t Write_Frame(int16_t index, const FramePackage &package, AVRational timeBase) override;
    // Connects at once; the connection's error when the server cannot be reached.
    int32_t Open(const std::string *destination, std::vector<stWriterStreamParams> *params, int32_t count) override;
    void Close() override;
    int32_t addNewStream(stWriterStreamParams &params, int32_t flag) override;
    // A failed header closes the writer.
    int32_t PrepareForWriting(const stWriterMetadata *metadata) override;
    int32_t GetWriterType() const override { return TYX_WRITER_RTMP; }
};
