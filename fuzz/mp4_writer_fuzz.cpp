// Fuzzes the MP4 tag writer: the bytes are an .m4a file that gets a fixed
// update, artwork included. Whatever the input, the update must not crash;
// when it fails the file must be exactly as it was, and when it succeeds the
// file must read back with the new title and a JPEG as its first artwork.

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "media/MediaDBKeys.h"
#include "platform/mp4/Mp4File.h"
#include "tags/UpdateMP4Tag.h"

namespace {

const char* const kTitle = "Fuzz title \xE2\x9C\x93";

const corvane::fuzz::FuzzInputFile input("input.m4a");

// A 1 x 1 RGBA PNG: decodes, and is re-encoded as JPEG on every update.
const corvane::media::Bytes kPng = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00,
    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00,
    0x00, 0x00, 0x0A, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x01,
    0x0D, 0x0A, 0x2D, 0xB4, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

const corvane::media::MediaRecord& record() {
  static const corvane::media::MediaRecord r = [] {
    using namespace corvane::media;
    MediaRecord m;
    m.set(MediaDBMusicColumnTitle, std::string(kTitle));
    m.set(MediaDBMusicColumnArtist, NullMarker{});
    m.set(MediaDBMusicColumnGenre, std::string("Rock"));
    m.set(MediaDBMusicColumnTrackNo, int32_t{70000});
    m.set(MediaDBMusicColumnDiscNo, std::string("2"));
    m.set(MediaDBMusicColumnAlbumArt, kPng);
    return m;
  }();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  const bool updated = corvane::tags::UpdateMP4Tag().updateTag(input.path(), record());
  const std::vector<uint8_t> out = input.read();
  if (!updated) {
    if (out.size() != size || !std::equal(data, data + size, out.begin())) abort();
    return 0;
  }
  const auto file = corvane::mp4::Mp4File::openRead(input.path());
  if (!file || file->tags().name != kTitle || file->tags().artworks.empty()) abort();
  const auto& jpeg = file->tags().artworks.front().data;
  if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) abort();
  return 0;
}
