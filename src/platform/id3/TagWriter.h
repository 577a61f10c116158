#pragma once

// Rendering ID3v2.3 and v2.4 tags: the contents of the frames the service
// writes, frames carried over from a stored tag, and the tag around them.
// Pure functions: any thread.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "media/Bytes.h"
#include "platform/id3/Id3Tag.h"

namespace corvane::id3 {

// Text-frame content in UTF-16 with a byte-order mark (encoding 1).
media::Bytes utf16TextContent(std::u16string_view text);
// Text-frame content in ISO-8859-1 (encoding 0); text must be ASCII.
media::Bytes latin1TextContent(std::string_view text);
// Comment content in UTF-16: language "eng", an empty description, text.
media::Bytes commentContent(std::u16string_view text);
// Attached-picture content: ISO-8859-1, the MIME type, a picture type, an
// empty description, the image bytes as given.
media::Bytes pictureContent(std::string_view mimeType, uint8_t pictureType, media::ByteSpan image);

// A whole frame (header and content) for a tag of majorVersion 3 or 4.
media::Bytes renderFrame(int majorVersion, std::string_view id, media::ByteSpan content, uint16_t flags = 0);

// The tag a stored tag's frames are carried into: v2.4 stays v2.4; v2.2,
// v2.3 and no tag at all give v2.3.
int carriedVersion(const std::optional<TagHeader>& stored);

// A frame of the stored tag `from`, rendered for its carriedVersion. Its id,
// flags and content are kept byte for byte; only what the new tag's own form
// requires changes: the size field (always syncsafe in v2.4), the frame
// unsynchronisation flag of a v2.4 tag that was unsynchronised as a whole,
// and the v2.3 form of a v2.2 frame (its v2.3 id, or "X" and its v2.2 id
// when it has none; a picture's image format as a MIME type; a link's frame
// id).
media::Bytes carryFrame(const TagHeader& from, const Frame& frame);

// A tag of majorVersion holding frames (whole frames, in order) and padding
// zero bytes, no more than the size field can announce; none when the
// frames alone do not fit.
std::optional<media::Bytes> renderTag(int majorVersion, const std::vector<media::Bytes>& frames,
                                      size_t padding);

}  // namespace corvane::id3
