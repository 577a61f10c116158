#include "builders/RZBasicAudioParser.h"

#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/Numbers.h"
#include "media/PathNames.h"
#include "media/RZMediaTypeReader.h"
#include "media/Text.h"
#include "platform/audio/AudioStreams.h"

namespace corvane::builders {

namespace {

// "The play length was not measured", as the catalogue reads ReservedInt.
constexpr int32_t kNotMeasured = 9;

}  // namespace

std::optional<media::MediaRecord> RZBasicAudioParser::build(const std::string& path) {
  using namespace media;  // the MediaDB keys
  mediaFilePath_ = path;
  // The one open of the file: facts and measurement both come from it.
  const auto file = file::InputFile::open(path);
  if (!file) return std::nullopt;

  MediaRecord record;
  record.set(MediaDBCommonColumnFilePath, path);
  record.set(MediaDBCommonColumnFileName, lastPathComponent(path));
  record.set(MediaDBCommonColumnIsManaged, false);
  record.set(MediaDBMusicColumnTitle, lastPathComponentLessExtension(path));
  record.set(MediaDBMusicColumnPlayCount, int32_t{0});
  record.set(MediaDBMusicColumnRating, int32_t{0});
  record.set(MediaDBMusicColumnAlbumRating, int32_t{0});
  record.set(MediaDBMusicColumnDateAdded, Date::now());
  const file::FileFacts facts = file->facts();
  if (facts.modified) record.set(MediaDBMusicColumnDateModified, *facts.modified);
  if (facts.size) record.set(MediaDBCommonColumnFileSize, *facts.size);
  const int32_t type = RZMediaTypeReader::type(path);
  record.set(MediaDBCommonColumnMediaType, type);
  record.set(MediaDBCommonColumnFileTypeString, RZMediaTypeReader::typeName(type));
  record.set(MediaDBMusicColumnDRMProperty, int32_t{0});
  record.set(MediaDBMusicColumnIsLicenseExpired, false);
  record.set(MediaDBMusicColumnHasLyrics, false);
  record.set(MediaDBMusicColumnPlayState, int32_t{0});
  record.set(MediaDBCommonColumnLinkError, false);
  record.set(MediaDBMusicColumnIsReadOnly, false);

  double duration = 0.0;
  if (isSupportMedia(mediaFilePath_, *file, duration)) {
    record.set(MediaDBCommonColumnReservedInt, int32_t{0});
    record.set(MediaDBMusicColumnPlayLength, truncateToInt32(duration));
  } else {
    record.set(MediaDBCommonColumnReservedInt, kNotMeasured);
  }
  return record;
}

bool RZBasicAudioParser::isSupportMedia(const std::string& path, const file::InputFile& file,
                                        double& duration) {
  const std::string extension = media::asciiLower(media::RZMediaTypeReader::extension(path));
  if (extension != "flac" && extension != "ogg") return false;
  const std::string source = file.procPath();
  const audio::StreamHandle stream =
      extension == "flac" ? audio::flacStreamCreateFile(false, source.c_str(), 0, 0, audio::kStreamAutoFree)
                          : audio::streamCreateFile(false, source.c_str(), 0, 0, audio::kStreamAutoFree);
  if (stream == 0) {
    log::line(log::format("bass load error = %d", audio::errorGetCode()));
    return false;
  }
  const uint64_t bytes = audio::channelGetLength(stream, audio::kLengthInBytes);
  duration = audio::channelBytes2Seconds(stream, bytes) + 1.0;
  audio::streamFree(stream);
  return true;
}

}  // namespace corvane::builders
