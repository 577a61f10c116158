#include "platform/audio/RZExtAudioFile.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "media/Log.h"
#include "media/PathNames.h"
#include "platform/file/FileDescriptor.h"
#include "platform/file/InputFile.h"
#include "platform/movie/LibraryHandles.h"
#include "platform/movie/Movie.h"

namespace corvane::audio {
namespace {

using movie::CodecPtr;
using movie::FramePtr;
using movie::MuxerPtr;
using movie::PacketPtr;
using movie::ResamplerPtr;

// A file declaring more channels, or a rate beyond this, is not audio we
// make buffers for.
constexpr int kMaxChannels = 64;
constexpr int kMaxSampleRate = 768000;
// AAC carries at most eight channels.
constexpr int kMaxEncodedChannels = 8;
constexpr uint32_t kDefaultBitRate = 128000;
// Frame threads of the decoder: the packets in flight that keep decoding
// ahead of the caller's encoding, also when a busy machine is slow to
// schedule them (measured: two left the encoder waiting, four did not).
constexpr int kDecoderThreads = 4;
// Resampler calls take an int count of frames.
constexpr size_t kFramesPerStep = 1 << 16;

constexpr const char* kOpenFail = "ExtAudioFileOpenURL fail";
constexpr const char* kCreateFail = "ExtAudioFileCreateWithURL fail";
constexpr const char* kLengthFail = "ExtAudioFileGetProperty (kExtAudioFileProperty_FileLengthFrames) fail";
constexpr const char* kClientFail = "ExtAudioFileSetProperty (kExtAudioFileProperty_ClientDataFormat) fail";
constexpr const char* kBitRateFail = "ExtAudioFileSetProperty (kAudioConverterEncodeBitRate) fail";
constexpr const char* kReadFail = "ExtAudioFileRead fail";
constexpr const char* kWriteFail = "ExtAudioFileWrite () error";

void logFailure(const char* what, long status) { log::line(log::format("%s %ld", what, status)); }

std::optional<int> wholeRate(double rate) {
  if (!std::isfinite(rate) || rate < 1 || rate > kMaxSampleRate) return std::nullopt;
  return static_cast<int>(std::lround(rate));
}

// The formats the wrapper converts to and from: interleaved 32-bit float in
// the machine's byte order, `channels` channels, any rate it handles.
bool convertibleClientFormat(const AudioStreamDescription& f, uint32_t channels) {
  return f.formatID == kFormatLinearPCM && (f.formatFlags & kFormatFlagIsFloat) &&
         !(f.formatFlags & (kFormatFlagIsBigEndian | kFormatFlagIsNonInterleaved)) &&
         f.bitsPerChannel == 32 && f.channelsPerFrame == channels && f.bytesPerFrame == 4 * channels &&
         f.framesPerPacket == 1 && f.bytesPerPacket == f.bytesPerFrame && wholeRate(f.sampleRate).has_value();
}

// given when it is a known arrangement of `channels` channels, else the
// usual arrangement of that many.
AVChannelLayout layoutFor(const AVChannelLayout& given, int channels) {
  AVChannelLayout layout{};
  if (given.order == AV_CHANNEL_ORDER_NATIVE && given.nb_channels == channels) {
    av_channel_layout_from_mask(&layout, given.u.mask);
  } else {
    av_channel_layout_default(&layout, channels);
  }
  return layout;
}

// The layouts are copies: the library takes them as changeable.
ResamplerPtr makeResampler(AVChannelLayout outLayout, AVSampleFormat outFormat, int outRate,
                           AVChannelLayout inLayout, AVSampleFormat inFormat, int inRate) {
  SwrContext* raw = nullptr;
  if (swr_alloc_set_opts2(&raw, &outLayout, outFormat, outRate, &inLayout, inFormat, inRate, 0, nullptr) <
      0) {
    return nullptr;
  }
  ResamplerPtr resampler(raw);
  if (swr_init(raw) < 0) return nullptr;
  return resampler;
}

// Float samples waiting to be handed on: one interleaved plane, or one plane
// per channel. `start` samples of each plane are already used.
struct Planes {
  std::vector<std::vector<float>> planes;
  size_t floatsPerFrame = 1;
  size_t start = 0;

  size_t frames() const { return (planes[0].size() - start) / floatsPerFrame; }
  void compact() {
    for (auto& plane : planes) plane.erase(plane.begin(), plane.begin() + static_cast<long>(start));
    start = 0;
  }
};

// Runs frames of in through resampler (none: what it still holds) onto the
// end of out; the number of frames added, negative on failure.
int resampleInto(SwrContext* resampler, const uint8_t* const* in, int frames, int outRate, Planes& out) {
  int64_t room = swr_get_out_samples(resampler, frames);
  if (in == nullptr) room = std::max<int64_t>(room, swr_get_delay(resampler, outRate) + 1);
  if (room <= 0) return static_cast<int>(room);
  room = std::min<int64_t>(room, INT32_MAX / 64);
  std::vector<uint8_t*> targets;
  std::vector<size_t> used;
  for (auto& plane : out.planes) {
    used.push_back(plane.size());
    plane.resize(plane.size() + static_cast<size_t>(room) * out.floatsPerFrame);
    targets.push_back(reinterpret_cast<uint8_t*>(plane.data() + used.back()));
  }
  const int got = swr_convert(resampler, targets.data(), static_cast<int>(room),
                              const_cast<const uint8_t**>(in), in ? frames : 0);
  for (size_t i = 0; i < out.planes.size(); ++i) {
    out.planes[i].resize(used[i] + static_cast<size_t>(std::max(got, 0)) * out.floatsPerFrame);
  }
  return got;
}

bool isPcm(AVCodecID id) { return id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT; }

AudioStreamDescription describe(const AVCodecParameters& codec, std::optional<FourCC> code) {
  AudioStreamDescription d;
  d.sampleRate = codec.sample_rate;
  d.channelsPerFrame = static_cast<uint32_t>(codec.ch_layout.nb_channels);
  if (!isPcm(codec.codec_id)) {
    d.formatID = code.value_or(0);
    d.framesPerPacket = static_cast<uint32_t>(std::max(codec.frame_size, 0));
    return d;
  }
  // The coding's name says it all: pcm_s16le, pcm_f32be, pcm_u8...
  const std::string name = avcodec_get_name(codec.codec_id);
  const char kind = name.size() > 4 ? name[4] : 's';
  d.formatID = kFormatLinearPCM;
  d.formatFlags =
      kFormatFlagIsPacked | (kind == 'f' ? kFormatFlagIsFloat : 0) |
      (kind == 's' ? kFormatFlagIsSignedInteger : 0) |
      (name.size() > 2 && name.compare(name.size() - 2, 2, "be") == 0 ? kFormatFlagIsBigEndian : 0);
  d.bitsPerChannel = static_cast<uint32_t>(av_get_bits_per_sample(codec.codec_id));
  d.bytesPerFrame = d.bitsPerChannel / 8 * d.channelsPerFrame;
  d.bytesPerPacket = d.bytesPerFrame;
  d.framesPerPacket = 1;
  return d;
}

// The stream's length in frames of rate; none when the file does not say.
std::optional<int64_t> lengthOf(const AVFormatContext& context, const AVStream& stream, int rate) {
  if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0) {
    return av_rescale_q(stream.duration, stream.time_base, AVRational{1, rate});
  }
  if (context.duration != AV_NOPTS_VALUE && context.duration > 0) {
    return av_rescale(context.duration, rate, AV_TIME_BASE);
  }
  return std::nullopt;
}

}  // namespace

// ---- reading ------------------------------------------------------------

struct RZExtAudioFile::Reader {
  std::optional<movie::Movie> movie;
  AVFormatContext* demuxer = nullptr;  // the movie's
  AVStream* stream = nullptr;
  CodecPtr decoder;
  PacketPtr packet{av_packet_alloc()};
  FramePtr frame{av_frame_alloc()};
  ResamplerPtr resampler;
  // What the resampler was made for.
  int inFormat = -1;
  int inRate = 0;
  int inChannels = 0;
  Planes pending;  // decoded client frames not yet read
  bool ended = false;
  AudioStreamDescription fileFormat;
  std::optional<int64_t> length;

  long open(const std::string& path);
  long fill(size_t frames, const AudioStreamDescription& client);
  long convert(const AVFrame* decoded, const AudioStreamDescription& client);
};

long RZExtAudioFile::Reader::open(const std::string& path) {
  const auto file = file::InputFile::open(path);
  if (!file) return kAudioFileNotFound;
  movie::OpenResult opened = movie::Movie::open(*file, media::lastPathComponent(path));
  if (!opened.movie) return opened.error ? kAudioFileDamaged : kAudioFileNotAudio;
  movie = std::move(opened.movie);
  const auto& tracks = movie->tracks();
  const auto sound = std::find_if(tracks.begin(), tracks.end(),
                                  [](const movie::Track& t) { return t.mediaType == movie::kMediaSound; });
  if (sound == tracks.end()) return kAudioFileNotAudio;
  demuxer = movie->libraryContext();
  stream = demuxer->streams[movie->libraryStream(static_cast<size_t>(sound - tracks.begin()))];
  for (unsigned i = 0; i < demuxer->nb_streams; ++i) {
    demuxer->streams[i]->discard = demuxer->streams[i] == stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }

  const AVCodecParameters& codec = *stream->codecpar;
  if (codec.ch_layout.nb_channels < 1 || codec.ch_layout.nb_channels > kMaxChannels ||
      !wholeRate(codec.sample_rate)) {
    return kAudioFileUnsupported;
  }
  const AVCodec* found = avcodec_find_decoder(codec.codec_id);
  if (found == nullptr) return kAudioFileUnsupported;
  decoder.reset(avcodec_alloc_context3(found));
  if (!decoder || !packet || !frame || avcodec_parameters_to_context(decoder.get(), &codec) < 0) {
    return kAudioFileUnsupported;
  }
  decoder->pkt_timebase = stream->time_base;
  // Where the coding allows it, the next packets decode on threads of the
  // library's while the caller works on the frames read so far.
  decoder->thread_count = kDecoderThreads;
  decoder->thread_type = FF_THREAD_FRAME;
  if (avcodec_open2(decoder.get(), found, nullptr) < 0) return kAudioFileDamaged;
  fileFormat = describe(codec, sound->dataFormat);
  length = lengthOf(*demuxer, *stream, codec.sample_rate);
  pending.planes.resize(1);
  pending.floatsPerFrame = static_cast<size_t>(codec.ch_layout.nb_channels);
  return 0;
}

// Appends decoded (none: what the resampler still holds) to pending, in the
// client's format. The resampler is made again when the decoded format
// changes in the middle of a stream.
long RZExtAudioFile::Reader::convert(const AVFrame* decoded, const AudioStreamDescription& client) {
  const int outRate = *wholeRate(client.sampleRate);
  if (decoded != nullptr && (!resampler || decoded->format != inFormat || decoded->sample_rate != inRate ||
                             decoded->ch_layout.nb_channels != inChannels)) {
    const int channels = decoded->ch_layout.nb_channels;
    if (channels < 1 || channels > kMaxChannels || decoded->sample_rate <= 0) return kAudioFileDamaged;
    const AVChannelLayout in = layoutFor(decoded->ch_layout, channels);
    const AVChannelLayout out = layoutFor(decoded->ch_layout, static_cast<int>(client.channelsPerFrame));
    resampler = makeResampler(out, AV_SAMPLE_FMT_FLT, outRate, in,
                              static_cast<AVSampleFormat>(decoded->format), decoded->sample_rate);
    if (!resampler) return kAudioFileUnsupported;
    inFormat = decoded->format;
    inRate = decoded->sample_rate;
    inChannels = channels;
  }
  if (!resampler) return 0;  // nothing was ever decoded
  for (;;) {
    const int got = resampleInto(resampler.get(), decoded ? decoded->extended_data : nullptr,
                                 decoded ? decoded->nb_samples : 0, outRate, pending);
    if (got < 0) return kAudioFileDamaged;
    if (decoded != nullptr || got == 0) return 0;
  }
}

// Decodes until pending holds frames client frames or the stream has ended.
long RZExtAudioFile::Reader::fill(size_t frames, const AudioStreamDescription& client) {
  while (pending.frames() < frames && !ended) {
    const int received = avcodec_receive_frame(decoder.get(), frame.get());
    if (received == 0) {
      const long status = convert(frame.get(), client);
      av_frame_unref(frame.get());
      if (status != 0) return status;
      continue;
    }
    if (received == AVERROR_EOF) {
      ended = true;
      return convert(nullptr, client);
    }
    if (received != AVERROR(EAGAIN)) return kAudioFileDamaged;
    // The decoder wants another packet of the track.
    movie->restartDeadline();
    const int read = av_read_frame(demuxer, packet.get());
    if (read == AVERROR_EOF) {
      if (avcodec_send_packet(decoder.get(), nullptr) < 0) return kAudioFileDamaged;
      continue;
    }
    if (read < 0) return kAudioFileDamaged;
    const int sent =
        packet->stream_index == stream->index ? avcodec_send_packet(decoder.get(), packet.get()) : 0;
    av_packet_unref(packet.get());
    if (sent < 0) return kAudioFileDamaged;
  }
  return 0;
}

// ---- writing ------------------------------------------------------------

struct RZExtAudioFile::Writer {
  file::FileDescriptor file;
  MuxerPtr muxer;
  AVStream* stream = nullptr;
  CodecPtr encoder;
  uint32_t bitRate = kDefaultBitRate;
  AudioStreamDescription fileFormat;
  ResamplerPtr resampler;  // client frames to the encoder's planes
  Planes planes;           // frames waiting for a whole encoder frame
  FramePtr frame{av_frame_alloc()};
  PacketPtr packet{av_packet_alloc()};
  int64_t nextPts = 0;
  int64_t framesIn = 0;  // at the file's rate
  bool headerWritten = false;
  bool finished = false;
  bool complete = false;

  long openEncoder(int rate, int channels);
  long create(const std::string& path, FourCC fileType, const AudioStreamDescription& format);
  long writeHeader();
  long write(const uint8_t* data, size_t frames, const AudioStreamDescription& client);
  long encode(bool last);
  long drainPackets();
  long finish();
};

long RZExtAudioFile::Writer::openEncoder(int rate, int channels) {
  const AVCodec* aac = avcodec_find_encoder_by_name("aac");
  if (aac == nullptr) return kAudioFileUnsupported;
  CodecPtr codec(avcodec_alloc_context3(aac));
  if (!codec) return kAudioFileUnsupported;
  codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  codec->sample_rate = rate;
  codec->bit_rate = bitRate;
  codec->time_base = AVRational{1, rate};
  codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the M4A sample description carries it
  // The first arrangement of that many channels the encoder offers, if it
  // lists them.
  for (const AVChannelLayout* layout = aac->ch_layouts; layout && layout->nb_channels; ++layout) {
    if (layout->nb_channels == channels) {
      av_channel_layout_copy(&codec->ch_layout, layout);
      break;
    }
  }
  if (codec->ch_layout.nb_channels != channels) av_channel_layout_default(&codec->ch_layout, channels);
  if (avcodec_open2(codec.get(), aac, nullptr) < 0) return kAudioFileUnsupported;
  encoder = std::move(codec);
  return 0;
}

long RZExtAudioFile::Writer::create(const std::string& path, FourCC fileType,
                                    const AudioStreamDescription& format) {
  const auto rate = wholeRate(format.sampleRate);
  const int channels = static_cast<int>(std::min<uint32_t>(format.channelsPerFrame, INT32_MAX));
  if (fileType != kFileTypeM4A || format.formatID != kFormatMPEG4AAC || !rate || channels < 1 ||
      channels > kMaxEncodedChannels || !frame || !packet) {
    return kAudioFileUnsupported;
  }
  // Checked before the file is made, so a refused format leaves it alone.
  if (const long status = openEncoder(*rate, channels); status != 0) return status;

  // Non-blocking, so a FIFO in the way fails rather than waits.
  file = file::FileDescriptor(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666));
  struct stat st {};
  if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kAudioFileCannotCreate;

  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "ipod", nullptr) < 0) return kAudioFileUnsupported;
  muxer.reset(raw);
  stream = avformat_new_stream(raw, nullptr);
  const std::string url = "file:/proc/self/fd/" + std::to_string(file.get());
  if (stream == nullptr || avio_open2(&raw->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr) < 0) {
    return kAudioFileCannotCreate;
  }
  fileFormat = format;
  planes.planes.resize(static_cast<size_t>(channels));
  return 0;
}

long RZExtAudioFile::Writer::writeHeader() {
  if (headerWritten) return 0;
  headerWritten = true;
  stream->time_base = encoder->time_base;
  if (avcodec_parameters_from_context(stream->codecpar, encoder.get()) < 0 ||
      avformat_write_header(muxer.get(), nullptr) < 0) {
    return kAudioFileWriteFailed;
  }
  return 0;
}

long RZExtAudioFile::Writer::drainPackets() {
  for (;;) {
    const int got = avcodec_receive_packet(encoder.get(), packet.get());
    if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return 0;
    if (got < 0) return kAudioFileWriteFailed;
    av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
    packet->stream_index = stream->index;
    const int written = av_write_frame(muxer.get(), packet.get());
    av_packet_unref(packet.get());
    if (written < 0) return kAudioFileWriteFailed;
  }
}

// Encodes every whole encoder frame waiting (and with last, the rest, then
// drains the encoder).
long RZExtAudioFile::Writer::encode(bool last) {
  const auto size = static_cast<size_t>(encoder->frame_size > 0 ? encoder->frame_size : 1024);
  while (planes.frames() >= size || (last && planes.frames() > 0)) {
    const size_t count = std::min(size, planes.frames());
    frame->nb_samples = static_cast<int>(size);
    if (frame->buf[0] == nullptr) {
      frame->format = encoder->sample_fmt;
      frame->sample_rate = encoder->sample_rate;
      if (av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout) < 0 ||
          av_frame_get_buffer(frame.get(), 0) < 0) {
        return kAudioFileWriteFailed;
      }
    }
    // The encoder may still hold the previous frame's buffer.
    if (av_frame_make_writable(frame.get()) < 0) return kAudioFileWriteFailed;
    frame->nb_samples = static_cast<int>(count);
    for (size_t c = 0; c < planes.planes.size(); ++c) {
      std::memcpy(frame->data[c], planes.planes[c].data() + planes.start, count * sizeof(float));
    }
    planes.start += count;
    frame->pts = nextPts;
    nextPts += static_cast<int64_t>(count);
    if (avcodec_send_frame(encoder.get(), frame.get()) < 0) return kAudioFileWriteFailed;
    if (const long status = drainPackets(); status != 0) return status;
  }
  planes.compact();
  if (!last) return 0;
  if (avcodec_send_frame(encoder.get(), nullptr) < 0) return kAudioFileWriteFailed;
  return drainPackets();
}

long RZExtAudioFile::Writer::write(const uint8_t* data, size_t frames, const AudioStreamDescription& client) {
  if (const long status = writeHeader(); status != 0) return status;
  const int clientRate = *wholeRate(client.sampleRate);
  if (!resampler) {
    const AVChannelLayout layout = encoder->ch_layout;
    resampler = makeResampler(layout, AV_SAMPLE_FMT_FLTP, encoder->sample_rate, layout, AV_SAMPLE_FMT_FLT,
                              clientRate);
    if (!resampler) return kAudioFileUnsupported;
  }
  const size_t frameBytes = 4 * client.channelsPerFrame;
  for (size_t done = 0; done < frames;) {
    const size_t step = std::min(kFramesPerStep, frames - done);
    const uint8_t* in = data + done * frameBytes;
    const int got = resampleInto(resampler.get(), &in, static_cast<int>(step), encoder->sample_rate, planes);
    if (got < 0) return kAudioFileWriteFailed;
    framesIn += got;
    done += step;
    if (const long status = encode(false); status != 0) return status;
  }
  return 0;
}

long RZExtAudioFile::Writer::finish() {
  finished = true;
  long status = writeHeader();
  if (status == 0 && resampler) {
    // What the resampler still holds.
    for (int got = 1; status == 0 && got > 0;) {
      got = resampleInto(resampler.get(), nullptr, 0, encoder->sample_rate, planes);
      if (got < 0) status = kAudioFileWriteFailed;
      framesIn += std::max(got, 0);
    }
  }
  if (status == 0) status = encode(true);
  if (status == 0 && av_write_trailer(muxer.get()) < 0) status = kAudioFileWriteFailed;
  if (avio_closep(&muxer->pb) < 0 && status == 0) status = kAudioFileWriteFailed;
  if (!file.close() && status == 0) status = kAudioFileWriteFailed;
  complete = status == 0;
  return status;
}

// ---- the wrapper ----------------------------------------------------------

RZExtAudioFile::RZExtAudioFile(double sampleRate, uint32_t channels, std::string filename)
    : sampleRate_(sampleRate), numberChannels_(channels), filename_(std::move(filename)) {
  client_ = canonicalDataFormat();
}

RZExtAudioFile::~RZExtAudioFile() { finish(); }

void RZExtAudioFile::fail(long status, const char* what) {
  err_ = status;
  logFailure(what, status);
}

std::unique_ptr<RZExtAudioFile> RZExtAudioFile::openFile(const std::string& path, long* status) {
  auto reader = std::make_unique<Reader>();
  const long opened = reader->open(path);
  if (status != nullptr) *status = opened;
  if (opened != 0) {
    logFailure(kOpenFail, opened);
    return nullptr;
  }
  const AVCodecParameters& codec = *reader->stream->codecpar;
  std::unique_ptr<RZExtAudioFile> file(new RZExtAudioFile(
      codec.sample_rate, static_cast<uint32_t>(codec.ch_layout.nb_channels), media::lastPathComponent(path)));
  file->reader_ = std::move(reader);
  return file;
}

std::unique_ptr<RZExtAudioFile> RZExtAudioFile::createFile(const std::string& path, FourCC fileType,
                                                           const AudioStreamDescription& format,
                                                           long* status) {
  auto writer = std::make_unique<Writer>();
  const long created = writer->create(path, fileType, format);
  if (status != nullptr) *status = created;
  if (created != 0) {
    logFailure(kCreateFail, created);
    return nullptr;
  }
  std::unique_ptr<RZExtAudioFile> file(
      new RZExtAudioFile(format.sampleRate, format.channelsPerFrame, media::lastPathComponent(path)));
  file->writer_ = std::move(writer);
  return file;
}

AudioStreamDescription RZExtAudioFile::fileDataFormat() {
  err_ = 0;
  return reader_ ? reader_->fileFormat : writer_->fileFormat;
}

int64_t RZExtAudioFile::totalFrame() {
  if (writer_) {
    err_ = 0;
    return writer_->framesIn;
  }
  if (!reader_->length) {
    fail(kAudioFileDamaged, kLengthFail);
    return 0;
  }
  err_ = 0;
  return *reader_->length;
}

AudioStreamDescription RZExtAudioFile::clientDataFormat() {
  err_ = 0;
  return client_;
}

void RZExtAudioFile::setClientDataFormat(const AudioStreamDescription& format) {
  if (started_ || (writer_ && writer_->finished)) return fail(kAudioFileNotPermitted, kClientFail);
  if (!convertibleClientFormat(format, numberChannels_)) return fail(kAudioFileUnsupported, kClientFail);
  client_ = format;
  err_ = 0;
}

AudioStreamDescription RZExtAudioFile::canonicalDataFormat() const {
  AudioStreamDescription d;
  d.sampleRate = sampleRate_;
  d.formatID = kFormatLinearPCM;
  d.formatFlags = kFormatFlagIsFloat | kFormatFlagIsPacked;
  d.bytesPerPacket = 4 * numberChannels_;
  d.framesPerPacket = 1;
  d.bytesPerFrame = 4 * numberChannels_;
  d.channelsPerFrame = numberChannels_;
  d.bitsPerChannel = 32;
  return d;
}

void RZExtAudioFile::setBitRate(uint32_t bitsPerSecond) {
  if (!writer_ || writer_->headerWritten) return fail(kAudioFileNotPermitted, kBitRateFail);
  const uint32_t before = writer_->bitRate;
  writer_->bitRate = bitsPerSecond;
  const long status =
      writer_->openEncoder(writer_->encoder->sample_rate, writer_->encoder->ch_layout.nb_channels);
  if (status != 0) {
    writer_->bitRate = before;  // the encoder made before stays
    return fail(status, kBitRateFail);
  }
  err_ = 0;
}

media::Bytes RZExtAudioFile::readFrames(uint32_t frames) {
  frames = std::min(frames, kMaxFramesPerRead);
  const size_t frameBytes = 4 * static_cast<size_t>(numberChannels_);
  if (!reader_) {
    fail(kAudioFileNotPermitted, kReadFail);
    return media::Bytes(frames * frameBytes);
  }
  started_ = true;
  Planes& pending = reader_->pending;
  pending.compact();
  if (const long status = reader_->fill(frames, client_); status != 0) {
    fail(status, kReadFail);
    return media::Bytes(frames * frameBytes);
  }
  const size_t count = std::min<size_t>(frames, pending.frames());
  media::Bytes out(count * frameBytes);
  if (count > 0) std::memcpy(out.data(), pending.planes[0].data() + pending.start, out.size());
  pending.start += count * pending.floatsPerFrame;
  err_ = 0;
  return out;
}

void RZExtAudioFile::writeData(media::ByteSpan data) {
  const size_t frameBytes = 4 * static_cast<size_t>(numberChannels_);
  const size_t frames = frameBytes == 0 ? 0 : data.size() / frameBytes;
  if (frames == 0) return;
  if (!writer_ || writer_->finished) return fail(kAudioFileNotPermitted, kWriteFail);
  started_ = true;
  if (const long status = writer_->write(data.data(), frames, client_); status != 0) {
    return fail(status, kWriteFail);
  }
  err_ = 0;
}

bool RZExtAudioFile::finish() {
  if (!writer_) return true;
  if (writer_->finished) return writer_->complete;
  if (const long status = writer_->finish(); status != 0) {
    fail(status, kWriteFail);
    return false;
  }
  err_ = 0;
  return true;
}

}  // namespace corvane::audio
