#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

// A media file read and written out again as a stream (a test server's session, a publisher's
// connection): the two contexts, closed in order when it goes.
struct stStreamCopySession
{
    AVFormatContext *in = nullptr;
    AVFormatContext *out = nullptr;
    bool headerWritten = false;

    stStreamCopySession() = default;
    stStreamCopySession(const stStreamCopySession &) = delete;
    stStreamCopySession &operator=(const stStreamCopySession &) = delete;
    ~stStreamCopySession()
    {
        if (out) {
            if (headerWritten)
                av_write_trailer(out);
            if (out->pb)
                avio_closep(&out->pb);
            avformat_free_context(out);
        }
        avformat_close_input(&in);
    }
};
