#include "tags/Id3RawTag.h"

namespace corvane::tags::id3 {
namespace {

uint32_t bigEndian(std::span<const uint8_t> b, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | b[i];
  return v;
}

bool isSyncsafe(std::span<const uint8_t> b) { return ((b[0] | b[1] | b[2] | b[3]) & 0x80) == 0; }

uint32_t syncsafe(std::span<const uint8_t> b) {
  return (uint32_t{b[0]} << 21) | (uint32_t{b[1]} << 14) | (uint32_t{b[2]} << 7) | b[3];
}

bool isIdChar(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool isFrameId(std::span<const uint8_t> b, size_t idSize) {
  if (b.size() < idSize) return false;
  for (size_t i = 0; i < idSize; ++i)
    if (!isIdChar(b[i])) return false;
  return true;
}

// The place after a frame is a fit end when it is the end, padding, or
// another frame id; used to tell a v2.4 syncsafe size from a plain one.
bool fitEnd(std::span<const uint8_t> body, uint64_t at) {
  if (at == body.size()) return true;
  if (at > body.size()) return false;
  return body[at] == 0 || isFrameId(body.subspan(at), 4);
}

// v2.4 sizes are syncsafe, but some writers store plain ones there.
uint32_t frameSize24(std::span<const uint8_t> body, size_t pos) {
  const auto sizeBytes = body.subspan(pos + 4, 4);
  const uint32_t plain = bigEndian(sizeBytes, 4);
  if (!isSyncsafe(sizeBytes)) return plain;
  const uint32_t safe = syncsafe(sizeBytes);
  if (safe != plain && !fitEnd(body, pos + 10 + uint64_t{safe}) && fitEnd(body, pos + 10 + uint64_t{plain})) {
    return plain;
  }
  return safe;
}

// Offset of the first frame: past an extended header when there is one.
std::optional<size_t> firstFrame(const TagHeader& h, std::span<const uint8_t> body) {
  if (!(h.flags & 0x40) || h.majorVersion == 2) return 0;
  if (body.size() < 4) return std::nullopt;
  const uint64_t size = h.majorVersion == 3 ? 4 + uint64_t{bigEndian(body, 4)} : syncsafe(body);
  if (size > body.size() || (h.majorVersion == 4 && size < 6)) return std::nullopt;
  return static_cast<size_t>(size);
}

}  // namespace

std::optional<TagHeader> parseHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderSize || bytes[0] != 'I' || bytes[1] != 'D' || bytes[2] != '3')
    return std::nullopt;
  if (bytes[3] < 2 || bytes[3] > 4 || bytes[4] == 0xFF || !isSyncsafe(bytes.subspan(6, 4)))
    return std::nullopt;
  TagHeader h;
  h.majorVersion = bytes[3];
  h.flags = bytes[5];
  h.bodySize = syncsafe(bytes.subspan(6, 4));
  return h;
}

std::vector<uint8_t> removeUnsynchronisation(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    out.push_back(bytes[i]);
    if (bytes[i] == 0xFF && i + 1 < bytes.size() && bytes[i + 1] == 0x00) ++i;
  }
  return out;
}

void forEachFrame(const TagHeader& h, std::span<const uint8_t> stored,
                  const std::function<void(const Frame&)>& visit) {
  // v2.2 (compressed tags aside) and v2.3 unsynchronise the whole body.
  if (h.majorVersion == 2 && (h.flags & 0x40)) return;
  std::vector<uint8_t> whole;
  std::span<const uint8_t> body = stored;
  if (h.majorVersion < 4 && (h.flags & 0x80)) {
    whole = removeUnsynchronisation(stored);
    body = whole;
  }
  const std::optional<size_t> start = firstFrame(h, body);
  if (!start) return;
  const size_t idSize = h.majorVersion == 2 ? 3 : 4;
  const size_t headerSize = h.majorVersion == 2 ? 6 : 10;
  for (size_t pos = *start; pos + headerSize <= body.size();) {
    if (!isFrameId(body.subspan(pos), idSize)) return;  // padding or garbage ends the frames
    uint64_t size = h.majorVersion == 2   ? bigEndian(body.subspan(pos + 3), 3)
                    : h.majorVersion == 3 ? bigEndian(body.subspan(pos + 4), 4)
                                          : frameSize24(body, pos);
    if (size > body.size() - pos - headerSize) return;
    const std::string_view id(reinterpret_cast<const char*>(body.data() + pos), idSize);
    std::span<const uint8_t> data = body.subspan(pos + headerSize, static_cast<size_t>(size));
    const uint8_t format = h.majorVersion == 2 ? 0 : body[pos + 9];
    bool readable = true;
    std::vector<uint8_t> plain;
    if (h.majorVersion == 3) {
      readable = !(format & 0xC0);                 // compressed or encrypted
      const size_t extra = format & 0x20 ? 1 : 0;  // group id
      if (readable && extra > data.size()) readable = false;
      if (readable) data = data.subspan(extra);
    } else if (h.majorVersion == 4) {
      readable = !(format & 0x0C);
      const size_t extra = (format & 0x40 ? 1 : 0) + (format & 0x01 ? 4 : 0);
      if (readable && extra > data.size()) readable = false;
      if (readable) {
        data = data.subspan(extra);
        if ((format & 0x02) || (h.flags & 0x80)) {
          plain = removeUnsynchronisation(data);
          data = plain;
        }
      }
    }
    visit(Frame{id, data, readable});
    pos += headerSize + static_cast<size_t>(size);
  }
}

}  // namespace corvane::tags::id3
