#pragma once

// A byte-level reader of ID3v2 tags that follows the tag's real layout: the
// version's frame header form (v2.2 six bytes, v2.3/v2.4 ten), extended
// headers, tag-wide and per-frame unsynchronisation, v2.4 syncsafe frame
// sizes (with the plain sizes some writers put in v2.4 tags), and the extra
// bytes that frame flags announce. It never reads outside the bytes given.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace corvane::tags::id3 {

inline constexpr size_t kHeaderSize = 10;

struct TagHeader {
  int majorVersion = 0;  // 2, 3 or 4
  uint8_t flags = 0;
  uint32_t bodySize = 0;  // bytes after the header, footer excluded
  // Header, body and (v2.4) footer: the bytes the tag occupies in the file.
  uint64_t totalSize() const {
    return kHeaderSize + bodySize + (majorVersion == 4 && (flags & 0x10) ? 10 : 0);
  }
};

// The header at the start of bytes, none unless it is a well-formed ID3v2.2,
// 2.3 or 2.4 header.
std::optional<TagHeader> parseHeader(std::span<const uint8_t> bytes);

// One frame as found: its id and its data with unsynchronisation undone and
// flag-announced extra bytes removed. readable is false for a compressed or
// encrypted frame (its data is then the stored bytes).
struct Frame {
  std::string_view id;
  std::span<const uint8_t> data;
  bool readable = true;
};

// Calls visit for each frame of the tag body (the bytes after the header, as
// stored), in stored order, until padding, a malformed frame or the end.
void forEachFrame(const TagHeader& header, std::span<const uint8_t> body,
                  const std::function<void(const Frame&)>& visit);

// bytes with every 0xFF 0x00 pair turned back into 0xFF.
std::vector<uint8_t> removeUnsynchronisation(std::span<const uint8_t> bytes);

}  // namespace corvane::tags::id3
