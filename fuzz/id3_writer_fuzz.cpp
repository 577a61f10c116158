// Fuzzes the ID3 writer: the bytes are an .mp3 file that gets a fixed
// update. Whatever the input, the update must not crash, and when it
// succeeds everything behind the old leading tag must still be there.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "media/MediaDBKeys.h"
#include "platform/id3/Id3Tag.h"
#include "tags/UpdateID3Tag.h"

namespace {

const corvane::fuzz::FuzzInputFile input("input.mp3");

size_t leadingTagSize(const uint8_t* data, size_t size) {
  const auto header = corvane::id3::parseHeader({data, size});
  return header ? static_cast<size_t>(std::min<uint64_t>(header->totalSize(), size)) : 0;
}

const corvane::media::MediaRecord& record() {
  static const corvane::media::MediaRecord r = [] {
    using namespace corvane::media;
    MediaRecord m;
    m.set(MediaDBMusicColumnTitle, std::string("Fuzz title \xE2\x9C\x93"));
    m.set(MediaDBMusicColumnArtist, NullMarker{});
    m.set(MediaDBCommonColumnReservedText, std::string("comment"));
    m.set(MediaDBMusicColumnGenre, std::string("Rock"));
    m.set(MediaDBMusicColumnTrackNo, int32_t{300});
    m.set(MediaDBMusicColumnAlbumArt, Bytes{0xFF, 0xD8, 0xFF, 0xD9});
    return m;
  }();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  if (corvane::tags::UpdateID3Tag().updateTag(input.path(), record())) {
    const std::vector<uint8_t> out = input.read();
    const size_t oldTag = leadingTagSize(data, size);
    const size_t newTag = leadingTagSize(out.data(), out.size());
    const size_t tail = size - oldTag;
    // The rest of the file is kept byte for byte behind the new tag.
    if (out.size() != newTag + tail || !std::equal(data + oldTag, data + size, out.begin() + newTag)) abort();
  }
  return 0;
}
