#pragma once

#include "input/GMediaReader.h"

#include <map>

// One stream of a seek request; the target goes in, the positions found come out.
struct stStreamSeekInfo
{
    int16_t streamIndex = -1;
    int64_t target = 0;                      // µs of presentation from the stream's first pts [in]
    AVRational timeBase{0, 1};               // [out]
    int64_t firstPts = TYX_NOPTS_VALUE;      // [out]
    int64_t firstDts = TYX_NOPTS_VALUE;      // [out]
    int64_t chosenPts = TYX_NOPTS_VALUE;     // where the stream resumes [out]
    int64_t chosenDts = TYX_NOPTS_VALUE;     // [out]
    int64_t keyPts = TYX_NOPTS_VALUE;        // the key frame found for the target [out]
    int64_t keyDts = TYX_NOPTS_VALUE;        // [out]
    uint8_t positioned = 0;                  // [out]
    uint8_t hasTimestamps = 1;               // [in/out]
};
using StreamSeekMap = std::map<int16_t, stStreamSeekInfo>; // by container index

// Media files, opened without options; they can be positioned stream by stream.
class CMediaFileReader : public CMediaSourceReader
{
public:
    CMediaFileReader() = default;

    int32_t OpenMediaSource(const std::string &path, StreamRequestMap *video, StreamRequestMap *audio) override;
    // Positions every stream of the map at the key frame at or before its target and leaves the
    // input at the earliest of them; the number positioned, or a negative code. The output pair is
    // the stream index and position (in that stream's time base) of the final seek.
    int32_t SeekStreamsBySimpleWay(StreamSeekMap &seeks, int16_t &outIndex, int64_t &outPosition);
    // Seeks back to the key frame at or before the position (in that stream's time base), or to
    // the start of the file for a stream index below 0; FFmpeg's result.
    int32_t SeekToPosition(int16_t streamIndex, int64_t position);
    // Seeks back to the first packet of the file, which is the one of that stream at that
    // position (in its time base) where the file has an index; FFmpeg's result.
    int32_t SeekToStart(int16_t streamIndex, int64_t position);

private:
    void FindFirstTimestamps(StreamSeekMap &seeks);
    bool PositionStream(stStreamSeekInfo &seek);
    // The next packet of that stream; false (logged) at a read failure or the end.
    bool ReadFirstPacketOf(int16_t streamIndex, FramePackage &package);
    // Seeks the stream to a key frame shown at or before the target (in its time base) and reads it.
    bool SeekToKeyFrame(stStreamSeekInfo &seek, int64_t target, FramePackage &key);
    // The last key frame shown at or before the target, and the packet chosen to start from.
    void FindKeyAndStart(stStreamSeekInfo &seek, FramePackage key, int64_t target);
    void Rewind();
};
