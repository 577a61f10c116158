// One picture of a movie: the frame shown at a time, the first frame, or the
// stored cover, as packed RGB at the display size.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <functional>

#include "platform/imaging/Picture.h"
#include "platform/movie/LibraryHandles.h"
#include "platform/movie/MovieDemuxer.h"

namespace corvane::movie {

namespace {

// The library's time unit; its own macro for it is a C compound literal.
constexpr AVRational kMicroseconds{1, AV_TIME_BASE};

constexpr size_t kScalerSlackBytes = 64;

// Decoding threads: enough to use a desktop's cores, few enough that one
// request never floods the machine (each frame thread holds frames of its own).
int decoderThreads() { return std::clamp(av_cpu_count(), 1, 4); }

bool withinPixelLimit(int64_t width, int64_t height) {
  return width > 0 && height > 0 && width <= imaging::kMaxPixels && height <= imaging::kMaxPixels &&
         width * height <= imaging::kMaxPixels;
}

CodecPtr openDecoder(const AVStream& stream) {
  const AVCodecParameters& parameters = *stream.codecpar;
  // A size declared beyond the limit is refused before anything is allocated.
  if ((parameters.width != 0 || parameters.height != 0) &&
      !withinPixelLimit(parameters.width, parameters.height)) {
    return nullptr;
  }
  const AVCodec* decoder = avcodec_find_decoder(parameters.codec_id);
  if (decoder == nullptr || decoder->type != AVMEDIA_TYPE_VIDEO) return nullptr;
  CodecPtr codec(avcodec_alloc_context3(decoder));
  if (!codec || avcodec_parameters_to_context(codec.get(), &parameters) < 0) return nullptr;
  codec->pkt_timebase = stream.time_base;
  // The decoder itself refuses pictures that grow past the limit in the stream.
  codec->max_pixels = imaging::kMaxPixels;
  codec->thread_count = decoderThreads();
  codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return nullptr;
  return codec;
}

std::optional<Frame> toRgb(AVFormatContext& context, AVStream& stream, const AVFrame& frame) {
  int64_t width = frame.width;
  const int64_t height = frame.height;
  const AVRational aspect = av_guess_sample_aspect_ratio(&context, &stream, const_cast<AVFrame*>(&frame));
  if (aspect.num > 0 && aspect.den > 0) {
    width = std::llround(static_cast<double>(width) * aspect.num / aspect.den);
  }
  if (!withinPixelLimit(frame.width, height) || !withinPixelLimit(width, height)) return std::nullopt;
  ScalerPtr scaler(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                                  static_cast<int>(width), static_cast<int>(height), AV_PIX_FMT_RGB24,
                                  SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler) return std::nullopt;
  Frame out;
  out.width = static_cast<int>(width);
  out.height = static_cast<int>(height);
  const auto bytes = static_cast<size_t>(width * height * 3);
  // The converters write whole SIMD words, a few bytes past the last pixel.
  out.rgb.resize(bytes + kScalerSlackBytes);
  uint8_t* planes[4] = {out.rgb.data(), nullptr, nullptr, nullptr};
  int strides[4] = {out.width * 3, 0, 0, 0};
  if (sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, strides) != out.height) {
    return std::nullopt;
  }
  out.rgb.resize(bytes);
  return out;
}

int64_t frameDuration(const AVFrame& frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  return frame.duration;
#else
  return frame.pkt_duration;
#endif
}

// Reads the picture stream only: every other stream's packets are dropped
// by the demuxer unread.
void readOnly(AVFormatContext& context, int stream) {
  for (unsigned i = 0; i < context.nb_streams; ++i) {
    context.streams[i]->discard = static_cast<int>(i) == stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }
}

// Decodes the picture stream from the demuxer's position, one frame at a
// time, within the demuxer's deadline.
class Decoding {
 public:
  Decoding(Movie::Demuxer& demuxer, CodecPtr codec) : demuxer_(demuxer), codec_(std::move(codec)) {}

  enum class Step { Frame, End, Failed };

  // The next decoded frame into frame. skippable tells, per packet, whether
  // its frame may be left undecoded when no other frame refers to it.
  Step next(AVFrame& frame, const std::function<bool(const AVPacket&)>& skippable) {
    for (;;) {
      const int received = avcodec_receive_frame(codec_.get(), &frame);
      if (received == 0) return Step::Frame;
      if (received == AVERROR_EOF) return Step::End;
      if (received != AVERROR(EAGAIN) || demuxer_.overdue()) return Step::Failed;
      if (draining_) return Step::End;
      const int read = av_read_frame(demuxer_.context.get(), packet_.get());
      if (read == AVERROR_EXIT || demuxer_.overdue()) return Step::Failed;
      if (read < 0) {
        draining_ = true;
        avcodec_send_packet(codec_.get(), nullptr);
        continue;
      }
      if (packet_->stream_index == demuxer_.pictureStream) {
        codec_->skip_frame = skippable(*packet_) ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        // A damaged packet costs its own frame only; decoding goes on.
        avcodec_send_packet(codec_.get(), packet_.get());
      }
      av_packet_unref(packet_.get());
    }
  }

  bool ready() const { return packet_ != nullptr; }

  void restart() {
    avcodec_flush_buffers(codec_.get());
    draining_ = false;
  }

 private:
  Movie::Demuxer& demuxer_;
  CodecPtr codec_;
  PacketPtr packet_{av_packet_alloc()};
  bool draining_ = false;
};

}  // namespace

std::optional<Frame> Movie::Demuxer::grab(double seconds) {
  if (pictureStream < 0) return std::nullopt;
  AVStream& stream = *context->streams[pictureStream];
  CodecPtr codec = openDecoder(stream);
  if (!codec) return std::nullopt;
  readOnly(*context, pictureStream);

  // Movie time 0 is the container's start.
  const int64_t startMicros = context->start_time == AV_NOPTS_VALUE ? 0 : context->start_time;
  const auto micros = static_cast<int64_t>(std::llround(seconds * AV_TIME_BASE));
  const int64_t target = av_rescale_q(startMicros + micros, kMicroseconds, stream.time_base);
  const int64_t start = av_rescale_q(startMicros, kMicroseconds, stream.time_base);
  // A frame that ends before the target is only decoded when others refer to it.
  const auto endsBeforeTarget = [target](const AVPacket& packet) {
    return packet.pts != AV_NOPTS_VALUE && packet.duration > 0 && packet.pts + packet.duration <= target;
  };

  Decoding decoding(*this, std::move(codec));
  FramePtr frame(av_frame_alloc());
  FramePtr shown(av_frame_alloc());
  if (!frame || !shown || !decoding.ready()) return std::nullopt;
  bool haveShown = false;
  // Seek to the key frame at or before the target. Some demuxers seek by
  // estimate and land past it; then the stream is decoded from its start.
  bool fromStart = av_seek_frame(context.get(), pictureStream, target, AVSEEK_FLAG_BACKWARD) < 0;
  for (;;) {
    const Decoding::Step step = decoding.next(*frame, endsBeforeTarget);
    if (step == Decoding::Step::Failed) return std::nullopt;
    if (step == Decoding::Step::End) break;
    const int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) continue;  // cannot be placed in time
    if (pts > target) {
      if (haveShown) break;
      if (!fromStart && av_seek_frame(context.get(), pictureStream, start, AVSEEK_FLAG_BACKWARD) >= 0) {
        fromStart = true;
        decoding.restart();
        continue;
      }
      // Before the first frame, the first frame shows.
      return toRgb(*context, stream, *frame);
    }
    av_frame_unref(shown.get());
    av_frame_move_ref(shown.get(), frame.get());
    haveShown = true;
    const int64_t length = frameDuration(*shown);
    if (length > 0 && pts + length > target) break;
  }
  if (!haveShown) return std::nullopt;
  return toRgb(*context, stream, *shown);
}

std::optional<Frame> Movie::Demuxer::firstFrame() {
  if (pictureStream < 0) return std::nullopt;
  AVStream& stream = *context->streams[pictureStream];
  CodecPtr codec = openDecoder(stream);
  if (!codec) return std::nullopt;
  readOnly(*context, pictureStream);
  const int64_t start = context->start_time == AV_NOPTS_VALUE
                            ? 0
                            : av_rescale_q(context->start_time, kMicroseconds, stream.time_base);
  av_seek_frame(context.get(), pictureStream, start, AVSEEK_FLAG_BACKWARD);
  Decoding decoding(*this, std::move(codec));
  FramePtr frame(av_frame_alloc());
  if (!frame || !decoding.ready() ||
      decoding.next(*frame, [](const AVPacket&) { return false; }) != Decoding::Step::Frame) {
    return std::nullopt;
  }
  return toRgb(*context, stream, *frame);
}

std::optional<Frame> Movie::Demuxer::cover() {
  if (coverStream < 0) return std::nullopt;
  AVStream& stream = *context->streams[coverStream];
  CodecPtr codec = openDecoder(stream);
  FramePtr frame(av_frame_alloc());
  if (!codec || !frame) return std::nullopt;
  if (avcodec_send_packet(codec.get(), &stream.attached_pic) < 0) return std::nullopt;
  avcodec_send_packet(codec.get(), nullptr);
  if (avcodec_receive_frame(codec.get(), frame.get()) < 0) return std::nullopt;
  return toRgb(*context, stream, *frame);
}

}  // namespace corvane::movie
