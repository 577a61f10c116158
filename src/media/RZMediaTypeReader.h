#pragma once

// Media type codes: which kind of file a path names, judged by its extension
// alone (the content is never looked at). A code's top byte is the category
// (0x01 audio, 0x02 video, 0x04 image) and its low 24 bits hold one format
// bit; 0 means "not recognised". Codes are compared whole, never bit by bit.
// The clients store these numbers, so they must never change.

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::media {

inline constexpr int32_t kMediaTypeUnknown = 0;

// Video.
inline constexpr int32_t kMediaTypeMOV = 0x02000020;
inline constexpr int32_t kMediaTypeAVI = 0x02000002;
inline constexpr int32_t kMediaTypeMP4 = 0x02020000;
inline constexpr int32_t kMediaTypeM4V = 0x02000010;
inline constexpr int32_t kMediaType3GP = 0x02004000;
inline constexpr int32_t kMediaTypeMPG = 0x02000001;
inline constexpr int32_t kMediaTypeMPEG = 0x02040000;
inline constexpr int32_t kMediaTypeSVI = 0x02000004;
inline constexpr int32_t kMediaTypeSMF = 0x02000040;
inline constexpr int32_t kMediaTypeWMV = 0x02000008;
inline constexpr int32_t kMediaTypeASF = 0x02001000;

// Audio.
inline constexpr int32_t kMediaTypeMP3 = 0x01000001;
inline constexpr int32_t kMediaTypeM4A = 0x01000020;
inline constexpr int32_t kMediaTypeWAV = 0x01000008;
inline constexpr int32_t kMediaTypeAAC = 0x01100000;
inline constexpr int32_t kMediaTypeAMR = 0x01000200;
inline constexpr int32_t kMediaTypeOGG = 0x01000004;
inline constexpr int32_t kMediaTypeFLAC = 0x01000040;  // both "flac" and "flc"
inline constexpr int32_t kMediaTypeMID = 0x01000800;
inline constexpr int32_t kMediaTypeIMY = 0x01002000;
inline constexpr int32_t kMediaType3GA = 0x01000080;
inline constexpr int32_t kMediaTypeWMA = 0x01000002;
inline constexpr int32_t kMediaTypeSMP = 0x01040000;
inline constexpr int32_t kMediaTypeDCF = 0x01080000;
inline constexpr int32_t kMediaTypeCDA = 0x01000100;
inline constexpr int32_t kMediaTypeRM = 0x01200000;

// Image.
inline constexpr int32_t kMediaTypeJPG = 0x04000001;
inline constexpr int32_t kMediaTypeJPEG = 0x04000400;
inline constexpr int32_t kMediaTypePNG = 0x04000008;
inline constexpr int32_t kMediaTypeGIF = 0x04000004;
inline constexpr int32_t kMediaTypeBMP = 0x04000002;
inline constexpr int32_t kMediaTypeWBMP = 0x04000100;
inline constexpr int32_t kMediaTypeTIF = 0x04000010;
inline constexpr int32_t kMediaTypeTIFF = 0x04000200;

// Stateless lookups; safe from any thread.
class RZMediaTypeReader {
 public:
  // The code of path's extension (case-insensitive), kMediaTypeUnknown when
  // the extension is missing or not known; the latter is logged.
  static int32_t type(std::string_view path);

  // The printable name of code ("MP3", "JPEG", ...), "UNKNOWN" for any value
  // that is not a known code (0 included).
  static std::string typeName(int32_t code);

  // The extension of path: the text after the last "." of its last component,
  // without the dot and unchanged in case; empty when there is none.
  static std::string_view extension(std::string_view path);
};

}  // namespace corvane::media
