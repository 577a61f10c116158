#include "platform/movie/Movie.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <cstring>

#include "media/MainThread.h"

namespace corvane::movie {

namespace {

std::atomic<uint64_t> gEnters{0};
std::atomic<uint64_t> gExits{0};

// A probe reads at most this much of a file.
constexpr int64_t kProbeBytes = 5 * 1024 * 1024;
constexpr int64_t kAnalyzeMicros = 5 * AV_TIME_BASE;

struct ContextClose {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using ContextPtr = std::unique_ptr<AVFormatContext, ContextClose>;

}  // namespace

// The demuxer of one movie and what its callbacks need; it lives on the heap
// so that the callbacks' pointer to it survives moves of the Movie.
struct Movie::Demuxer {
  std::string url;  // the only resource the demuxer may open
  std::chrono::steady_clock::time_point deadline;
  ContextPtr context;

  static int interrupted(void* self) {
    return std::chrono::steady_clock::now() > static_cast<Demuxer*>(self)->deadline ? 1 : 0;
  }

  // Playlists and concatenation formats would open further files or network
  // resources named inside the file; a movie is the one file it was asked for.
  static int openOnlyOwnFile(AVFormatContext* context, AVIOContext** pb, const char* url, int flags,
                             AVDictionary** options) {
    const auto* self = static_cast<const Demuxer*>(context->opaque);
    if (self == nullptr || url == nullptr || self->url != url || (flags & AVIO_FLAG_WRITE)) {
      return AVERROR(EPERM);
    }
    return avio_open2(pb, url, flags, &context->interrupt_callback, options);
  }
};

Movie::Movie(std::unique_ptr<Demuxer> demuxer) : demuxer_(std::move(demuxer)) {}
Movie::Movie(Movie&&) noexcept = default;
Movie& Movie::operator=(Movie&&) noexcept = default;
Movie::~Movie() = default;

void Movie::startUp() {
  // The service has no use for libav's console chatter about odd files.
  av_log_set_level(AV_LOG_QUIET);
}

std::optional<Movie> Movie::open(const std::string& path) {
  auto demuxer = std::make_unique<Demuxer>();
  // The explicit protocol keeps a path that looks like a URL a path.
  demuxer->url = "file:" + path;
  demuxer->deadline = std::chrono::steady_clock::now() + kOpenDeadline;

  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) return std::nullopt;
  raw->opaque = demuxer.get();
  raw->io_open = &Demuxer::openOnlyOwnFile;
  raw->interrupt_callback.callback = &Demuxer::interrupted;
  raw->interrupt_callback.opaque = demuxer.get();
  raw->probesize = kProbeBytes;
  raw->max_analyze_duration = kAnalyzeMicros;

  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  const int opened = avformat_open_input(&raw, demuxer->url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) return std::nullopt;  // libavformat has freed the context
  demuxer->context.reset(raw);

  if (avformat_find_stream_info(demuxer->context.get(), nullptr) < 0) return std::nullopt;
  return Movie(std::move(demuxer));
}

double Movie::duration() const {
  const AVFormatContext* context = demuxer_->context.get();
  if (context->duration == AV_NOPTS_VALUE || context->duration <= 0) return 0.0;
  return static_cast<double>(context->duration) / AV_TIME_BASE;
}

std::optional<int32_t> Movie::firstAudioSampleRate() const {
  const AVFormatContext* context = demuxer_->context.get();
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* codec = context->streams[i]->codecpar;
    if (codec->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    if (codec->sample_rate <= 0) return std::nullopt;
    return static_cast<int32_t>(codec->sample_rate);
  }
  return std::nullopt;
}

void Movie::enterOnThread() { gEnters.fetch_add(1); }
void Movie::exitOnThread() { gExits.fetch_add(1); }
BracketCounts Movie::bracketCounts() { return BracketCounts{gEnters.load(), gExits.load()}; }

ThreadBracket::ThreadBracket() { media::performOnMainThread(&Movie::enterOnThread); }
ThreadBracket::~ThreadBracket() { media::performOnMainThread(&Movie::exitOnThread); }

}  // namespace corvane::movie
