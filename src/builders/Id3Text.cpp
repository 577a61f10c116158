#include "builders/Id3Text.h"

#include "media/Genre.h"
#include "media/Text.h"

namespace corvane::builders::id3 {

namespace {

bool isUtf16(uint8_t encoding) { return encoding == kUtf16WithBom || encoding == kUtf16BigEndian; }

// Offset of the first terminator at or after start (a zero byte, or a zero
// unit aligned to start for UTF-16); npos when there is none.
size_t findTerminator(std::string_view data, size_t start, uint8_t encoding) {
  if (!isUtf16(encoding)) return data.find('\0', start);
  for (size_t i = start; i + 1 < data.size(); i += 2) {
    if (data[i] == '\0' && data[i + 1] == '\0') return i;
  }
  return std::string_view::npos;
}

// The string that starts at start: up to its terminator or the end.
std::string stringAt(std::string_view data, size_t start, uint8_t encoding) {
  const size_t end = findTerminator(data, start, encoding);
  std::string_view text =
      data.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
  if (isUtf16(encoding) && text.size() % 2 != 0) text.remove_suffix(1);  // a cut last unit
  return std::string(text);
}

}  // namespace

std::optional<EncodedText> readTextField(std::string_view fieldData, FieldLayout layout) {
  if (fieldData.empty()) return std::nullopt;
  EncodedText text;
  text.encoding = static_cast<uint8_t>(fieldData[0]);
  size_t start = 1;
  if (layout == FieldLayout::kComment) {
    constexpr size_t kLanguageSize = 3;
    const size_t descriptionStart = 1 + kLanguageSize;
    if (fieldData.size() < descriptionStart) return std::nullopt;
    const size_t end = findTerminator(fieldData, descriptionStart, text.encoding);
    if (end == std::string_view::npos) return std::nullopt;  // no text after the description
    start = end + (isUtf16(text.encoding) ? 2 : 1);
  }
  text.bytes = stringAt(fieldData, start, text.encoding);
  return text;
}

std::optional<std::string> decodeText(const EncodedText& text) {
  std::string decoded;
  switch (text.encoding) {
    case kUtf16WithBom:
    case kUtf16BigEndian: {
      const auto order =
          text.encoding == kUtf16BigEndian ? media::ByteOrder::BigEndian : media::ByteOrder::LittleEndian;
      decoded = media::utf16ToUtf8(text.bytes, order, media::BadSurrogate::Replace).value_or(std::string());
      break;
    }
    case kLatin1:
      decoded = media::legacy8BitToUtf8(text.bytes);
      break;
    default: {
      const std::string_view bytes = std::string_view(text.bytes).substr(0, text.bytes.find('\0'));
      decoded = media::isValidUtf8(bytes) ? std::string(bytes) : media::latin1ToUtf8(bytes);
    }
  }
  return media::toValidUtf8(decoded);
}

std::string genreFromContentType(const std::string& text) {
  const int32_t number = media::getGenreNo(std::string_view(text));
  if (number < 0) return text;
  return media::getGenreName(number % media::kGenreCount).value_or(text);
}

}  // namespace corvane::builders::id3
