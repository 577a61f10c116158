// Writes the seed corpus of every fuzz target: make_seeds OUTDIR makes
// OUTDIR/<target>/ with a few valid and near-valid inputs each.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/ExifFixture.h"

namespace fs = std::filesystem;

namespace {

void write(const fs::path& dir, const std::string& name, const std::vector<unsigned char>& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
}

// Pictures for the image builder (JPEG with and without EXIF) and EXIF blocks
// for its entry callbacks: the five photo tags in both byte orders.
void writeImageBuilderSeeds(const fs::path& out) {
  using namespace corvane::test;
  std::vector<ExifBuilder> blocks{ExifBuilder(ByteOrder::Intel), ExifBuilder(ByteOrder::Motorola)};
  blocks[0].ascii(Ifd::Zero, tag::Model, "Cam").ascii(Ifd::Zero, tag::DateTime, "2021:07:04 12:30:45");
  blocks[1].ascii(Ifd::Zero, tag::Artist, "Ann").ascii(Ifd::Zero, tag::DateTime, "2021:07:04");
  for (ExifBuilder& b : blocks) {
    b.shortValue(Ifd::Zero, tag::Orientation, 6).byteValues(Ifd::Zero, tag::XPComment, {'H', 0, 'i', 0});
    b.shortValue(Ifd::One, tag::Orientation, 3).ascii(Ifd::Exif, tag::Model, "");
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    const std::string n = std::to_string(i);
    write(out / "image_builder_fuzz", "exif" + n + ".jpg", blocks[i].jpeg());
    write(out / "photo_exif_fuzz", "block" + n, blocks[i].exifBlock());
    write(out / "photo_exif_fuzz", "jpeg" + n, blocks[i].jpeg());
  }
  write(out / "image_builder_fuzz", "plain.jpg", minimalJpeg());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  write(out / "placeholder", "empty", {});
  writeImageBuilderSeeds(out);
  return 0;
}
