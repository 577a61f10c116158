#pragma once

// Splits MP4 bytes into boxes ("atoms"): a 32-bit big-endian size, a
// four-character type, then the payload. Size 1 means a 64-bit size follows
// the type; size 0 means the box runs to the end of its container.
//
// Everything here works on bytes already in memory and never reads outside
// them: a header that is short, declares less than its own length or more
// than its container holds ends the walk at that point. Nothing is allocated
// from a declared size.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

namespace corvane::mp4 {

using ByteSpan = std::span<const uint8_t>;
using FourCC = uint32_t;

// 'abcd' as a number; the text must have exactly four characters.
constexpr FourCC fourcc(const char (&text)[5]) {
  return (static_cast<FourCC>(static_cast<uint8_t>(text[0])) << 24) |
         (static_cast<FourCC>(static_cast<uint8_t>(text[1])) << 16) |
         (static_cast<FourCC>(static_cast<uint8_t>(text[2])) << 8) |
         static_cast<FourCC>(static_cast<uint8_t>(text[3]));
}

// The four raw bytes of a code ("\xA9nam" stays four bytes).
std::string fourccText(FourCC code);

// Walks deeper than this are refused: real files nest about ten levels.
inline constexpr int kMaxBoxDepth = 32;

// Bounds-checked big-endian reads. A read past the end yields 0 and sets the
// cursor to failed; later reads keep failing.
class ByteCursor {
 public:
  explicit ByteCursor(ByteSpan bytes) : bytes_(bytes) {}

  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  uint64_t u64();
  void skip(size_t count);
  // The next count bytes; empty (and the cursor failed) when fewer are left.
  ByteSpan take(size_t count);

  bool ok() const { return ok_; }
  size_t position() const { return position_; }
  size_t remaining() const { return bytes_.size() - position_; }
  ByteSpan rest() const { return bytes_.subspan(position_); }

 private:
  bool has(size_t count);
  uint64_t bigEndian(size_t count);

  ByteSpan bytes_;
  size_t position_ = 0;
  bool ok_ = true;
};

// The header of one box: what its first 8 or 16 bytes say.
struct BoxHeader {
  FourCC type = 0;
  uint64_t headerSize = 0;  // 8, or 16 with a 64-bit size
  uint64_t size = 0;        // whole box, header included
};

// The header at the start of head (which holds at least the first 16 bytes
// of the box when that many remain), for a box that may use at most
// `available` bytes. None when the header is short or its size is below the
// header's own length or beyond `available`. Size 0 becomes `available`.
std::optional<BoxHeader> parseBoxHeader(ByteSpan head, uint64_t available);

struct Box {
  FourCC type = 0;
  size_t offset = 0;  // of the header, within the bytes the reader was given
  ByteSpan payload;   // the bytes after the header
};

// The boxes of one container, in order.
class BoxReader {
 public:
  explicit BoxReader(ByteSpan bytes) : bytes_(bytes) {}

  // The next box; none at the end or at the first malformed header.
  std::optional<Box> next();
  // True when the walk stopped at a malformed header rather than at the end.
  bool malformed() const { return malformed_; }

 private:
  ByteSpan bytes_;
  size_t position_ = 0;
  bool malformed_ = false;
};

// The first box of type among the boxes of bytes.
std::optional<Box> findChild(ByteSpan bytes, FourCC type);

// Follows a path of first-match children from bytes (at most kMaxBoxDepth
// steps). 'meta' boxes are entered past their version and flags when they
// have them (see metaChildren).
std::optional<Box> findPath(ByteSpan bytes, std::initializer_list<FourCC> path);

// The children of a 'meta' payload: ISO files put 4 bytes of version and
// flags first, QuickTime files do not; the handler box tells them apart.
ByteSpan metaChildren(ByteSpan payload);

}  // namespace corvane::mp4
