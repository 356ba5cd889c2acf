#include "FilterGraphRunner.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <cstdio>

CFilterGraphRunner::~CFilterGraphRunner()
{
    av_frame_free(&m_output);
    avfilter_graph_free(&m_graph);
}

bool CFilterGraphRunner::Open(const std::vector<AVFrame *> &inputs, const std::string &filters, int threads)
{
    m_graph = avfilter_graph_alloc();
    m_output = av_frame_alloc();
    if (!m_graph || !m_output)
        return false;
    m_graph->nb_threads = threads;
    AVFilterInOut *outputs = nullptr;
    for (size_t i = inputs.size(); i-- > 0;) {
        const AVFrame *frame = inputs[i];
        char args[256];
        std::snprintf(args, sizeof(args), "video_size=%dx%d:pix_fmt=%d:time_base=1/30:pixel_aspect=1/1", frame->width,
                      frame->height, frame->format);
        AVFilterContext *source = nullptr;
        const std::string name = "in" + std::to_string(i);
        if (avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), name.c_str(), args, nullptr,
                                         m_graph) < 0)
            return false;
        m_sources.insert(m_sources.begin(), source);
        AVFilterInOut *link = avfilter_inout_alloc();
        link->name = av_strdup(name.c_str());
        link->filter_ctx = source;
        link->pad_idx = 0;
        link->next = outputs;
        outputs = link;
    }
    if (avfilter_graph_create_filter(&m_sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, m_graph) < 0)
        return false;
    AVFilterInOut *sinkIn = avfilter_inout_alloc();
    sinkIn->name = av_strdup("out");
    sinkIn->filter_ctx = m_sink;
    sinkIn->pad_idx = 0;
    sinkIn->next = nullptr;
    const int parsed = avfilter_graph_parse_ptr(m_graph, filters.c_str(), &sinkIn, &outputs, nullptr);
    avfilter_inout_free(&sinkIn);
    avfilter_inout_free(&outputs);
    if (parsed < 0 || avfilter_graph_config(m_graph, nullptr) < 0) {
        std::fprintf(stderr, "filter graph \"%s\" cannot be built\n", filters.c_str());
        return false;
    }
    m_inputs = inputs;
    return true;
}

bool CFilterGraphRunner::RunOnce()
{
    for (size_t i = 0; i < m_sources.size(); ++i) {
        m_inputs[i]->pts = m_pts;
        if (av_buffersrc_add_frame_flags(m_sources[i], m_inputs[i], AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
            return false;
    }
    ++m_pts;
    // A filter that syncs several inputs may hold the first frame until the next one comes.
    const int got = av_buffersink_get_frame(m_sink, m_output);
    if (got == AVERROR(EAGAIN))
        return m_pts == 1;
    if (got < 0)
        return false;
    av_frame_unref(m_output);
    return true;
}
