#include "platform/mp4/StoreGuard.h"

#include <array>
#include <cstring>
#include <optional>

#include "media/Bytes.h"
#include "platform/mp4/BoxReader.h"
#include "platform/mp4/Mp4File.h"

namespace corvane::mp4::detail {

namespace {

uint64_t bigEndian(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}

// When the tags grow, the writer library moves the audio and adds the shift
// to every chunk offset table ('stco', 'co64') it finds in the movie box. It
// rewrites as many entries as the table's count says, from 16 bytes into the
// box, never checking the count against the box: a hostile count makes it
// write gigabytes past the table. It also inserts new user data right after
// the header of the movie or user-data box and then reads a table that stood
// there from its old place, which now holds tag bytes. So every such box in
// movie (4 bytes of size, then the type, anywhere, as the library may see
// one) must hold its count and must not be the first child of either box.
bool offsetTablesAreSafeToMove(ByteSpan movie) {
  for (const char* type : {"stco", "co64"}) {
    const uint64_t entrySize = type[0] == 's' ? 4 : 8;
    for (size_t from = 4; from + 12 <= movie.size();) {
      const void* found = ::memmem(movie.data() + from, movie.size() - from, type, 4);
      if (found == nullptr) break;
      const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(found) - movie.data()) - 4;
      from = at + 5;
      if (at == 8 || (at > 8 && std::memcmp(movie.data() + at - 4, "udta", 4) == 0)) return false;
      if (at + 16 > movie.size()) break;  // too short for the library to read a count
      const uint8_t* box = movie.data() + at;
      const uint64_t rest = movie.size() - at;
      uint64_t length = bigEndian(box, 4);
      if (length == 1) length = bigEndian(box + 8, 8);
      if (length == 0 || length > rest) length = rest;
      if (length < 16 || bigEndian(box + 12, 4) * entrySize > length - 16) return false;
    }
  }
  return true;
}

// The boxes of a container the writer library walks into, and where their
// children begin; none for any other box.
std::optional<ByteSpan> childrenOf(FourCC type, ByteSpan payload) {
  for (const FourCC container : {fourcc("moov"), fourcc("udta"), fourcc("mdia"), fourcc("ilst"),
                                 fourcc("stbl"), fourcc("minf"), fourcc("trak")}) {
    if (type == container) return payload;
  }
  if (type == fourcc("meta")) return metaChildren(payload);
  if (type == fourcc("stsd")) return payload.size() < 8 ? ByteSpan() : payload.subspan(8);
  return std::nullopt;
}

// Whether every box the library would see in bytes lies inside its parent.
// The library trusts declared sizes: an item list or padding box that claims
// more than its parent holds makes it pad the new tags to gigabytes, and a
// size of 0 inside a container means "to the end of the file" to it. Fewer
// than 8 bytes after the last child are a terminator some writers add.
bool boxesFit(ByteSpan bytes, int depth) {
  if (depth > kMaxBoxDepth) return false;
  for (size_t at = 0; bytes.size() - at >= 8;) {
    if (bigEndian(bytes.data() + at, 4) == 0) return false;
    const auto header = parseBoxHeader(bytes.subspan(at), bytes.size() - at);
    if (!header) return false;
    const ByteSpan payload = bytes.subspan(at + header->headerSize, header->size - header->headerSize);
    const auto children = childrenOf(header->type, payload);
    if (children && !boxesFit(*children, depth + 1)) return false;
    at += header->size;
  }
  return true;
}

}  // namespace

bool safeForTheWriter(uint64_t fileSize, const ReadAt& readAt) {
  for (uint64_t offset = 0; fileSize - offset >= 8;) {
    std::array<uint8_t, 16> head{};
    const std::span<uint8_t> headBytes(head.data(),
                                       static_cast<size_t>(std::min<uint64_t>(16, fileSize - offset)));
    if (!readAt(offset, headBytes)) return false;
    const auto header = parseBoxHeader(headBytes, fileSize - offset);
    if (!header || header->type == fourcc("moof")) return false;
    if (header->type == fourcc("moov")) {
      if (header->size > kMaxMovieBoxBytes) return false;
      media::Bytes movie(static_cast<size_t>(header->size));
      if (!readAt(offset, movie) || !boxesFit(ByteSpan(movie).subspan(header->headerSize), 1) ||
          !offsetTablesAreSafeToMove(movie)) {
        return false;
      }
    }
    offset += header->size;
  }
  return true;
}

}  // namespace corvane::mp4::detail
