#pragma once

// The ID3v2 tag at the start of an MP3 file, read by its real layout: the
// version's frame header form (v2.2 six bytes, v2.3/v2.4 ten), extended
// headers, tag-wide and per-frame unsynchronisation, v2.4 syncsafe frame
// sizes (and the plain sizes some writers put in v2.4 tags), and the extra
// bytes that frame flags announce.
//
// Everything but readLeadingTag works on bytes in memory and never reads
// outside them; nothing is allocated from a declared size before the bytes
// are known to be there. Pure functions: any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "media/Bytes.h"

namespace corvane::file {
class InputFile;
}

namespace corvane::id3 {

inline constexpr size_t kHeaderSize = 10;
// The largest body a tag header can announce: its size field holds 28 bits.
inline constexpr uint32_t kMaxBodySize = 0x0FFFFFFF;

// Tag header flags.
inline constexpr uint8_t kUnsynchronisedTag = 0x80;
inline constexpr uint8_t kExtendedHeader = 0x40;  // in v2.2: the whole tag is compressed
inline constexpr uint8_t kFooter = 0x10;          // v2.4
// The v2.4 frame format flag of an unsynchronised frame.
inline constexpr uint16_t kUnsynchronisedFrame = 0x0002;

struct TagHeader {
  int majorVersion = 0;  // 2, 3 or 4
  uint8_t flags = 0;
  uint32_t bodySize = 0;  // bytes after the header, footer excluded
  // Header, body and (v2.4) footer: the bytes the tag occupies in the file.
  uint64_t totalSize() const {
    return kHeaderSize + bodySize + (majorVersion == 4 && (flags & kFooter) ? kHeaderSize : 0);
  }
};

// The header at the start of bytes; none unless it is a well-formed ID3v2.2,
// 2.3 or 2.4 header.
std::optional<TagHeader> parseHeader(media::ByteSpan bytes);

// One frame as found in the body.
struct Frame {
  enum class Content {
    Plain,
    Compressed,  // data holds the zlib stream (see inflate)
    Unreadable,  // encrypted, or the extra bytes its flags announce are missing
  };

  std::string_view id;  // as stored: three characters in v2.2, four later
  uint16_t flags = 0;   // the two flag bytes as stored (v2.2 frames have none)
  // The bytes after the frame header as the tag holds them (a v2.2/v2.3
  // tag's tag-wide unsynchronisation already undone).
  media::ByteSpan stored;
  // The content: flag-announced extra bytes dropped and the frame's own
  // unsynchronisation undone; the stored bytes when Unreadable.
  media::ByteSpan data;
  Content content = Content::Plain;

  bool readable() const { return content == Content::Plain; }
};

// Calls visit for each frame of the body (the bytes after the header, as
// stored) in stored order, until padding, a malformed frame or the end. The
// frame's spans live only during the call.
void forEachFrame(const TagHeader& header, media::ByteSpan body,
                  const std::function<void(const Frame&)>& visit);

// The content of a Compressed frame; none for any other frame, or when the
// data does not inflate whole within maxBytes.
std::optional<media::Bytes> inflate(const Frame& frame, size_t maxBytes);

// bytes with every 0xFF 0x00 pair turned back into 0xFF.
media::Bytes removeUnsynchronisation(media::ByteSpan bytes);

// The v2.3 id of a v2.2 frame id; empty when the id has no v2.3 form.
std::string_view v23Id(std::string_view v22Id);

// The tag at the start of a file: its header and its body as stored (cut
// short where the file ends).
struct StoredTag {
  TagHeader header;
  media::Bytes body;

  void forEachFrame(const std::function<void(const Frame&)>& visit) const {
    id3::forEachFrame(header, body, visit);
  }
};

// The leading tag of file; none when the file does not start with one or
// cannot be read.
std::optional<StoredTag> readLeadingTag(const file::InputFile& file);

}  // namespace corvane::id3
