#pragma once

#include "input/GMediaReader.h"

#include <map>

// One stream of a seek request; the target goes in, the positions found come out.
struct stStreamSeekInfo
{
    int16_t streamIndex = -1;
    int64_t target = 0;                      // µs from the stream's first time stamp [in]
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

private:
    void FindFirstTimestamps(StreamSeekMap &seeks);
    bool PositionStream(stStreamSeekInfo &seek);
    void ChooseBetweenPackets(stStreamSeekInfo &seek, const FramePackage &key, int64_t target);
    void Rewind();
};
