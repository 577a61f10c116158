#pragma once

// One owner per kind of handle of the FFmpeg libraries that the platform
// layers use (the movie layer, the audio file wrapper): each frees its
// handle when it goes, on every path.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace corvane::movie {

struct DemuxerClose {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct InputClose {
  void operator()(AVIOContext* io) const { avio_closep(&io); }
};
struct CodecFree {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScalerFree {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
struct ResamplerFree {
  void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};
// A muxer and the output it writes to: the output is closed (what it still
// buffers is written), then the muxer freed.
struct MuxerFree {
  void operator()(AVFormatContext* muxer) const {
    if (muxer->pb != nullptr && !(muxer->oformat->flags & AVFMT_NOFILE)) avio_closep(&muxer->pb);
    avformat_free_context(muxer);
  }
};

using DemuxerPtr = std::unique_ptr<AVFormatContext, DemuxerClose>;
using InputPtr = std::unique_ptr<AVIOContext, InputClose>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFree>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerFree>;
using MuxerPtr = std::unique_ptr<AVFormatContext, MuxerFree>;

}  // namespace corvane::movie
