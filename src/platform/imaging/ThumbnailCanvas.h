#pragma once

// Draws a picture scaled into a filled canvas and encodes the canvas as TIFF:
// the drawing step of the thumbnail renderer.

#include "media/MediaRecord.h"
#include "platform/imaging/Picture.h"

namespace corvane::imaging {

struct CanvasLayout {
  int width = 0;  // the canvas
  int height = 0;
  int pictureLeft = 0;  // where the scaled picture's top-left corner goes,
  int pictureTop = 0;   // counted from the canvas's top-left corner
  int pictureWidth = 0;
  int pictureHeight = 0;
  Rgba fill{255, 255, 255, 255};  // the canvas around the picture; alpha is ignored
};

// An uncompressed 8-bit RGB TIFF of the canvas. The picture is scaled with a
// high-quality (Lanczos) filter, decoded at a reduced scale where the format
// allows, and flattened onto the fill colour when it has transparency; parts
// falling outside the canvas are clipped. Throws ImagingError.
media::Bytes drawScaledOnCanvasAsTiff(const Picture& picture, const CanvasLayout& layout);

}  // namespace corvane::imaging
