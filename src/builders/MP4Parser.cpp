#include "builders/MP4Parser.h"

#include <cmath>
#include <exception>
#include <string_view>

#include "image/NSImageExtension.h"
#include "media/Genre.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/PathNames.h"
#include "media/RZMediaTypeReader.h"
#include "media/Text.h"
#include "platform/file/InputFile.h"
#include "platform/imaging/Picture.h"
#include "platform/mp4/Mp4File.h"
#include "platform/mp4/TagDump.h"

namespace corvane::builders {

namespace {

using media::MediaRecord;

// A tag text goes into the record only when it is valid UTF-8.
void setText(MediaRecord& record, const char* key, const std::optional<std::string>& text) {
  if (text && media::isValidUtf8(*text)) record.set(key, *text);
}

// Text wins over the genre code, even when the text is unusable; a code
// names entry code - 1 of the genre list, for codes 1 to 148 only.
void setGenre(MediaRecord& record, const mp4::Tags& tags) {
  if (tags.genre) {
    setText(record, media::MediaDBMusicColumnGenre, tags.genre);
  } else if (tags.genreType && *tags.genreType >= 1 && *tags.genreType <= media::kGenreCount) {
    if (auto name = media::getGenreName(*tags.genreType - 1))
      record.set(media::MediaDBMusicColumnGenre, *name);
  }
}

// Only the first artwork counts: if it is no picture, later ones are not tried.
void setAlbumArt(MediaRecord& record, const mp4::Tags& tags) {
  if (tags.artworks.empty()) return;
  try {
    const auto picture = imaging::Picture::fromBytes(tags.artworks.front().data);
    if (!picture) return;
    if (auto thumbnail = image::makeThumbnailForContentCategory(*picture, image::kContentAlbumArt)) {
      record.set(media::MediaDBMusicColumnAlbumArt, std::move(*thumbnail));
    }
  } catch (const std::exception& e) {
    // A picture the renderer cannot handle costs the album art only.
    log::line(log::format("MP4Parser album art failed: %s", e.what()));
  }
}

void setDefaults(MediaRecord& record, const std::string& path, const file::FileFacts& facts) {
  record.set(media::MediaDBMusicColumnPlayCount, int32_t{0});
  record.set(media::MediaDBMusicColumnRating, int32_t{0});
  record.set(media::MediaDBMusicColumnAlbumRating, int32_t{0});
  record.set(media::MediaDBMusicColumnDateAdded, media::Date::now());
  // Size and modification date of the file the path leads to.
  if (facts.modified) record.set(media::MediaDBMusicColumnDateModified, *facts.modified);
  if (facts.size) record.set(media::MediaDBCommonColumnFileSize, *facts.size);
  const int32_t type = media::RZMediaTypeReader::type(path);
  record.set(media::MediaDBCommonColumnMediaType, type);
  record.set(media::MediaDBCommonColumnFileTypeString, media::RZMediaTypeReader::typeName(type));
  record.set(media::MediaDBMusicColumnDRMProperty, int32_t{0});
  record.set(media::MediaDBMusicColumnIsLicenseExpired, false);
  record.set(media::MediaDBMusicColumnHasLyrics, false);
  record.set(media::MediaDBMusicColumnPlayState, int32_t{0});
  record.set(media::MediaDBCommonColumnLinkError, false);
  record.set(media::MediaDBMusicColumnIsReadOnly, false);
}

// Whole seconds (rounded down) and the time scale of the first audio track;
// the bit rate in whole kilobits per second when above zero.
void setAudioTiming(MediaRecord& record, const std::optional<mp4::AudioTrack>& track) {
  if (!track) return;
  if (track->timeScale != 0) {
    const double seconds =
        std::floor(static_cast<double>(track->duration) / static_cast<double>(track->timeScale));
    record.set(media::MediaDBMusicColumnPlayLength, seconds);
    record.set(media::MediaDBMusicColumnSamplerate, static_cast<double>(track->timeScale));
  }
  // Below one kilobit the rounded figure would be 0, which is no rate.
  const double kilobits = std::floor(track->bitRate / 1000.0);
  if (kilobits > 0) record.set(media::MediaDBMusicColumnBitrate, static_cast<int32_t>(kilobits));
}

}  // namespace

std::optional<MediaRecord> MP4Parser::build(const std::string& path) {
  const std::optional<file::InputFile> input = file::InputFile::open(path);
  const auto file = input ? mp4::Mp4File::read(*input) : std::nullopt;
  if (!file) {
    log::line("MP4Parser file open fail");
    return std::nullopt;
  }
  const mp4::Tags& tags = file->tags();
  MediaRecord record;
  record.set(media::MediaDBCommonColumnFilePath, path);
  record.set(media::MediaDBCommonColumnFileName, media::lastPathComponent(path));
  record.set(media::MediaDBCommonColumnIsManaged, false);

  setText(record, media::MediaDBMusicColumnTitle, tags.name);
  setText(record, media::MediaDBMusicColumnAlbum, tags.album);
  setText(record, media::MediaDBMusicColumnArtist, tags.artist);
  setText(record, media::MediaDBMusicColumnAlbumArtist, tags.albumArtist);
  setText(record, media::MediaDBMusicColumnComposer, tags.composer);
  if (tags.track) record.set(media::MediaDBMusicColumnTrackNo, int32_t{tags.track->index});
  if (tags.disk) record.set(media::MediaDBMusicColumnDiscNo, int32_t{tags.disk->index});
  setText(record, media::MediaDBMusicColumnDateReleased, tags.releaseDate);
  setGenre(record, tags);
  setAlbumArt(record, tags);
  setDefaults(record, path, input->facts());
  setAudioTiming(record, file->firstAudioTrack());
  return record;
}

int MP4Parser::testMp4v2(const std::string& path, std::FILE* out) { return mp4::dumpTags(path, out); }

}  // namespace corvane::builders
