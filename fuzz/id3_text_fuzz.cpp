// Fuzzes the ID3 frame field readers on raw frame content: the first byte
// chooses the field layout (text or comment), the rest is the content. Every
// decoded text must be well-formed UTF-8, and a picture lies inside the
// content.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSetup.h"
#include "media/Text.h"
#include "platform/id3/Id3Fields.h"

namespace id3 = corvane::id3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (size == 0) return 0;
  const auto layout = (data[0] & 1) ? id3::FieldLayout::kComment : id3::FieldLayout::kText;
  const std::string_view field(reinterpret_cast<const char*>(data) + 1, size - 1);
  const corvane::media::ByteSpan content(data + 1, size - 1);
  for (const bool v22 : {false, true}) {
    const auto picture = id3::pictureData(content, v22);
    if (picture && (picture->data() < content.data() ||
                    picture->data() + picture->size() > content.data() + content.size()))
      std::abort();
  }
  if (!corvane::media::isValidUtf8(corvane::media::legacy8BitToUtf8(field))) std::abort();
  const auto text = id3::readTextField(field, layout);
  if (!text) return 0;
  if (text->bytes.size() >= field.size()) std::abort();  // the string lies inside the field
  const std::string decoded = id3::decodeText(*text);
  if (!corvane::media::isValidUtf8(decoded)) std::abort();
  (void)corvane::media::leadingInteger(decoded, corvane::media::Overflow::Saturate);
  if (!corvane::media::isValidUtf8(id3::genreFromContentType(decoded))) std::abort();
  return 0;
}
