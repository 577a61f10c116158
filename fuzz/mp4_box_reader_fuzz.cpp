// Fuzzes the MP4 box reader and the metadata layer on bytes in memory: the
// whole-file read (top-level scan, metadata list, first audio track) and the
// path lookups.

#include <cstddef>
#include <cstdint>

#include "FuzzSetup.h"
#include "platform/mp4/BoxReader.h"
#include "platform/mp4/Mp4File.h"

using namespace corvane::mp4;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  const ByteSpan bytes(data, size);
  if (const auto file = Mp4File::fromBytes(bytes)) {
    size_t total = 0;
    for (const Artwork& art : file->tags().artworks) total += art.data.size();
    for (const MetadataItem& item : file->items()) total += item.data.size();
    (void)file->firstAudioTrack();
    (void)total;
  }
  (void)findPath(bytes, {fourcc("moov"), fourcc("udta"), fourcc("meta"), fourcc("ilst")});
  (void)metaChildren(bytes);
  return 0;
}
