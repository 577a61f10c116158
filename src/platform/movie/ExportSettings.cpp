#include "platform/movie/ExportSettings.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace corvane::movie {
namespace {

constexpr size_t kContainerHeaderBytes = 12;
constexpr uint32_t kAtomHeaderBytes = 20;
constexpr FourCC kPassThrough = fourcc("past");

struct Atom {
  FourCC type = 0;
  uint16_t children = 0;
  media::ByteSpan payload;  // the children's bytes, or the data
};

// Reads exactly count atoms that fill bytes whole, and below each its
// children; the atoms themselves go to out when it is given.
bool readAtoms(media::ByteSpan bytes, size_t count, int depth, std::vector<Atom>* out) {
  if (depth > kMaxSettingsDepth) return false;
  mp4::ByteCursor cursor(bytes);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t size = cursor.u32();
    Atom atom;
    atom.type = cursor.u32();
    const uint32_t id = cursor.u32();
    const uint16_t reservedShort = cursor.u16();
    atom.children = cursor.u16();
    const uint32_t reservedLong = cursor.u32();
    if (!cursor.ok() || size < kAtomHeaderBytes || id == 0 || reservedShort != 0 || reservedLong != 0)
      return false;
    atom.payload = cursor.take(size - kAtomHeaderBytes);
    if (!cursor.ok()) return false;
    if (atom.children > 0 && !readAtoms(atom.payload, atom.children, depth + 1, nullptr)) return false;
    if (out != nullptr) out->push_back(atom);
  }
  return cursor.remaining() == 0;
}

bool printable(FourCC code) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (!std::isprint(static_cast<unsigned char>(code >> shift))) return false;
  }
  return true;
}

}  // namespace

std::optional<ExportSettings> readExportSettings(media::ByteSpan container) {
  if (container.size() < kContainerHeaderBytes ||
      std::any_of(container.begin(), container.begin() + kContainerHeaderBytes,
                  [](uint8_t b) { return b != 0; })) {
    return std::nullopt;
  }
  std::vector<Atom> root;
  if (!readAtoms(container.subspan(kContainerHeaderBytes), 1, 0, &root) || root[0].type != fourcc("sean")) {
    return std::nullopt;
  }
  std::vector<Atom> atoms;
  if (!readAtoms(root[0].payload, root[0].children, 1, &atoms)) return std::nullopt;

  // The value of the first leaf of type: none when there is none; a leaf of
  // another size breaks the settings.
  bool broken = false;
  auto value = [&](const char(&type)[5]) -> std::optional<uint32_t> {
    const auto atom =
        std::find_if(atoms.begin(), atoms.end(), [&](const Atom& a) { return a.type == fourcc(type); });
    if (atom == atoms.end()) return std::nullopt;
    mp4::ByteCursor cursor(atom->payload);
    const uint32_t v = cursor.u32();
    if (atom->children != 0 || !cursor.ok() || cursor.remaining() != 0) broken = true;
    return v;
  };
  const auto fileType = value("ftyp");
  const auto video = value("envi");
  const auto sound = value("enso");
  const auto text = value("txen");
  const auto hint = value("hint");
  ExportSettings settings;
  settings.packetBytes = value("psiz");
  settings.packetMilliseconds = value("pdur");
  if (broken || !fileType || !printable(*fileType) || video != kPassThrough || sound != kPassThrough ||
      text.value_or(0) != 0 || (settings.packetBytes && *settings.packetBytes < kHintPacketBytes) ||
      (settings.packetMilliseconds && *settings.packetMilliseconds > INT32_MAX / 1000)) {
    return std::nullopt;
  }
  settings.fileType = *fileType;
  settings.hint = hint.value_or(0) != 0;
  return settings;
}

}  // namespace corvane::movie
