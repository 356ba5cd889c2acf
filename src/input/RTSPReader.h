#pragma once

#include "input/GMediaReader.h"

#include <string>
#include <utility>
#include <vector>

struct AVDictionary;

// Deadlines of the network open, in µs.
constexpr int32_t TYX_RTSP_OPEN_DEADLINE_US = 2000000;
constexpr int32_t TYX_RTMP_OPEN_DEADLINE_US = 4000000;
constexpr int32_t TYX_STREAM_INFO_DEADLINE_US = 5000000;
// Stream analysis stops a second before its deadline: an analysis cut by the interrupt leaves an
// RTMP input in the middle of a chunk.
constexpr int64_t TYX_STREAM_ANALYSIS_US = 4000000;

// Live RTSP and RTMP sources with low-latency options; every blocking call runs under a deadline.
class CRTSPMPReader : public CMediaSourceReader
{
public:
    CRTSPMPReader();
    ~CRTSPMPReader() override;

    // Set by the creator before the first open.
    void SetTransportTcp(bool tcp) { m_tcp = tcp ? 1 : 0; }
    void SetRtmpSource(bool rtmp) { m_rtmp = rtmp ? 1 : 0; }
    bool TransportTcp() const { return m_tcp != 0; }
    bool RtmpSource() const { return m_rtmp != 0; }

    int32_t OpenMediaSource(const std::string &url, StreamRequestMap *video, StreamRequestMap *audio) override;

    // The options of an open, in the order they are set.
    static std::vector<std::pair<std::string, std::string>> BuildOpenOptions(bool rtmp, bool tcp);
    // The URL as FFmpeg gets it: the expected scheme in front of a source without one, and the
    // scheme in lower case.
    static std::string NormalizeSourceUrl(const std::string &source, bool rtmp);

protected:
    void CloseLocked() override;

private:
    AVDictionary *m_options = nullptr;
    uint8_t m_tcp = 0;
    uint8_t m_rtmp = 0;
};
