#pragma once

// The fields of ID3v2 frame contents as the service reads them: the first
// text of a text or comment frame by its text-encoding byte, the genre of a
// content-type text, and the image bytes of an attached picture. Texts are
// decoded through media/Text.h, so that every text leaving here is valid
// UTF-8. Pure functions: any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "media/Bytes.h"

namespace corvane::id3 {

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

// The first text of a frame's content; none when the content holds no text
// field (empty, or a comment cut before its text).
std::optional<EncodedText> readTextField(std::string_view content, FieldLayout layout);

// The text as UTF-8, by its encoding:
//   0  code page 949 (strictly), else ISO-8859-1 when that fails or is empty;
//   1  UTF-16 after its byte-order mark; little-endian when it has none;
//   2  UTF-16 big-endian (a byte-order mark, if present, wins);
//   3 and any other code: UTF-8 up to the first zero byte, else the same
//      bytes as ISO-8859-1.
// Unpaired UTF-16 surrogates become U+FFFD.
std::string decodeText(const EncodedText& text);

// The catalogue genre of a content-type text: "(17)" and the like name a
// genre of the classic list (the number taken modulo its length), anything
// else is the genre itself.
std::string genreFromContentType(const std::string& text);

// The image bytes of an attached picture's content (APIC; v2.2 PIC when
// v22PictureFrame): whatever follows the MIME type or image format, the
// picture type and the description. An unterminated MIME type or
// description is taken to be empty. None when the content is too short to
// hold a picture.
std::optional<media::ByteSpan> pictureData(media::ByteSpan content, bool v22PictureFrame);

}  // namespace corvane::id3
