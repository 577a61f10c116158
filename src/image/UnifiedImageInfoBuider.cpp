// The picture service (UnifiedImageInfoBuilder) and its EXIF entry callbacks.
// The file keeps its historical module name "UnifiedImageInfoBuider": log
// filters on the client side match the located line by it.

#include <memory>
#include <optional>
#include <string_view>

#include "image/NSImageExtension.h"
#include "image/UnifiedImageInfoBuilder.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/PathNames.h"
#include "media/RZMediaTypeReader.h"
#include "platform/exif/ExifData.h"
#include "platform/file/InputFile.h"
#include "platform/imaging/Picture.h"

namespace corvane::image {

namespace {

constexpr std::string_view kModule = "UnifiedImageInfoBuider";
// The line number the located line has always carried; clients match on it.
constexpr int kInvalidArgumentsLine = 149;
// The key of the EXIF orientation text is not a catalogue column.
constexpr const char* kOrientationKey = "Orientation";

// EXIF tags the builder reads.
constexpr ExifTag kTagModel = static_cast<ExifTag>(0x0110);
constexpr ExifTag kTagOrientation = static_cast<ExifTag>(0x0112);
constexpr ExifTag kTagDateTime = static_cast<ExifTag>(0x0132);
constexpr ExifTag kTagArtist = static_cast<ExifTag>(0x013B);
constexpr ExifTag kTagXpComment = static_cast<ExifTag>(0x9C9C);

}  // namespace

namespace photo_exif {

void dataForeachContent(ExifContent* content, void* record) {
  exif_content_foreach_entry(content, contentForeachEntry, record);
}

void contentForeachEntry(ExifEntry* entry, void* arg) {
  if (entry == nullptr || arg == nullptr) {
    log::located(kModule, "contentForeachEntry", kInvalidArgumentsLine,
                 log::format("invalid arguments entry(%p), arg(%p)", static_cast<void*>(entry), arg));
    return;
  }
  auto& record = *static_cast<media::MediaRecord*>(arg);
  const char* textKey = nullptr;
  switch (static_cast<unsigned>(entry->tag)) {
    case kTagModel:
      textKey = media::MediaDBPhotoColumnCameraModel;
      break;
    case kTagArtist:
      textKey = media::MediaDBPhotoColumnCreator;
      break;
    case kTagXpComment:
      textKey = media::MediaDBPhotoColumnDescription;
      break;
    case kTagOrientation:
      textKey = kOrientationKey;
      break;
    case kTagDateTime: {
      // No size test here: the length of the rendered text decides.
      const auto text = exif::valueText(entry);
      if (!text) return;
      if (const auto date = exif::parseDateTime(*text))
        record.set(media::MediaDBPhotoColumnDatePictured, *date);
      return;
    }
    default:
      return;
  }
  // One byte is an empty ASCII string: no value worth a key.
  if (entry->size < 2) return;
  if (auto text = exif::valueText(entry)) record.set(textKey, std::move(*text));
}

void readInto(ExifData* data, media::MediaRecord& record) {
  if (data != nullptr) exif_data_foreach_content(data, dataForeachContent, &record);
}

}  // namespace photo_exif

namespace {

// The file name without its extension.
std::string withoutExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string::npos || dot == 0) return name;
  return name.substr(0, dot);
}

// The picture file, opened once for everything the service reads of it. Only
// a regular file (or a link to one) opens: a FIFO would wait for a writer and
// hang the service, and a device is no picture.
std::shared_ptr<const file::InputFile> openPicture(const std::string& path) {
  std::optional<file::InputFile> opened = file::InputFile::open(path);
  if (!opened) return nullptr;
  return std::make_shared<const file::InputFile>(std::move(*opened));
}

}  // namespace

std::optional<media::MediaRecord> UnifiedImageInfoBuilder::build(const std::string& path) {
  const std::shared_ptr<const file::InputFile> file = openPicture(path);
  if (!file) return std::nullopt;
  // Decoded once: the same picture gives the size and the thumbnail.
  const std::optional<imaging::Picture> picture = imaging::Picture::fromFile(file);
  if (!picture) return std::nullopt;
  const int width = picture->pixelsWide();
  const int height = picture->pixelsHigh();
  // A link is followed: size and dates are those of the picture itself.
  const file::FileFacts facts = file->facts();

  media::MediaRecord record;
  const std::string fileName = media::lastPathComponent(path);
  record.set(media::MediaDBCommonColumnFilePath, path);
  record.set(media::MediaDBCommonColumnFileName, fileName);
  record.set(media::MediaDBCommonColumnIsManaged, false);
  record.set(media::MediaDBPhotoColumnDateAdded, media::Date::now());
  if (facts.size) record.set(media::MediaDBCommonColumnFileSize, *facts.size);

  const int32_t type = media::RZMediaTypeReader::type(path);
  record.set(media::MediaDBCommonColumnMediaType, type);
  record.set(media::MediaDBCommonColumnFileTypeString, media::RZMediaTypeReader::typeName(type));
  record.set(media::MediaDBPhotoColumnTitle, withoutExtension(fileName));

  // Only "jpg" files are read for EXIF; "jpeg" and the rest are not.
  if (type == media::kMediaTypeJPG) photo_exif::readInto(exif::load(*file).get(), record);

  if (auto thumbnail = makeThumbnailForContentCategory(*picture, kContentPhoto)) {
    record.set(media::MediaDBPhotoColumnImage, std::move(*thumbnail));
  }
  record.set(media::MediaDBPhotoColumnWidth, int32_t{width});
  record.set(media::MediaDBPhotoColumnHeight, int32_t{height});
  record.set(media::MediaDBPhotoColumnRating, int32_t{0});
  record.set(media::MediaDBPhotoColumnIsChecked, false);
  if (facts.modified) record.set(media::MediaDBPhotoColumnDateModified, *facts.modified);
  if (facts.created) record.set(media::MediaDBPhotoColumnDateCreated, *facts.created);
  record.set(media::MediaDBCommonColumnLinkError, false);
  return record;
}

std::optional<ThumbnailDescription> UnifiedImageInfoBuilder::makeThumbnail(const std::string& path,
                                                                           float maxWidth, float maxHeight) {
  const std::shared_ptr<const file::InputFile> file = openPicture(path);
  if (!file) return std::nullopt;
  const std::optional<imaging::Picture> picture = imaging::Picture::fromFile(file);
  if (!picture) return std::nullopt;
  auto data = makeThumbnailForContentCategory(*picture, kContentPhoto, maxWidth, maxHeight);
  if (!data) return std::nullopt;
  return ThumbnailDescription{std::move(*data), static_cast<float>(picture->pixelsWide()),
                              static_cast<float>(picture->pixelsHigh())};
}

}  // namespace corvane::image
