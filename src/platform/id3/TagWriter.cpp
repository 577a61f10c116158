#include "platform/id3/TagWriter.h"

#include <algorithm>
#include <string>

#include "platform/id3/Id3Fields.h"

namespace corvane::id3 {
namespace {

void append(media::Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void appendUtf16(media::Bytes& out, std::u16string_view text) {
  out.insert(out.end(), {0xFF, 0xFE});  // little-endian
  for (const char16_t unit : text) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
  }
}

void appendSize(media::Bytes& out, uint32_t size, bool syncsafe) {
  for (int i = 3; i >= 0; --i) {
    out.push_back(static_cast<uint8_t>(syncsafe ? (size >> (7 * i)) & 0x7F : (size >> (8 * i)) & 0xFF));
  }
}

// The v2.3 id of a v2.2 one; an id without a v2.3 form is kept under an
// experimental id.
std::string v23IdOrExperimental(std::string_view v22Id) {
  const std::string_view id = v23Id(v22Id);
  return id.empty() ? "X" + std::string(v22Id) : std::string(id);
}

// A v2.2 frame's content in its v2.3 form.
media::Bytes v23Content(std::string_view v22Id, media::ByteSpan content) {
  const std::string_view text(reinterpret_cast<const char*>(content.data()), content.size());
  constexpr size_t kIdOrFormat = 1 + 3;
  if (v22Id == "PIC" && content.size() >= kIdOrFormat) {
    // encoding, image format (3) -> encoding, MIME type, zero
    std::string format(text.substr(1, 3));
    std::string mime = format == "-->" ? format : "image/";
    if (format == "JPG") format = "jpeg";
    if (mime != "-->") {
      for (char c : format) mime += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    media::Bytes out{content[0]};
    append(out, mime);
    out.push_back(0);
    out.insert(out.end(), content.begin() + kIdOrFormat, content.end());
    return out;
  }
  if (v22Id == "LNK" && content.size() >= 3) {
    // The linked frame's id comes first.
    media::Bytes out;
    append(out, v23IdOrExperimental(text.substr(0, 3)));
    out.insert(out.end(), content.begin() + 3, content.end());
    return out;
  }
  return media::Bytes(content.begin(), content.end());
}

}  // namespace

media::Bytes utf16TextContent(std::u16string_view text) {
  media::Bytes out{kUtf16WithBom};
  appendUtf16(out, text);
  return out;
}

media::Bytes latin1TextContent(std::string_view text) {
  media::Bytes out{kLatin1};
  append(out, text);
  return out;
}

media::Bytes commentContent(std::u16string_view text) {
  media::Bytes out{kUtf16WithBom};
  append(out, "eng");
  appendUtf16(out, u"");
  out.insert(out.end(), {0, 0});
  appendUtf16(out, text);
  return out;
}

media::Bytes pictureContent(std::string_view mimeType, uint8_t pictureType, media::ByteSpan image) {
  media::Bytes out{kLatin1};
  append(out, mimeType);
  out.insert(out.end(), {0, pictureType, 0});
  out.insert(out.end(), image.begin(), image.end());
  return out;
}

media::Bytes renderFrame(int majorVersion, std::string_view id, media::ByteSpan content, uint16_t flags) {
  media::Bytes out;
  out.reserve(kHeaderSize + content.size());
  append(out, id);
  appendSize(out, static_cast<uint32_t>(content.size()), majorVersion == 4);
  out.push_back(static_cast<uint8_t>(flags >> 8));
  out.push_back(static_cast<uint8_t>(flags & 0xFF));
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

int carriedVersion(const std::optional<TagHeader>& stored) {
  return stored && stored->majorVersion == 4 ? 4 : 3;
}

media::Bytes carryFrame(const TagHeader& from, const Frame& frame) {
  if (from.majorVersion == 2)
    return renderFrame(3, v23IdOrExperimental(frame.id), v23Content(frame.id, frame.stored));
  uint16_t flags = frame.flags;
  // The new tag is never unsynchronised as a whole: a frame that was
  // unsynchronised through the tag's flag says so itself.
  if (from.majorVersion == 4 && (from.flags & kUnsynchronisedTag)) flags |= kUnsynchronisedFrame;
  return renderFrame(from.majorVersion, frame.id, frame.stored, flags);
}

std::optional<media::Bytes> renderTag(int majorVersion, const std::vector<media::Bytes>& frames,
                                      size_t padding) {
  size_t size = 0;
  for (const media::Bytes& frame : frames) size += frame.size();
  if (size > kMaxBodySize) return std::nullopt;
  padding = std::min<size_t>(padding, kMaxBodySize - size);
  media::Bytes out{'I', 'D', '3', static_cast<uint8_t>(majorVersion), 0, 0};
  appendSize(out, static_cast<uint32_t>(size + padding), true);
  out.reserve(kHeaderSize + size + padding);
  for (const media::Bytes& frame : frames) out.insert(out.end(), frame.begin(), frame.end());
  out.resize(out.size() + padding, 0);
  return out;
}

}  // namespace corvane::id3
