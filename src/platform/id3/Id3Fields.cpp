#include "platform/id3/Id3Fields.h"

#include "media/Genre.h"
#include "media/Text.h"

namespace corvane::id3 {
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

// The offset just past the string that starts at start, or start itself
// when the string has no terminator.
size_t skipString(std::string_view data, size_t start, uint8_t encoding) {
  const size_t end = findTerminator(data, start, encoding);
  if (end == std::string_view::npos) return start;
  return end + (isUtf16(encoding) ? 2 : 1);
}

}  // namespace

std::optional<EncodedText> readTextField(std::string_view content, FieldLayout layout) {
  if (content.empty()) return std::nullopt;
  EncodedText text;
  text.encoding = static_cast<uint8_t>(content[0]);
  size_t start = 1;
  if (layout == FieldLayout::kComment) {
    constexpr size_t kDescriptionStart = 1 + 3;  // past the language
    if (content.size() < kDescriptionStart) return std::nullopt;
    start = skipString(content, kDescriptionStart, text.encoding);
    if (start == kDescriptionStart) return std::nullopt;  // no text after the description
  }
  const size_t end = findTerminator(content, start, text.encoding);
  std::string_view bytes = content.substr(start, end == std::string_view::npos ? end : end - start);
  if (isUtf16(text.encoding) && bytes.size() % 2 != 0) bytes.remove_suffix(1);  // a cut last unit
  text.bytes = std::string(bytes);
  return text;
}

std::string decodeText(const EncodedText& text) {
  switch (text.encoding) {
    case kUtf16WithBom:
    case kUtf16BigEndian: {
      const auto order =
          text.encoding == kUtf16BigEndian ? media::ByteOrder::BigEndian : media::ByteOrder::LittleEndian;
      return media::utf16ToUtf8(text.bytes, order, media::BadSurrogate::Replace).value_or(std::string());
    }
    case kLatin1:
      return media::legacy8BitToUtf8(text.bytes);
    default: {
      const std::string_view bytes = std::string_view(text.bytes).substr(0, text.bytes.find('\0'));
      return media::isValidUtf8(bytes) ? std::string(bytes) : media::latin1ToUtf8(bytes);
    }
  }
}

std::string genreFromContentType(const std::string& text) {
  const int32_t number = media::getGenreNo(std::string_view(text));
  if (number < 0) return text;
  return media::getGenreName(number % media::kGenreCount).value_or(text);
}

std::optional<media::ByteSpan> pictureData(media::ByteSpan content, bool v22PictureFrame) {
  constexpr size_t kMinimum = 5;
  if (content.size() < kMinimum) return std::nullopt;
  const std::string_view data(reinterpret_cast<const char*>(content.data()), content.size());
  const auto encoding = static_cast<uint8_t>(data[0]);
  constexpr size_t kImageFormatSize = 3;
  size_t pos = v22PictureFrame ? 1 + kImageFormatSize : skipString(data, 1, kLatin1);
  if (pos + 1 >= data.size()) return std::nullopt;
  pos = skipString(data, pos + 1, encoding);  // past the picture type and the description
  return content.subspan(pos);
}

}  // namespace corvane::id3
