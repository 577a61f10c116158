#include "builders/Id3Text.h"

#include <iconv.h>

#include <cerrno>
#include <limits>
#include <memory>

#include "media/Genre.h"
#include "media/Utf8.h"

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

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  // A byte-order mark names the order, whatever the encoding code said.
  if (bytes.size() >= 2) {
    const auto b0 = static_cast<uint8_t>(bytes[0]), b1 = static_cast<uint8_t>(bytes[1]);
    if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF)) {
      bigEndian = b0 == 0xFE;
      bytes.remove_prefix(2);
    }
  }
  auto unitAt = [&](size_t i) -> char32_t {
    const auto a = static_cast<uint8_t>(bytes[i]), b = static_cast<uint8_t>(bytes[i + 1]);
    return bigEndian ? char32_t(a << 8 | b) : char32_t(b << 8 | a);
  };
  constexpr char32_t kReplacement = 0xFFFD;
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char32_t unit = unitAt(i);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      const char32_t low = unitAt(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    appendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : unit);
  }
  return out;
}

struct IconvClose {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

// bytes as code page 949, strictly: none on any invalid or cut sequence.
std::optional<std::string> cp949ToUtf8(std::string_view bytes) {
  const iconv_t cd = iconv_open("UTF-8", "CP949");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  const std::unique_ptr<void, IconvClose> owner(cd);
  // A CP949 character of one or two bytes takes at most three in UTF-8.
  std::string out(bytes.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(bytes.data());  // iconv's signature; it only reads
  size_t inLeft = bytes.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) {
    return std::nullopt;
  }
  out.resize(out.size() - outLeft);
  return out;
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
      decoded = utf16ToUtf8(text.bytes, /*bigEndian=*/false);
      break;
    case kUtf16BigEndian:
      decoded = utf16ToUtf8(text.bytes, /*bigEndian=*/true);
      break;
    case kLatin1:
      decoded = decodeLegacyText(text.bytes);
      break;
    default: {
      const std::string_view bytes = std::string_view(text.bytes).substr(0, text.bytes.find('\0'));
      decoded = media::isValidUtf8(bytes) ? std::string(bytes) : media::latin1ToUtf8(bytes);
    }
  }
  return media::toValidUtf8(decoded);
}

std::string decodeLegacyText(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  if (auto korean = cp949ToUtf8(bytes); korean && !korean->empty()) return *korean;
  return media::latin1ToUtf8(bytes);
}

int32_t leadingInteger(std::string_view text) {
  size_t i = 0;
  auto isBlank = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  };
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulated as a magnitude in 64 bits and clamped once it passes the range.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min<int64_t>(magnitude * 10 + (text[i] - '0'), kLimit);
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(std::min<int64_t>(magnitude, kLimit - 1));
}

std::string genreFromContentType(const std::string& text) {
  const int32_t number = media::getGenreNo(std::string_view(text));
  if (number < 0) return text;
  return media::getGenreName(number % media::kGenreCount).value_or(text);
}

}  // namespace corvane::builders::id3
