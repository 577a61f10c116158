// Fuzzes the ID3 text reader on raw field data: the first byte chooses the
// field layout (text or comment), the rest is the frame's field data. Every
// decoded text must be well-formed UTF-8.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSetup.h"
#include "builders/Id3Text.h"
#include "media/Text.h"

namespace id3 = corvane::builders::id3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (size == 0) return 0;
  const auto layout = (data[0] & 1) ? id3::FieldLayout::kComment : id3::FieldLayout::kText;
  const std::string_view field(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto text = id3::readTextField(field, layout);
  if (!text) return 0;
  if (text->bytes.size() >= field.size()) std::abort();  // the string lies inside the field
  const auto decoded = id3::decodeText(*text);
  if (decoded && !corvane::media::isValidUtf8(*decoded)) std::abort();
  if (decoded) {
    (void)corvane::media::leadingInteger(*decoded, corvane::media::Overflow::Saturate);
    if (!corvane::media::isValidUtf8(id3::genreFromContentType(*decoded))) std::abort();
  }
  if (!corvane::media::isValidUtf8(corvane::media::legacy8BitToUtf8(field))) std::abort();
  return 0;
}
