#include "platform/mp4/BoxReader.h"

namespace corvane::mp4 {

std::string fourccText(FourCC code) {
  std::string text(4, '\0');
  for (int i = 0; i < 4; ++i) text[static_cast<size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
  return text;
}

bool ByteCursor::has(size_t count) {
  if (ok_ && count <= remaining()) return true;
  ok_ = false;
  return false;
}

uint64_t ByteCursor::bigEndian(size_t count) {
  if (!has(count)) return 0;
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | bytes_[position_ + i];
  position_ += count;
  return value;
}

uint8_t ByteCursor::u8() { return static_cast<uint8_t>(bigEndian(1)); }
uint16_t ByteCursor::u16() { return static_cast<uint16_t>(bigEndian(2)); }
uint32_t ByteCursor::u32() { return static_cast<uint32_t>(bigEndian(4)); }
uint64_t ByteCursor::u64() { return bigEndian(8); }

void ByteCursor::skip(size_t count) {
  if (has(count)) position_ += count;
}

ByteSpan ByteCursor::take(size_t count) {
  if (!has(count)) return {};
  ByteSpan part = bytes_.subspan(position_, count);
  position_ += count;
  return part;
}

std::optional<BoxHeader> parseBoxHeader(ByteSpan head, uint64_t available) {
  ByteCursor cursor(head);
  BoxHeader header;
  const uint32_t size32 = cursor.u32();
  header.type = cursor.u32();
  if (!cursor.ok()) return std::nullopt;
  header.headerSize = 8;
  if (size32 == 1) {
    header.size = cursor.u64();
    header.headerSize = 16;
    if (!cursor.ok()) return std::nullopt;
  } else if (size32 == 0) {
    header.size = available;
  } else {
    header.size = size32;
  }
  if (header.size < header.headerSize || header.size > available) return std::nullopt;
  return header;
}

std::optional<Box> BoxReader::next() {
  if (malformed_ || position_ >= bytes_.size()) return std::nullopt;
  const ByteSpan rest = bytes_.subspan(position_);
  const auto header = parseBoxHeader(rest, rest.size());
  if (!header) {
    malformed_ = true;
    return std::nullopt;
  }
  // The header check keeps size within rest, so these fit in size_t.
  const auto size = static_cast<size_t>(header->size);
  const auto headerSize = static_cast<size_t>(header->headerSize);
  Box box{header->type, position_, rest.subspan(headerSize, size - headerSize)};
  position_ += size;
  return box;
}

std::optional<Box> findChild(ByteSpan bytes, FourCC type) {
  BoxReader reader(bytes);
  while (auto box = reader.next()) {
    if (box->type == type) return box;
  }
  return std::nullopt;
}

ByteSpan metaChildren(ByteSpan payload) {
  // QuickTime style: the first child (normally 'hdlr') starts at once.
  if (payload.size() >= 8 && ByteCursor(payload.subspan(4, 4)).u32() == fourcc("hdlr")) return payload;
  return payload.size() >= 4 ? payload.subspan(4) : ByteSpan{};
}

std::optional<Box> findPath(ByteSpan bytes, std::initializer_list<FourCC> path) {
  if (path.size() == 0 || path.size() > static_cast<size_t>(kMaxBoxDepth)) return std::nullopt;
  std::optional<Box> box;
  ByteSpan scope = bytes;
  for (FourCC type : path) {
    if (box) scope = box->type == fourcc("meta") ? metaChildren(box->payload) : box->payload;
    box = findChild(scope, type);
    if (!box) return std::nullopt;
  }
  return box;
}

}  // namespace corvane::mp4
