#pragma once

// Owning handles of the FFmpeg objects the system opens, so every exit path frees them.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>

struct stAvFormatFreer
{
    void operator()(AVFormatContext *context) const { avformat_free_context(context); }
};
struct stAvInputCloser
{
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
// An output context that opened its own file closes it; custom I/O belongs to its maker.
struct stAvOutputCloser
{
    void operator()(AVFormatContext *context) const
    {
        if (!context)
            return;
        if (context->pb && context->oformat && !(context->oformat->flags & AVFMT_NOFILE) &&
            !(context->flags & AVFMT_FLAG_CUSTOM_IO))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
struct stAvCodecFreer
{
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct stAvFrameFreer
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct stAvPacketFreer
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct stSwsFreer
{
    void operator()(SwsContext *context) const { sws_freeContext(context); }
};
// Custom I/O: the context and the buffer it may have replaced.
struct stAvIoFreer
{
    void operator()(AVIOContext *io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct stAvBytesFreer
{
    void operator()(uint8_t *bytes) const { av_free(bytes); }
};

using AvFormatPtr = std::unique_ptr<AVFormatContext, stAvFormatFreer>;
using AvInputPtr = std::unique_ptr<AVFormatContext, stAvInputCloser>;
using AvOutputPtr = std::unique_ptr<AVFormatContext, stAvOutputCloser>;
using AvCodecPtr = std::unique_ptr<AVCodecContext, stAvCodecFreer>;
using AvFramePtr = std::unique_ptr<AVFrame, stAvFrameFreer>;
using AvPacketPtr = std::unique_ptr<AVPacket, stAvPacketFreer>;
using SwsPtr = std::unique_ptr<SwsContext, stSwsFreer>;
using AvIoPtr = std::unique_ptr<AVIOContext, stAvIoFreer>;
using AvBytesPtr = std::unique_ptr<uint8_t, stAvBytesFreer>;
