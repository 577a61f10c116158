#include "platform/audio/AudioStreams.h"

#include <FLAC/stream_decoder.h>
#include <ogg/ogg.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/file/InputFile.h"

namespace corvane::audio {

namespace {

std::atomic<bool> gStarted{false};
std::atomic<uint64_t> gOpenCalls{0};
thread_local int tLastError = kOk;

// What a stream is: measured once, when it is opened.
struct Stream {
  uint32_t rate = 0;
  uint32_t channels = 0;
  uint64_t frames = 0;
};
constexpr uint64_t kBytesPerSample = 2;

std::mutex gStreamsMutex;
std::map<StreamHandle, Stream> gStreams;
StreamHandle gNextHandle = 1;

// Measuring an Ogg file is bounded by this deadline.
constexpr std::chrono::milliseconds kMeasureDeadline{5000};
constexpr size_t kIoBufferBytes = 64 * 1024;

// Records code as this thread's last error; the failure value of handles.
StreamHandle fail(int code) {
  tLastError = code;
  return 0;
}

// The bytes of one stream: a window [begin, end) of an open file or of
// memory, read through a cursor.
class Source {
 public:
  // none, with error set, when the file cannot be opened or the window lies
  // outside it.
  static std::optional<Source> open(bool fromMemory, const void* file, uint64_t offset, uint64_t length,
                                    int& error) {
    Source source;
    uint64_t size = length;
    if (!fromMemory) {
      source.file_ = file::InputFile::open(static_cast<const char*>(file));
      if (!source.file_) {
        error = kErrorFileOpen;
        return std::nullopt;
      }
      const uint64_t fileSize = source.file_->size();
      const bool fits = offset <= fileSize && length <= fileSize - offset;
      size = length == 0 || !fits ? fileSize : offset + length;
      if (!fits) offset = fileSize + 1;  // refused below
    } else {
      source.memory_ = static_cast<const uint8_t*>(file);
    }
    if (offset > size) {
      error = kErrorParameter;
      return std::nullopt;
    }
    source.begin_ = offset;
    source.end_ = size;
    return source;
  }

  uint64_t size() const { return end_ - begin_; }
  uint64_t tell() const { return position_; }
  bool atEnd() const { return position_ >= size(); }

  size_t read(void* out, size_t count) {
    count = static_cast<size_t>(std::min<uint64_t>(count, size() - std::min(position_, size())));
    if (count == 0) return 0;
    if (memory_ != nullptr) {
      std::memcpy(out, memory_ + begin_ + position_, count);
    } else if (!file_->readAt(begin_ + position_, out, count)) {
      return 0;
    }
    position_ += count;
    return count;
  }

  // whence as fseek takes it; false (position unchanged) outside the window.
  bool seek(int64_t offset, int whence) {
    const int64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<int64_t>(position_)
                                              : static_cast<int64_t>(size());
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return false;
    const auto target = static_cast<uint64_t>(base + offset);
    if (target > size()) return false;
    position_ = target;
    return true;
  }

 private:
  std::optional<file::InputFile> file_;
  const uint8_t* memory_ = nullptr;
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
  uint64_t position_ = 0;
};

// ---- FLAC, through libFLAC ------------------------------------------------

struct FlacDecoderDelete {
  void operator()(FLAC__StreamDecoder* decoder) const { FLAC__stream_decoder_delete(decoder); }
};

struct FlacReading {
  Source& source;
  std::optional<Stream> stream;
};

FLAC__StreamDecoderReadStatus flacRead(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                       void* data) {
  Source& source = static_cast<FlacReading*>(data)->source;
  *bytes = source.read(buffer, *bytes);
  return *bytes == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                     : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus flacSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* data) {
  const bool moved = offset <= INT64_MAX &&
                     static_cast<FlacReading*>(data)->source.seek(static_cast<int64_t>(offset), SEEK_SET);
  return moved ? FLAC__STREAM_DECODER_SEEK_STATUS_OK : FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
}

FLAC__StreamDecoderTellStatus flacTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* data) {
  *offset = static_cast<FlacReading*>(data)->source.tell();
  return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus flacLength(const FLAC__StreamDecoder*, FLAC__uint64* length, void* data) {
  *length = static_cast<FlacReading*>(data)->source.size();
  return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool flacEof(const FLAC__StreamDecoder*, void* data) {
  return static_cast<FlacReading*>(data)->source.atEnd();
}

FLAC__StreamDecoderWriteStatus flacWrite(const FLAC__StreamDecoder*, const FLAC__Frame*,
                                         const FLAC__int32* const[], void*) {
  return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;  // only the header is read
}

void flacMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* data) {
  if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
  const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
  static_cast<FlacReading*>(data)->stream = Stream{info.sample_rate, info.channels, info.total_samples};
}

void flacError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {}

// The stream information block, which comes first; none when the bytes are
// not FLAC or the block states no length.
std::optional<Stream> readFlacStreamInfo(Source& source) {
  // Anything else would send the decoder hunting for a frame through the
  // whole file.
  char magic[4] = {};
  const bool flac =
      source.read(magic, 4) == 4 && (std::memcmp(magic, "fLaC", 4) == 0 || std::memcmp(magic, "ID3", 3) == 0);
  if (!flac || !source.seek(0, SEEK_SET)) return std::nullopt;
  std::unique_ptr<FLAC__StreamDecoder, FlacDecoderDelete> decoder(FLAC__stream_decoder_new());
  if (!decoder) return std::nullopt;
  FlacReading reading{source, std::nullopt};
  if (FLAC__stream_decoder_init_stream(decoder.get(), flacRead, flacSeek, flacTell, flacLength, flacEof,
                                       flacWrite, flacMetadata, flacError,
                                       &reading) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
    return std::nullopt;
  }
  // One block at a time, so that pictures and tags after it are never read.
  while (!reading.stream) {
    if (!FLAC__stream_decoder_process_single(decoder.get())) break;
    const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder.get());
    if (state != FLAC__STREAM_DECODER_SEARCH_FOR_METADATA && state != FLAC__STREAM_DECODER_READ_METADATA)
      break;
  }
  FLAC__stream_decoder_finish(decoder.get());
  // A header written before the length was known states none.
  if (reading.stream && reading.stream->frames == 0) return std::nullopt;
  return reading.stream;
}

// ---- Ogg Vorbis, through libogg ---------------------------------------------

constexpr size_t kPageChunkBytes = 64 * 1024;  // also more than the largest page (65307 bytes)
constexpr size_t kLastPageGuessBytes = 8 * 1024;
// A file of more logical streams than this is no music file.
constexpr size_t kMaxLogicalStreams = 1024;

// Visits the Ogg pages from offset on, in order, reading a chunk at a time,
// until visit returns false, the bytes end or the deadline passes.
template <typename Visit>
void walkPages(Source& source, uint64_t offset, std::chrono::steady_clock::time_point deadline, Visit visit) {
  ogg_sync_state sync;
  ogg_sync_init(&sync);
  bool more = source.seek(static_cast<int64_t>(offset), SEEK_SET);
  while (more && std::chrono::steady_clock::now() < deadline) {
    ogg_page page;
    int found = 0;
    while (more && (found = ogg_sync_pageseek(&sync, &page)) != 0) {
      more = found < 0 || visit(page);  // found < 0: bytes skipped up to the next page
    }
    char* buffer = more ? ogg_sync_buffer(&sync, static_cast<long>(kPageChunkBytes)) : nullptr;
    const size_t got = buffer != nullptr ? source.read(buffer, kPageChunkBytes) : 0;
    more = got > 0 && ogg_sync_wrote(&sync, static_cast<long>(got)) == 0;
  }
  ogg_sync_clear(&sync);
}

// The rate and channels of a Vorbis identification header (packet type 1,
// "vorbis", version 0) that begins a logical stream on page.
std::optional<Stream> vorbisIdentification(const ogg_page& page) {
  const unsigned char* b = page.body;
  if (!ogg_page_bos(&page) || page.body_len < 16 || std::memcmp(b, "\x01vorbis", 7) != 0 || b[7] != 0 ||
      b[8] != 0 || b[9] != 0 || b[10] != 0) {
    return std::nullopt;
  }
  const uint32_t rate = b[12] | b[13] << 8 | b[14] << 16 | static_cast<uint32_t>(b[15]) << 24;
  return Stream{rate, b[11], 0};
}

// A plain Vorbis file (one logical stream) the quick way, as catalogue tools
// read it: the identification header on its first page and the position of
// its last page, found within the last few KiB (the setup header's
// codebooks are never unpacked).
std::optional<Stream> readPlainVorbis(Source& source, std::chrono::steady_clock::time_point deadline) {
  std::optional<Stream> stream;
  int serial = 0;
  walkPages(source, 0, deadline, [&](const ogg_page& page) {
    stream = vorbisIdentification(page);
    serial = ogg_page_serialno(&page);
    return false;
  });
  if (!stream) return std::nullopt;
  for (const size_t window : {kLastPageGuessBytes, kPageChunkBytes}) {
    const uint64_t tail = source.size() > window ? source.size() - window : 0;
    bool ours = false;  // the last page seen is this stream's and ends a packet
    walkPages(source, tail, deadline, [&](const ogg_page& page) {
      ours = ogg_page_serialno(&page) == serial && ogg_page_granulepos(&page) >= 0;
      if (ours) stream->frames = static_cast<uint64_t>(ogg_page_granulepos(&page));
      return true;
    });
    if (ours) return stream;
    if (tail == 0) break;
  }
  return std::nullopt;
}

// Any other Ogg file holding Vorbis (chained files, Vorbis beside video),
// page by page: the Vorbis streams' lengths added up, in the first one's
// rate. none, with notVorbis, when there is no Vorbis stream.
std::optional<Stream> readVorbisStreams(Source& source, std::chrono::steady_clock::time_point deadline,
                                        bool& notVorbis) {
  struct Link {
    Stream stream;
    int64_t granule = 0;
  };
  std::map<int, Link> links;
  walkPages(source, 0, deadline, [&](const ogg_page& page) {
    const int serial = ogg_page_serialno(&page);
    if (const auto identified = vorbisIdentification(page)) links[serial] = Link{*identified, 0};
    const auto link = links.find(serial);
    if (link != links.end() && ogg_page_granulepos(&page) >= 0)
      link->second.granule = ogg_page_granulepos(&page);
    return links.size() < kMaxLogicalStreams;
  });
  notVorbis = links.empty();
  if (links.empty() || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
  double seconds = 0;
  for (const auto& [serial, link] : links) {
    if (link.stream.rate > 0) seconds += static_cast<double>(link.granule) / link.stream.rate;
  }
  Stream total = links.begin()->second.stream;
  total.frames = static_cast<uint64_t>(seconds * total.rate);
  return total;
}

// ---- the rest, through libavformat -----------------------------------------

struct ContextClose {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct IoFree {
  void operator()(AVIOContext* io) const {
    if (io != nullptr) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

struct Measuring {
  Source& source;
  std::chrono::steady_clock::time_point deadline;
};

int avRead(void* data, uint8_t* out, int size) {
  const size_t got = static_cast<Measuring*>(data)->source.read(out, static_cast<size_t>(std::max(size, 0)));
  return got == 0 ? AVERROR_EOF : static_cast<int>(got);
}

int64_t avSeek(void* data, int64_t offset, int whence) {
  Source& source = static_cast<Measuring*>(data)->source;
  if (whence == AVSEEK_SIZE) return static_cast<int64_t>(source.size());
  return source.seek(offset, whence & ~AVSEEK_FORCE) ? static_cast<int64_t>(source.tell()) : -1;
}

int avInterrupted(void* data) {
  return std::chrono::steady_clock::now() > static_cast<Measuring*>(data)->deadline ? 1 : 0;
}

// The first audio stream's length as the demuxer of format (no other) reads
// it from the headers and the last page; none when it states none.
std::optional<Stream> readWithDemuxer(Source& source, const char* format,
                                      std::chrono::steady_clock::time_point deadline) {
  if (!source.seek(0, SEEK_SET)) return std::nullopt;
  Measuring measuring{source, deadline};
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  if (buffer == nullptr) return std::nullopt;
  std::unique_ptr<AVIOContext, IoFree> io(
      avio_alloc_context(buffer, kIoBufferBytes, 0, &measuring, avRead, nullptr, avSeek));
  if (!io) {
    av_free(buffer);
    return std::nullopt;
  }
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) return std::nullopt;
  raw->pb = io.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  raw->interrupt_callback = {avInterrupted, &measuring};
  if (avformat_open_input(&raw, nullptr, av_find_input_format(format), nullptr) < 0) return std::nullopt;
  const std::unique_ptr<AVFormatContext, ContextClose> context(raw);
  // Some codecs (FLAC) state their rate and channels only in their own header.
  const auto described = [raw] {
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
      const AVCodecParameters& codec = *raw->streams[i]->codecpar;
      if (codec.codec_type == AVMEDIA_TYPE_AUDIO &&
          (codec.sample_rate <= 0 || codec.ch_layout.nb_channels <= 0)) {
        return false;
      }
    }
    return true;
  };
  if (!described() && avformat_find_stream_info(raw, nullptr) < 0) return std::nullopt;
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    const AVStream& stream = *raw->streams[i];
    const AVCodecParameters& codec = *stream.codecpar;
    if (codec.codec_type != AVMEDIA_TYPE_AUDIO) continue;
    const int channels = codec.ch_layout.nb_channels;
    if (codec.sample_rate <= 0 || channels <= 0 || stream.duration == AV_NOPTS_VALUE || stream.duration < 0) {
      return std::nullopt;
    }
    int64_t frames = av_rescale_q(stream.duration, stream.time_base, AVRational{1, codec.sample_rate});
    // The encoder's priming samples are part of the stored length, not of the sound.
    frames = std::max<int64_t>(0, frames - std::max(codec.initial_padding, 0));
    return Stream{static_cast<uint32_t>(codec.sample_rate), static_cast<uint32_t>(channels),
                  static_cast<uint64_t>(frames)};
  }
  return std::nullopt;
}

// ---- handles -----------------------------------------------------------------

StreamHandle remember(const Stream& stream) {
  std::lock_guard lock(gStreamsMutex);
  StreamHandle handle = gNextHandle++;
  while (handle == 0 || gStreams.count(handle) != 0) handle = gNextHandle++;
  gStreams.emplace(handle, stream);
  tLastError = kOk;
  return handle;
}

std::optional<Stream> find(StreamHandle handle) {
  std::lock_guard lock(gStreamsMutex);
  const auto it = gStreams.find(handle);
  if (it == gStreams.end()) return std::nullopt;
  return it->second;
}

template <typename Measure>
StreamHandle create(bool fromMemory, const void* file, uint64_t offset, uint64_t length, Measure measure) {
  gOpenCalls.fetch_add(1);
  if (!gStarted.load()) return fail(kErrorInit);
  if (file == nullptr) return fail(kErrorParameter);
  int error = kOk;
  std::optional<Source> source = Source::open(fromMemory, file, offset, length, error);
  if (!source) return fail(error);
  const std::optional<Stream> stream = measure(*source);
  if (!stream || stream->rate == 0 || stream->channels == 0) return fail(kErrorFormat);
  return remember(*stream);
}

}  // namespace

bool init(int, uint32_t, uint32_t, const void*, const void*) {
  if (gStarted.exchange(true)) {
    tLastError = kErrorAlready;
    return false;
  }
  tLastError = kOk;
  return true;
}

StreamHandle flacStreamCreateFile(bool fromMemory, const void* file, uint64_t offset, uint64_t length,
                                  uint32_t) {
  return create(fromMemory, file, offset, length, readFlacStreamInfo);
}

StreamHandle streamCreateFile(bool fromMemory, const void* file, uint64_t offset, uint64_t length, uint32_t) {
  return create(fromMemory, file, offset, length, [](Source& source) -> std::optional<Stream> {
    const auto deadline = std::chrono::steady_clock::now() + kMeasureDeadline;
    if (std::optional<Stream> plain = readPlainVorbis(source, deadline)) return plain;
    bool notVorbis = false;
    std::optional<Stream> stream = readVorbisStreams(source, deadline, notVorbis);
    if (!stream && notVorbis) return readWithDemuxer(source, "ogg", deadline);
    return stream;
  });
}

uint64_t channelGetLength(StreamHandle handle, uint32_t mode) {
  const std::optional<Stream> stream = find(handle);
  tLastError = !stream ? kErrorHandle : mode != kLengthInBytes ? kErrorParameter : kOk;
  if (tLastError != kOk) return UINT64_MAX;
  const uint64_t frameBytes = stream->channels * kBytesPerSample;
  return stream->frames > UINT64_MAX / frameBytes ? UINT64_MAX - 1 : stream->frames * frameBytes;
}

double channelBytes2Seconds(StreamHandle handle, uint64_t bytes) {
  const std::optional<Stream> stream = find(handle);
  tLastError = stream ? kOk : kErrorHandle;
  if (!stream) return -1.0;
  return static_cast<double>(bytes / (stream->channels * kBytesPerSample)) / stream->rate;
}

bool streamFree(StreamHandle handle) {
  std::lock_guard lock(gStreamsMutex);
  tLastError = gStreams.erase(handle) == 0 ? kErrorHandle : kOk;
  return tLastError == kOk;
}

int errorGetCode() { return tLastError; }

uint64_t streamOpenCalls() { return gOpenCalls.load(); }

}  // namespace corvane::audio
