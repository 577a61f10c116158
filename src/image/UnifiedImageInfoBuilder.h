#pragma once

// The picture service: turns a picture file into a media record (size, file
// facts, a small thumbnail and, for .jpg files, a few EXIF fields) and renders
// thumbnails at a size the caller chooses. Keeps no state between calls.

#include <libexif/exif-data.h>

#include <optional>
#include <string>

#include "media/MediaRecord.h"

namespace corvane::image {

// A thumbnail with the pixel size of the picture it was made from (not of the
// thumbnail itself).
struct ThumbnailDescription {
  media::Bytes data;  // TIFF
  float width = 0;
  float height = 0;
};

class UnifiedImageInfoBuilder {
 public:
  // The record of the picture at path, or none when the file is no picture
  // (or no regular file). The path is opened once; a link is followed, so
  // size and dates are those of the picture it names.
  std::optional<media::MediaRecord> build(const std::string& path);

  // A photo thumbnail of the picture at path that fits maxWidth x maxHeight,
  // or none when the file is no picture or nothing could be rendered.
  std::optional<ThumbnailDescription> makeThumbnail(const std::string& path, float maxWidth, float maxHeight);
};

// The libexif walk that fills the photo keys of a record from an EXIF block.
// The user pointer of both callbacks is the media::MediaRecord being filled.
namespace photo_exif {

// For exif_data_foreach_content: offers every entry of content to
// contentForeachEntry with the same user pointer.
void dataForeachContent(ExifContent* content, void* record);

// For exif_content_foreach_entry: sets CameraModel, Creator, Description,
// "Orientation" or DatePictured from one entry; other tags are ignored.
void contentForeachEntry(ExifEntry* entry, void* record);

// Walks every entry of data into record (nothing when data is null).
void readInto(ExifData* data, media::MediaRecord& record);

}  // namespace photo_exif

}  // namespace corvane::image
