// The picture service (UnifiedImageInfoBuilder) and its EXIF entry callbacks.
// The file keeps its historical module name "UnifiedImageInfoBuider": log
// filters on the client side match the located line by it.

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>

#include "image/NSImageExtension.h"
#include "image/UnifiedImageInfoBuilder.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/PathNames.h"
#include "media/RZMediaTypeReader.h"
#include "media/Text.h"
#include "platform/imaging/Picture.h"

namespace corvane::image {

namespace {

constexpr std::string_view kModule = "UnifiedImageInfoBuider";
// The line number the located line has always carried; clients match on it.
constexpr int kInvalidArgumentsLine = 149;
// libexif renders a value into a caller's buffer of this size.
constexpr size_t kValueBufferSize = 1024;
// The key of the EXIF orientation text is not a catalogue column.
constexpr const char* kOrientationKey = "Orientation";

// EXIF tags the builder reads.
constexpr ExifTag kTagModel = static_cast<ExifTag>(0x0110);
constexpr ExifTag kTagOrientation = static_cast<ExifTag>(0x0112);
constexpr ExifTag kTagDateTime = static_cast<ExifTag>(0x0132);
constexpr ExifTag kTagArtist = static_cast<ExifTag>(0x013B);
constexpr ExifTag kTagXpComment = static_cast<ExifTag>(0x9C9C);

// Owns an ExifData for the length of one build.
struct ExifDataRelease {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};
using ExifDataPtr = std::unique_ptr<ExifData, ExifDataRelease>;

// The value of entry as libexif renders it, when that text is valid UTF-8.
std::optional<std::string> renderedText(ExifEntry* entry) {
  std::array<char, kValueBufferSize> buffer{};
  if (!exif_entry_get_value(entry, buffer.data(), static_cast<unsigned int>(buffer.size()))) {
    return std::nullopt;
  }
  buffer.back() = '\0';  // a terminator whatever the renderer did
  std::string text(buffer.data());
  if (!media::isValidUtf8(text)) return std::nullopt;
  return text;
}

bool isDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return !text.empty();
}

int number(std::string_view digits) {
  int value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
  static constexpr std::array<int, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[static_cast<size_t>(month - 1)];
}

// "yyyy:MM:dd HH:mm:ss" in the service's time zone, strictly: every field two
// or four digits within its range, nothing before or after.
std::optional<media::Date> parseExifDateTime(std::string_view text) {
  if (text.size() != 19 || text[4] != ':' || text[7] != ':' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':') {
    return std::nullopt;
  }
  const std::string_view fields[] = {text.substr(0, 4),  text.substr(5, 2),  text.substr(8, 2),
                                     text.substr(11, 2), text.substr(14, 2), text.substr(17, 2)};
  for (std::string_view field : fields) {
    if (!isDigits(field)) return std::nullopt;
  }
  const int year = number(fields[0]), month = number(fields[1]), day = number(fields[2]);
  const int hour = number(fields[3]), minute = number(fields[4]), second = number(fields[5]);
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // let the time zone rules decide
  errno = 0;
  const std::time_t seconds = std::mktime(&local);
  if (seconds == static_cast<std::time_t>(-1) && errno != 0) return std::nullopt;
  return media::Date::fromSeconds(static_cast<int64_t>(seconds));
}

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
      const auto text = renderedText(entry);
      if (!text) return;
      if (const auto date = parseExifDateTime(*text))
        record.set(media::MediaDBPhotoColumnDatePictured, *date);
      return;
    }
    default:
      return;
  }
  // One byte is an empty ASCII string: no value worth a key.
  if (entry->size < 2) return;
  if (auto text = renderedText(entry)) record.set(textKey, std::move(*text));
}

void readInto(ExifData* data, media::MediaRecord& record) {
  if (data != nullptr) exif_data_foreach_content(data, dataForeachContent, &record);
}

}  // namespace photo_exif

namespace {

// What the file system says about a path itself (a link is not followed).
struct FileFacts {
  std::optional<uint64_t> size;
  std::optional<media::Date> modified;
  std::optional<media::Date> created;  // only where the file system keeps a birth time
};

media::Date toDate(const struct statx_timestamp& t) {
  return media::Date::fromSeconds(static_cast<int64_t>(t.tv_sec), static_cast<int64_t>(t.tv_nsec));
}

FileFacts readFileFacts(const std::string& path) {
  FileFacts facts;
  struct statx sx {};
  const unsigned mask = STATX_SIZE | STATX_MTIME | STATX_BTIME;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, &sx) == 0) {
    if (sx.stx_mask & STATX_SIZE) facts.size = sx.stx_size;
    if (sx.stx_mask & STATX_MTIME) facts.modified = toDate(sx.stx_mtime);
    if (sx.stx_mask & STATX_BTIME) facts.created = toDate(sx.stx_btime);
    return facts;
  }
  // Kernels without statx still give size and modification time.
  struct stat st {};
  if (errno == ENOSYS && lstat(path.c_str(), &st) == 0) {
    facts.size = static_cast<uint64_t>(st.st_size);
    facts.modified = media::Date::fromSeconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  }
  return facts;
}

// The file name without its extension.
std::string withoutExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string::npos || dot == 0) return name;
  return name.substr(0, dot);
}

// Only regular files (or links to them) are opened: opening a FIFO would wait
// for a writer and hang the service, and a device is no picture.
bool isRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void addExifFields(const std::string& path, media::MediaRecord& record) {
  ExifDataPtr data(exif_data_new_from_file(path.c_str()));
  photo_exif::readInto(data.get(), record);
}

}  // namespace

std::optional<media::MediaRecord> UnifiedImageInfoBuilder::build(const std::string& path) {
  if (!isRegularFile(path)) return std::nullopt;
  // Decoded once: the same picture gives the size and the thumbnail.
  const std::optional<imaging::Picture> picture = imaging::Picture::fromFile(path);
  if (!picture) return std::nullopt;
  const int width = picture->pixelsWide();
  const int height = picture->pixelsHigh();
  const FileFacts facts = readFileFacts(path);

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
  if (type == media::kMediaTypeJPG) addExifFields(path, record);

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
  if (!isRegularFile(path)) return std::nullopt;
  const std::optional<imaging::Picture> picture = imaging::Picture::fromFile(path);
  if (!picture) return std::nullopt;
  auto data = makeThumbnailForContentCategory(*picture, kContentPhoto, maxWidth, maxHeight);
  if (!data) return std::nullopt;
  return ThumbnailDescription{std::move(*data), static_cast<float>(picture->pixelsWide()),
                              static_cast<float>(picture->pixelsHigh())};
}

}  // namespace corvane::image
