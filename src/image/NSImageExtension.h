#pragma once

// The one thumbnail renderer: scales a picture into a box chosen by the
// content category and returns the result as TIFF bytes (8-bit RGB).
//
// Pictures with transparency are flattened onto the canvas's fill colour, as
// if drawn over the filled canvas.

#include <optional>

#include "media/MediaRecord.h"
#include "platform/imaging/Picture.h"

namespace corvane::image {

enum ContentCategory : int { kContentAlbumArt = 1, kContentPhoto = 2, kContentVideoFrame = 3 };

// TIFF bytes of the thumbnail, or none.
std::optional<media::Bytes> makeThumbnailForContentCategory(const imaging::Picture& source, int category,
                                                            float maxWidth, float maxHeight);
// The same with the category's default box (200x200 album art, 130x90 video
// frame, 100x100 otherwise).
std::optional<media::Bytes> makeThumbnailForContentCategory(const imaging::Picture& source, int category);

}  // namespace corvane::image
