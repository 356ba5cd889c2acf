#pragma once

#include "output/StreamWriter.h"
#include "platform/FileHold.h"

#include <vector>

// The record-file writer: the container follows from the file name's extension (mp4, mov, mkv,
// ts, flv, avi, asf, mp3, ...); a name FFmpeg does not know is written as an MPEG program stream.
// MP4 is written in fragments of at most a second that reach the file as they are made, so that a
// file cut short by the program's death plays up to its last fragment; the close adds the
// fragments' index and writes the file's length into its header. The file is held (CFileHold)
// from its open to its close.
class CMP4Wrapper : public CStreamWriter
{
public:
    CMP4Wrapper();
    ~CMP4Wrapper() override;

    int32_t Write_Frame(int16_t index, const FramePackage &package, AVRational timeBase) override;
    int32_t Open(const std::string *destination, std::vector<stWriterStreamParams> *params, int32_t count) override;
    // Writes the trailer (the file's index) when the header was written, then closes the file.
    void Close() override;
    // Refused (-4) once the header is written.
    int32_t addNewStream(stWriterStreamParams &params, int32_t flag) override;
    int32_t PrepareForWriting(const stWriterMetadata *metadata) override;
    int32_t GetWriterType() const override { return TYX_WRITER_FILE; }

private:
    // Closes and removes the file that a failed header left without content.
    void RemoveUnwrittenFile();
    // Where the written packages lie, for the length that a fragmented file's header gets at its close.
    void NoteSpan(const FramePackage &package, AVRational timeBase);

    std::vector<stWriterStreamParams> m_addedParams;
    CFileHold m_hold;
    bool m_fragmented = false;
    int64_t m_spanFirstUs = TYX_NOPTS_VALUE;
    int64_t m_spanEndUs = TYX_NOPTS_VALUE;
};
