#include "platform/exif/ExifData.h"

#include <libexif/exif-loader.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "media/Text.h"

namespace corvane::exif {

namespace {

struct ExifLoaderUnref {
  void operator()(ExifLoader* loader) const { exif_loader_unref(loader); }
};

// The loader asks for more until it has the block or knows there is none;
// a JPEG's EXIF block comes within its first 64 KB or so.
constexpr size_t kChunkBytes = 4096;
// libexif renders a value into a caller's buffer of this size.
constexpr size_t kValueBufferSize = 1024;

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

}  // namespace

ExifDataPtr load(const file::InputFile& file) {
  const std::unique_ptr<ExifLoader, ExifLoaderUnref> loader(exif_loader_new());
  if (!loader) return nullptr;
  for (uint64_t offset = 0;;) {
    std::optional<media::Bytes> chunk = file.readSome(offset, kChunkBytes);
    if (!chunk) return nullptr;
    if (chunk->empty()) break;
    if (!exif_loader_write(loader.get(), chunk->data(), static_cast<unsigned int>(chunk->size()))) {
      break;
    }
    offset += chunk->size();
  }
  return ExifDataPtr(exif_loader_get_data(loader.get()));
}

ExifDataPtr load(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return nullptr;
  const auto size = static_cast<unsigned int>(std::min<size_t>(bytes.size(), UINT_MAX));
  return ExifDataPtr(exif_data_new_from_data(bytes.data(), size));
}

ExifDataPtr loadAsStored(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return nullptr;
  ExifDataPtr data(exif_data_new());
  if (!data) return nullptr;
  exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(data.get(), bytes.data(),
                      static_cast<unsigned int>(std::min<size_t>(bytes.size(), UINT_MAX)));
  return data;
}

std::optional<std::string> valueText(ExifEntry* entry) {
  std::array<char, kValueBufferSize> buffer{};
  if (exif_entry_get_value(entry, buffer.data(), static_cast<unsigned int>(buffer.size())) == nullptr) {
    return std::nullopt;
  }
  std::string text(buffer.data(), strnlen(buffer.data(), buffer.size()));
  if (!media::isValidUtf8(text)) return std::nullopt;
  return text;
}

std::optional<media::Date> parseDateTime(std::string_view text) {
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

}  // namespace corvane::exif
