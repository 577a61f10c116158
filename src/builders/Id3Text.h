#pragma once

// Reading the texts of ID3 frames from their raw field bytes, by the frame's
// text-encoding byte. Kept apart from the builder so that it can be tested and
// fuzzed on bytes alone.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::builders::id3 {

// ID3v2 text-encoding codes.
enum TextEncoding : uint8_t { kLatin1 = 0, kUtf16WithBom = 1, kUtf16BigEndian = 2, kUtf8 = 3 };

// The first string of a frame's text field, still encoded.
struct EncodedText {
  uint8_t encoding = kLatin1;
  // The string's bytes without terminator: up to the first zero byte for
  // the 8-bit codes, up to the first zero unit (two aligned zero bytes) for
  // the UTF-16 codes.
  std::string bytes;
};

// The frame kinds whose field layout differs.
enum class FieldLayout {
  kText,     // encoding, text [, more texts]          (T*** frames)
  kComment,  // encoding, language(3), description, text (COMM)
};

// The first text of a frame's field data (the bytes after the frame header);
// none when the data holds no text field (empty, or a comment cut before its
// text).
std::optional<EncodedText> readTextField(std::string_view fieldData, FieldLayout layout);

// The text as UTF-8, by its encoding:
//   0  code page 949 (strictly), else ISO-8859-1 when that fails or is empty;
//   1  UTF-16 after its byte-order mark; little-endian when it has none;
//   2  UTF-16 big-endian (a byte-order mark, if present, wins);
//   3 and any other code: UTF-8 up to the first zero byte, else the same
//      bytes as ISO-8859-1.
// Unpaired UTF-16 surrogates become U+FFFD. none only when no rule gives a
// text.
std::optional<std::string> decodeText(const EncodedText& text);

// The catalogue genre of a content-type text: "(17)" and the like name a
// genre of the classic list (the number taken modulo its length), anything
// else is the genre itself.
std::string genreFromContentType(const std::string& text);

}  // namespace corvane::builders::id3
