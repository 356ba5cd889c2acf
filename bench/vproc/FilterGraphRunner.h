#pragma once

// A libavfilter graph with buffer sources and one buffer sink, run one output frame at a time: the
// counterpart a user would pick for the work our kernels do.

#include <cstdint>
#include <string>
#include <vector>

struct AVFilterGraph;
struct AVFilterContext;
struct AVFrame;

class CFilterGraphRunner
{
public:
    CFilterGraphRunner() = default;
    ~CFilterGraphRunner();
    CFilterGraphRunner(const CFilterGraphRunner &) = delete;
    CFilterGraphRunner &operator=(const CFilterGraphRunner &) = delete;

    // One source per input frame (its size and format are taken from it; the frames stay the
    // caller's) and the filters, which name the sources [in0], [in1]... and the sink [out].
    // threads: the graph's slice threads. False, with a message, when the graph cannot be built.
    bool Open(const std::vector<AVFrame *> &inputs, const std::string &filters, int threads);
    // Sends every input once and takes one output frame; false on any failure.
    bool RunOnce();

private:
    AVFilterGraph *m_graph = nullptr;
    std::vector<AVFilterContext *> m_sources;
    AVFilterContext *m_sink = nullptr;
    std::vector<AVFrame *> m_inputs;
    AVFrame *m_output = nullptr;
    int64_t m_pts = 0;
};
