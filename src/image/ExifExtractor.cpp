#include "image/ExifExtractor.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string_view>

#include "media/Log.h"
#include "media/Text.h"
#include "platform/exif/ExifData.h"
#include "platform/file/InputFile.h"

namespace corvane::image {
namespace {

constexpr int kInvalidArgumentsLine = 14;  // the line number the log line has always carried
constexpr int32_t kRedEyeMinimumVersion = 220;
constexpr uint16_t kRedEyeBit = 0x40;

using TextSetter = void (RZExifInfo::*)(RZExifInfo::Text);

// Tags whose value text goes straight into one field.
struct PlainTag {
  ExifTag tag;
  TextSetter set;
};
constexpr PlainTag kPlainTags[] = {
    {EXIF_TAG_MAKE, &RZExifInfo::setVendor},
    {EXIF_TAG_MODEL, &RZExifInfo::setModel},
    {EXIF_TAG_ORIENTATION, &RZExifInfo::setOrientation},
    {EXIF_TAG_FNUMBER, &RZExifInfo::setF_value},
    {EXIF_TAG_EXPOSURE_PROGRAM, &RZExifInfo::setExposureProgram},
    {EXIF_TAG_ISO_SPEED_RATINGS, &RZExifInfo::setIso},
    {EXIF_TAG_SHUTTER_SPEED_VALUE, &RZExifInfo::setShutterSpeed},
    {EXIF_TAG_EXPOSURE_BIAS_VALUE, &RZExifInfo::setExposureBias},
    {EXIF_TAG_MAX_APERTURE_VALUE, &RZExifInfo::setMaxAperture},
    {EXIF_TAG_METERING_MODE, &RZExifInfo::setMeteringMode},
    {EXIF_TAG_FOCAL_LENGTH, &RZExifInfo::setFocalLength},
    {EXIF_TAG_COLOR_SPACE, &RZExifInfo::setColorSpace},
    {EXIF_TAG_FLASH_ENERGY, &RZExifInfo::setFlashMode},  // the flash energy, despite the field's name
    {EXIF_TAG_WHITE_BALANCE, &RZExifInfo::setWhiteBalance},
    {EXIF_TAG_SCENE_CAPTURE_TYPE, &RZExifInfo::setSceneCaptureType},
};

TextSetter plainSetterFor(ExifTag tag) {
  for (const PlainTag& entry : kPlainTags) {
    if (entry.tag == tag) return entry.set;
  }
  return nullptr;
}

bool isMapped(ExifTag tag) {
  return plainSetterFor(tag) != nullptr || tag == EXIF_TAG_DATE_TIME || tag == EXIF_TAG_EXIF_VERSION ||
         tag == EXIF_TAG_FLASH;
}

size_t characterCount(std::string_view utf8) {
  size_t count = 0;
  for (unsigned char c : utf8) count += (c & 0xC0) != 0x80;
  return count;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The raw bytes read as a decimal number the way atoi reads text, but never
// past size: the bytes of an EXIF value carry no terminator.
int32_t leadingNumber(const unsigned char* bytes, size_t size) {
  if (bytes == nullptr) return 0;
  size_t i = 0;
  while (i < size && (bytes[i] == ' ' || (bytes[i] >= '\t' && bytes[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < size && (bytes[i] == '+' || bytes[i] == '-')) negative = bytes[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < size && isDigit(static_cast<char>(bytes[i])); ++i) {
    value = std::min(value * 10 + (bytes[i] - '0'), kLimit);  // saturate instead of overflowing
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(std::min(value, kLimit - 1));
}

// The 16-bit Flash value in the block's byte order; none when the entry is
// too short or not attached to a block.
std::optional<uint16_t> flashValue(const ExifEntry* entry) {
  if (entry->data == nullptr || entry->size < 2) return std::nullopt;
  if (entry->parent == nullptr || entry->parent->parent == nullptr) return std::nullopt;
  return exif_get_short(entry->data, exif_data_get_byte_order(entry->parent->parent));
}

void applyDateTime(RZExifInfo& record, const RZExifInfo::Text& text) {
  if (!text || characterCount(*text) != 19) return;  // other lengths leave the date as it was
  record.setDate(exif::parseDateTime(*text));
}

void applyExifVersion(RZExifInfo& record, const ExifEntry* entry, RZExifInfo::Text text) {
  record.setVersion(std::move(text));
  record.setVersionNumber(leadingNumber(entry->data, entry->size));
}

void applyFlash(RZExifInfo& record, const ExifEntry* entry, RZExifInfo::Text text) {
  record.setFlash(std::move(text));
  // Only an EXIF version seen before this entry tells whether the bit means red-eye reduction.
  if (record.versionNumber() < kRedEyeMinimumVersion) return;
  const std::optional<uint16_t> value = flashValue(entry);
  if (!value) return;
  record.setRedEyeReduction((*value & kRedEyeBit) != 0 ? "Red-eye reduction supported"
                                                       : "No red-eye reduction mode or unknown");
}

}  // namespace

std::optional<RZExifInfo> ExifExtractor::extractExif(const std::string& path) {
  // Only a regular file is read (a FIFO or a device is refused at the open).
  const std::optional<file::InputFile> file = file::InputFile::open(path);
  if (!file) return std::nullopt;
  const exif::ExifDataPtr data = exif::load(*file);
  if (!data) return std::nullopt;
  RZExifInfo record;
  exif_data_foreach_content(data.get(), exif_record::dataForeachContent, &record);
  return record;
}

namespace exif_record {

void dataForeachContent(ExifContent* content, void* record) {
  exif_content_foreach_entry(content, contentForeachEntry, record);
}

void contentForeachEntry(ExifEntry* entry, void* arg) {
  if (entry == nullptr || arg == nullptr) {
    log::located("ExifExtractor", "contentForeachEntry", kInvalidArgumentsLine,
                 log::format("invalid arguments entry(%p), arg(%p)", static_cast<void*>(entry), arg));
    return;
  }
  if (!isMapped(entry->tag)) return;
  RZExifInfo& record = *static_cast<RZExifInfo*>(arg);
  RZExifInfo::Text text = exif::valueText(entry);
  switch (entry->tag) {
    case EXIF_TAG_DATE_TIME:
      applyDateTime(record, text);
      break;
    case EXIF_TAG_EXIF_VERSION:
      applyExifVersion(record, entry, std::move(text));
      break;
    case EXIF_TAG_FLASH:
      applyFlash(record, entry, std::move(text));
      break;
    default:
      (record.*plainSetterFor(entry->tag))(std::move(text));
      break;
  }
}

}  // namespace exif_record

}  // namespace corvane::image
