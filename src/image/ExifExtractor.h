#pragma once

// The EXIF extractor service's work: reads a picture's EXIF block with libexif
// into an RZExifInfo.

#include <libexif/exif-data.h>

#include <optional>
#include <string>

#include "image/RZExifInfo.h"

namespace corvane::image {

class ExifExtractor {
 public:
  // The record of the file's EXIF block, or none when libexif finds no block
  // (missing, unreadable or non-picture file, or no EXIF in it).
  std::optional<RZExifInfo> extractExif(const std::string& path);
};

// The libexif walk behind extractExif. The user pointer is the RZExifInfo
// being filled. Kept apart from the photo builder's callbacks of the same
// names, which fill a different record.
namespace exif_record {

// Hands every entry of content to contentForeachEntry with the same pointer.
void dataForeachContent(ExifContent* content, void* record);

// Applies the tag map to one entry.
void contentForeachEntry(ExifEntry* entry, void* record);

}  // namespace exif_record

}  // namespace corvane::image
