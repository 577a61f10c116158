#include "builders/QuickTimeAVParser.h"

#include <cmath>
#include <cstdint>

#include "builders/CheckValidate.h"
#include "image/NSImageExtension.h"
#include "media/Log.h"
#include "media/MainThread.h"
#include "media/MediaDBKeys.h"
#include "media/Numbers.h"
#include "media/PathNames.h"
#include "media/RZMediaTypeReader.h"
#include "media/Text.h"
#include "platform/file/InputFile.h"
#include "platform/imaging/Picture.h"

namespace corvane::builders {

namespace {

using media::MediaRecord;

// The frame shown in a movie's thumbnail: 10.8 s into a long movie (the
// single-precision 10.8, as the catalogue has always asked for it), 1 s
// into a shorter one, 3 s into a clip.
double frameTimeFor(double duration) {
  if (duration > 100.0) return static_cast<double>(10.8f);
  if (duration > 3.0) return 1.0;
  return 3.0;
}

// Average kbit/s of fileSize bytes over the whole seconds of duration, in
// integers (a few GiB of audio needs more than 32 bits); 0 below a second.
int32_t averageKilobitsPerSecond(uint64_t fileSize, double duration) {
  if (!(duration >= 1.0)) return 0;
  const double seconds = std::trunc(duration);
  const uint64_t bits = fileSize > UINT64_MAX / 8 ? UINT64_MAX : fileSize * 8;
  // floor(floor(bits / 1000) / s) is floor(bits / (1000 s)), without the product.
  const uint64_t kilobits = bits / 1000;
  if (seconds >= static_cast<double>(kilobits) + 1.0) return 0;
  return media::truncateToInt32(static_cast<double>(kilobits / static_cast<uint64_t>(seconds)));
}

// The codec text of a data format: its four bytes, first byte first, up to a
// zero byte, when they are UTF-8; upper-cased.
std::optional<std::string> codecText(movie::FourCC format) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((format >> shift) & 0xFF);
    if (c == '\0') break;
    text += c;
  }
  if (!media::isValidUtf8(text)) return std::nullopt;
  return media::asciiUpper(text);
}

void setCommonKeys(MediaRecord& record, const std::string& path, const std::optional<uint64_t>& fileSize) {
  record.set(media::MediaDBCommonColumnFilePath, path);
  if (std::string name = media::lastPathComponent(path); !name.empty()) {
    record.set(media::MediaDBCommonColumnFileName, std::move(name));
  }
  record.set(media::MediaDBCommonColumnIsManaged, false);
  if (fileSize) record.set(media::MediaDBCommonColumnFileSize, *fileSize);
  const int32_t type = media::RZMediaTypeReader::type(path);
  record.set(media::MediaDBCommonColumnMediaType, type);
  record.set(media::MediaDBCommonColumnFileTypeString, media::RZMediaTypeReader::typeName(type));
  record.set(media::MediaDBCommonColumnLinkError, false);
}

std::optional<media::Bytes> thumbnailOf(const std::optional<movie::Frame>& frame) {
  if (!frame) return std::nullopt;
  const auto picture = imaging::Picture::fromRgbPixels(frame->width, frame->height, frame->rgb);
  if (!picture) return std::nullopt;
  return image::makeThumbnailForContentCategory(*picture, image::kContentVideoFrame);
}

}  // namespace

std::optional<MediaRecord> QuickTimeAVParser::build(const std::string& path) {
  mediaFilePath_ = path;
  movie_.reset();
  MediaRecord record;
  if (path.empty()) return record;

  // Opened here without blocking (a FIFO never holds the service); the
  // movie layer reads this open file, never the path again.
  const auto file = file::InputFile::open(path);
  std::optional<std::string> openError;
  if (file) {
    media::performOnMainThread([&] {
      movie::OpenResult opened = movie::Movie::open(*file, media::lastPathComponent(path));
      movie_ = std::move(opened.movie);
      openError = std::move(opened.error);
    });
  }
  if (openError) log::line("QTMovie initWithFile fail: error = " + *openError);

  // Released on the main thread after the bracket below has closed, on every path.
  struct Release {
    std::optional<movie::Movie>& movie;
    ~Release() {
      if (movie) media::performOnMainThread([this] { movie.reset(); });
    }
  } release{movie_};
  const std::optional<uint64_t> fileSize = file ? file->facts().size : std::nullopt;

  std::optional<movie::ThreadBracket> bracket;
  bool hasAudio = false;
  bool hasVideo = false;
  if (movie_) {
    bracket.emplace();
    hasAudio = movie_->hasAudio();
    hasVideo = movie_->hasVideo();
  }
  setCommonKeys(record, path, fileSize);
  if (hasAudio && isAlacAudio(*movie_)) {
    log::line("Apple Lossless audio is not supported");
  } else if (hasVideo) {
    parseVideo(record);
  } else if (hasAudio) {
    parseAudio(record, fileSize);
  }
  bracket.reset();
  return record;
}

void QuickTimeAVParser::parseVideo(MediaRecord& record) {
  using namespace media;  // the MediaDB keys
  movie::Movie& movie = *movie_;
  if (!validateMedia(movie)) return;
  record.set(MediaDBVideoColumnDateAdded, Date::now());
  if (const auto created = movie.creationTime()) record.set(MediaDBVideoColumnDateCreated, *created);
  record.set(MediaDBVideoColumnDRMProperty, int32_t{0});
  record.set(MediaDBVideoColumnPlayState, int32_t{0});
  record.set(MediaDBVideoColumnTitle, movie.displayName());
  // Every track counts, enabled or not; the last of each kind wins.
  for (const movie::Track& track : movie.tracks()) {
    const bool video = track.mediaType == movie::kMediaVideo;
    if ((!video && track.mediaType != movie::kMediaSound) || !track.dataFormat) continue;
    if (auto text = codecText(*track.dataFormat)) {
      record.set(video ? MediaDBVideoColumnVCodec : MediaDBVideoColumnACodec, std::move(*text));
    }
  }
  const double duration = movie.duration();
  record.set(MediaDBVideoColumnPlayLength, truncateToInt32(duration));
  std::optional<movie::Frame> frame = movie.frameAt(frameTimeFor(duration));
  if (!frame) frame = movie.posterFrame();
  if (auto thumbnail = thumbnailOf(frame)) record.set(MediaDBVideoColumnImage, std::move(*thumbnail));
  frame.reset();
  const movie::NaturalSize size = movie.naturalSize();
  record.set(MediaDBVideoColumnWidth, truncateToInt32(size.width));
  record.set(MediaDBVideoColumnHeight, truncateToInt32(size.height));
  record.set(MediaDBVideoColumnBitrate, int32_t{0});
  record.set(MediaDBVideoColumnPlayCount, int32_t{0});
  record.set(MediaDBVideoColumnRating, int32_t{0});
  record.set(MediaDBVideoColumnIsReadOnly, false);
  record.set(MediaDBVideoColumnIsLicenseExpired, false);
  record.set(MediaDBVideoColumnIsChecked, true);
  if (const auto modified = movie.modificationTime()) record.set(MediaDBVideoColumnDateModified, *modified);
  record.set(MediaDBCommonColumnLinkError, false);
}

void QuickTimeAVParser::parseAudio(MediaRecord& record, const std::optional<uint64_t>& fileSize) {
  using namespace media;  // the MediaDB keys
  const movie::Movie& movie = *movie_;
  record.set(MediaDBMusicColumnTitle, movie.displayName());
  const double duration = movie.duration();
  record.set(MediaDBMusicColumnPlayLength, truncateToInt32(duration));
  record.set(MediaDBMusicColumnBitrate, averageKilobitsPerSecond(fileSize.value_or(0), duration));
  // The sampling frequency, as the MP3 service gives it (a playback rate
  // would be 0 for every movie at rest).
  record.set(MediaDBMusicColumnSamplerate, movie.firstAudioSampleRate().value_or(0));
  record.set(MediaDBMusicColumnPlayCount, int32_t{0});
  record.set(MediaDBMusicColumnRating, int32_t{0});
  record.set(MediaDBMusicColumnAlbumRating, int32_t{0});
  record.set(MediaDBMusicColumnDateAdded, Date::now());
  if (const auto modified = movie.modificationTime()) record.set(MediaDBMusicColumnDateModified, *modified);
  record.set(MediaDBMusicColumnDRMProperty, int32_t{0});
  record.set(MediaDBMusicColumnIsLicenseExpired, false);
  record.set(MediaDBMusicColumnHasLyrics, false);
  record.set(MediaDBMusicColumnPlayState, int32_t{0});
  record.set(MediaDBMusicColumnIsReadOnly, false);
}

}  // namespace corvane::builders
