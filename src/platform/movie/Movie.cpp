#include "platform/movie/Movie.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/parseutils.h>
}

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <iterator>
#include <string_view>

#include "media/MainThread.h"
#include "media/PathNames.h"
#include "media/Text.h"
#include "platform/movie/MovieDemuxer.h"
#include "platform/mp4/BoxReader.h"

namespace corvane::movie {

namespace {

std::atomic<uint64_t> gEnters{0};
std::atomic<uint64_t> gExits{0};

// A probe reads at most this much of a file.
constexpr int64_t kProbeBytes = 5 * 1024 * 1024;
constexpr int64_t kAnalyzeMicros = 5 * AV_TIME_BASE;

// Real files have a handful of top-level boxes before the movie box, whose
// header comes first among its children.
constexpr int kMaxTopLevelBoxes = 4096;
constexpr size_t kMovieHeaderSearchBytes = 4096;
// Seconds from 1904-01-01 (the movie header's epoch) to 1970-01-01.
constexpr uint64_t kMovieEpochOffset = 2082844800;
// Times beyond this (year 5138) are damage, not dates.
constexpr uint64_t kLatestSeconds = 100'000'000'000;

std::string errorText(int code) {
  std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
  av_strerror(code, text.data(), text.size());
  return media::toValidUtf8(text.data());
}

// Formats whose files name further files or network resources
// (playlists, concatenation and composition lists, session descriptions,
// numbered picture sequences): a movie is the one file it was asked for.
// Some of them would also wait and retry while those stay out of reach.
bool namesOtherResources(const AVInputFormat& format) {
  static constexpr std::string_view kRefused[] = {
      "hls", "dash", "concat", "sdp", "rtsp", "rtp", "imf", "webm_dash_manifest", "image2"};
  return std::find(std::begin(kRefused), std::end(kRefused), std::string_view(format.name)) !=
         std::end(kRefused);
}

bool isMovFamily(const AVFormatContext& context) {
  return std::strncmp(context.iformat->name, "mov,", 4) == 0;
}

// AVI and ASF name their video codecs by a FOURCC of their own.
bool storesVideoFourcc(const AVFormatContext& context) {
  return std::strcmp(context.iformat->name, "avi") == 0 || std::strcmp(context.iformat->name, "asf") == 0;
}

FourCC mediaTypeOf(const AVCodecParameters& codec) {
  switch (codec.codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      return kMediaVideo;
    case AVMEDIA_TYPE_AUDIO:
      return kMediaSound;
    case AVMEDIA_TYPE_SUBTITLE:
      if (codec.codec_id == AV_CODEC_ID_EIA_608) return kMediaClosedCaption;
      return fromLibraryTag(codec.codec_tag) == kMediaText ? kMediaText : kMediaSubtitle;
    case AVMEDIA_TYPE_DATA:
      if (fromLibraryTag(codec.codec_tag) == kMediaTimecode) return kMediaTimecode;
      return fromLibraryTag(codec.codec_tag) == fourcc("rtp ") ? kMediaHint : kMediaData;
    default:
      return kMediaUnknown;
  }
}

std::optional<FourCC> dataFormatOf(const AVFormatContext& context, const AVCodecParameters& codec) {
  const bool stored =
      isMovFamily(context) || (codec.codec_type == AVMEDIA_TYPE_VIDEO && storesVideoFourcc(context));
  if (stored && codec.codec_tag != 0) return fromLibraryTag(codec.codec_tag);
  const AVCodecTag* table = nullptr;
  if (codec.codec_type == AVMEDIA_TYPE_VIDEO) table = avformat_get_mov_video_tags();
  if (codec.codec_type == AVMEDIA_TYPE_AUDIO) table = avformat_get_mov_audio_tags();
  if (table == nullptr || codec.codec_id == AV_CODEC_ID_NONE) return std::nullopt;
  const AVCodecTag* const tables[] = {
      table, codec.codec_type == AVMEDIA_TYPE_VIDEO ? avformat_get_riff_video_tags() : nullptr, nullptr};
  const unsigned tag = av_codec_get_tag(tables, codec.codec_id);
  if (tag == 0) return std::nullopt;
  return fromLibraryTag(tag);
}

std::optional<media::Date> fromMovieTime(uint64_t seconds) {
  if (seconds == 0) return std::nullopt;  // the writer set none
  // Some writers store Unix time where 1904-based time belongs.
  if (seconds >= kMovieEpochOffset) seconds -= kMovieEpochOffset;
  if (seconds > kLatestSeconds) return std::nullopt;
  return media::Date::fromSeconds(static_cast<int64_t>(seconds));
}

// The creation and modification times of the movie header ('moov'/'mvhd').
void readMovieHeaderTimes(const file::InputFile& file, Movie::Demuxer& demuxer) {
  const uint64_t size = file.size();
  uint64_t offset = 0;
  for (int count = 0; offset < size && count < kMaxTopLevelBoxes; ++count) {
    const auto head = file.readSome(offset, 16);
    if (!head) return;
    const auto header = mp4::parseBoxHeader(*head, size - offset);
    if (!header) return;
    if (header->type == fourcc("moov")) {
      const uint64_t payload = header->size - header->headerSize;
      const auto bytes =
          file.readSome(offset + header->headerSize,
                        static_cast<size_t>(std::min<uint64_t>(payload, kMovieHeaderSearchBytes)));
      const auto movieHeader = bytes ? mp4::findChild(*bytes, fourcc("mvhd")) : std::nullopt;
      if (!movieHeader) return;
      mp4::ByteCursor cursor(movieHeader->payload);
      const bool wide = cursor.u8() == 1;
      cursor.skip(3);  // flags
      const uint64_t created = wide ? cursor.u64() : cursor.u32();
      const uint64_t modified = wide ? cursor.u64() : cursor.u32();
      if (!cursor.ok()) return;
      demuxer.created = fromMovieTime(created);
      demuxer.modified = fromMovieTime(modified);
      return;
    }
    offset += header->size;
  }
}

// Containers other than MOV/MP4 may keep a creation date as metadata.
void readStoredCreationTime(Movie::Demuxer& demuxer) {
  const AVDictionaryEntry* entry = av_dict_get(demuxer.context->metadata, "creation_time", nullptr, 0);
  int64_t micros = 0;
  if (entry != nullptr && av_parse_time(&micros, entry->value, 0) == 0) demuxer.created = media::Date{micros};
}

void readTracks(Movie::Demuxer& demuxer) {
  const AVFormatContext& context = *demuxer.context;
  const bool movFamily = isMovFamily(context);
  int firstVideo = -1;
  for (unsigned i = 0; i < context.nb_streams; ++i) {
    const AVStream& stream = *context.streams[i];
    const AVCodecParameters& codec = *stream.codecpar;
    const int index = static_cast<int>(i);
    if (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) {
      if (demuxer.coverStream < 0 && stream.attached_pic.size > 0) demuxer.coverStream = index;
      continue;
    }
    if (codec.codec_type == AVMEDIA_TYPE_ATTACHMENT) continue;
    Track track;
    // The MOV demuxer marks tracks whose header is enabled as default.
    track.enabled = !movFamily || (stream.disposition & AV_DISPOSITION_DEFAULT) != 0;
    track.mediaType = mediaTypeOf(codec);
    track.dataFormat = dataFormatOf(context, codec);
    if (track.mediaType == kMediaVideo) {
      if (firstVideo < 0) firstVideo = index;
      if (demuxer.pictureStream < 0 && track.enabled) demuxer.pictureStream = index;
    }
    demuxer.tracks.push_back(track);
    demuxer.trackStreams.push_back(index);
  }
  if (demuxer.pictureStream < 0) demuxer.pictureStream = firstVideo;
}

bool hasTrackOf(const std::vector<Track>& tracks, FourCC type) {
  return std::any_of(tracks.begin(), tracks.end(), [type](const Track& t) { return t.mediaType == type; });
}

}  // namespace

int Movie::Demuxer::openOnlyOwnFile(AVFormatContext* context, AVIOContext** pb, const char* url, int flags,
                                    AVDictionary** options) {
  // Playlists and concatenation formats would open further files named
  // inside the file; a movie is the one file it was asked for.
  const auto* self = static_cast<const Demuxer*>(context->opaque);
  if (self == nullptr || url == nullptr || self->url != url || (flags & AVIO_FLAG_WRITE)) {
    return AVERROR(EPERM);
  }
  return avio_open2(pb, url, flags, &context->interrupt_callback, options);
}

Movie::Movie(std::unique_ptr<Demuxer> demuxer) : demuxer_(std::move(demuxer)) {}
Movie::Movie(Movie&&) noexcept = default;
Movie& Movie::operator=(Movie&&) noexcept = default;
Movie::~Movie() = default;

void Movie::startUp() {
  // The service has no use for libav's console chatter about odd files.
  av_log_set_level(AV_LOG_QUIET);
}

OpenResult Movie::open(const file::InputFile& file, std::string_view fileName) {
  auto demuxer = std::make_unique<Demuxer>();
  // The explicit protocol keeps a path that looks like a URL a path.
  demuxer->url = "file:" + file.procPath();
  demuxer->fileName = std::string(fileName);
  demuxer->restartClock();
  const AVIOInterruptCB interrupt{&Demuxer::interrupted, demuxer.get()};

  auto onlyFiles = [] {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    return options;
  };
  AVDictionary* options = onlyFiles();
  AVIOContext* input = nullptr;
  const int reached = avio_open2(&input, demuxer->url.c_str(), AVIO_FLAG_READ, &interrupt, &options);
  av_dict_free(&options);
  if (reached < 0) return {};
  demuxer->input.reset(input);

  // Probed here rather than by the open below, so that a file no demuxer
  // recognises (declined quietly) is told apart from a recognised one that
  // turns out damaged (an error). The name is not offered to the probe: an
  // extension alone must not make a text file a movie.
  const AVInputFormat* format = nullptr;
  if (av_probe_input_buffer2(input, &format, "", nullptr, 0, kProbeBytes) < 0 || format == nullptr ||
      namesOtherResources(*format)) {
    return {};
  }

  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) return {};
  raw->pb = input;
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  raw->opaque = demuxer.get();
  raw->io_open = &Demuxer::openOnlyOwnFile;
  raw->interrupt_callback = interrupt;
  raw->probesize = kProbeBytes;
  raw->max_analyze_duration = kAnalyzeMicros;
  options = onlyFiles();
  const int opened = avformat_open_input(&raw, demuxer->url.c_str(), format, &options);
  av_dict_free(&options);
  if (opened < 0) return {std::nullopt, errorText(opened)};  // libavformat has freed the context
  demuxer->context.reset(raw);
  // A MOV/MP4 header describes every track (its sample descriptions, the
  // display size in the track header); other containers are read on until
  // their streams are known.
  if (const int found = isMovFamily(*raw) ? 0 : avformat_find_stream_info(raw, nullptr); found < 0) {
    return {std::nullopt, errorText(found)};
  }

  readTracks(*demuxer);
  if (isMovFamily(*raw)) {
    readMovieHeaderTimes(file, *demuxer);
  } else {
    readStoredCreationTime(*demuxer);
  }
  return {Movie(std::move(demuxer)), std::nullopt};
}

double Movie::duration() const {
  const AVFormatContext* context = demuxer_->context.get();
  if (context->duration == AV_NOPTS_VALUE || context->duration <= 0) return 0.0;
  return static_cast<double>(context->duration) / AV_TIME_BASE;
}

bool Movie::hasAudio() const { return hasTrackOf(demuxer_->tracks, kMediaSound); }
bool Movie::hasVideo() const { return hasTrackOf(demuxer_->tracks, kMediaVideo); }
std::optional<media::Date> Movie::creationTime() const { return demuxer_->created; }
std::optional<media::Date> Movie::modificationTime() const { return demuxer_->modified; }
const std::vector<Track>& Movie::tracks() const { return demuxer_->tracks; }

std::string Movie::displayName() const {
  const AVDictionaryEntry* title = av_dict_get(demuxer_->context->metadata, "title", nullptr, 0);
  if (title != nullptr && title->value[0] != '\0') return media::toValidUtf8(title->value);
  return media::lastPathComponentLessExtension(demuxer_->fileName);
}

NaturalSize Movie::naturalSize() const {
  if (demuxer_->pictureStream < 0) return {};
  AVFormatContext* context = demuxer_->context.get();
  AVStream* stream = context->streams[demuxer_->pictureStream];
  NaturalSize size{static_cast<double>(stream->codecpar->width),
                   static_cast<double>(stream->codecpar->height)};
  const AVRational aspect = av_guess_sample_aspect_ratio(context, stream, nullptr);
  if (aspect.num > 0 && aspect.den > 0) size.width = size.width * aspect.num / aspect.den;
  return size;
}

std::optional<int32_t> Movie::firstAudioSampleRate() const {
  const auto& tracks = demuxer_->tracks;
  const auto audio =
      std::find_if(tracks.begin(), tracks.end(), [](const Track& t) { return t.mediaType == kMediaSound; });
  if (audio == tracks.end()) return std::nullopt;
  const AVCodecParameters* codec =
      demuxer_->context->streams[demuxer_->trackStreams[static_cast<size_t>(audio - tracks.begin())]]
          ->codecpar;
  if (codec->sample_rate <= 0) return std::nullopt;
  return static_cast<int32_t>(codec->sample_rate);
}

std::optional<Frame> Movie::frameAt(double seconds) {
  const double total = duration();
  if (!(seconds >= 0) || (total > 0 && seconds >= total)) return std::nullopt;
  demuxer_->restartClock();
  return demuxer_->grab(seconds);
}

std::optional<Frame> Movie::posterFrame() {
  demuxer_->restartClock();
  if (auto cover = demuxer_->cover()) return cover;
  demuxer_->restartClock();
  return demuxer_->firstFrame();
}

AVFormatContext* Movie::libraryContext() const { return demuxer_->context.get(); }
int Movie::libraryStream(size_t track) const { return demuxer_->trackStreams.at(track); }
void Movie::restartDeadline() { demuxer_->restartClock(); }

void Movie::enterOnThread() { gEnters.fetch_add(1); }
void Movie::exitOnThread() { gExits.fetch_add(1); }
BracketCounts Movie::bracketCounts() { return BracketCounts{gEnters.load(), gExits.load()}; }

ThreadBracket::ThreadBracket() { media::performOnMainThread(&Movie::enterOnThread); }
ThreadBracket::~ThreadBracket() { media::performOnMainThread(&Movie::exitOnThread); }

}  // namespace corvane::movie
