#pragma once

// Draws a picture turned and mirrored into a new RGBA bitmap: the drawing
// step of EXIF orientation rotation.

#include "platform/imaging/Picture.h"

namespace corvane::imaging {

// A new 8-bit RGBA picture of width x height: picture turned by angle degrees
// about its centre (counter-clockwise as seen, y axis up), then mirrored
// left-right (mirrorX) and/or top-bottom (mirrorY), centred in the bitmap.
// Multiples of 90 degrees are exact pixel moves; other angles are resampled,
// and bitmap pixels the picture does not cover stay transparent black.
// The result keeps the picture's resolution (swapped for quarter turns), its
// deadline and none of its other metadata. Its pixels are computed from the
// decoded picture when they are used (encoded, read), never held as a second
// copy. Throws ImagingError; refuses (throws) a bitmap of more than the
// memory budget.
Picture drawTurnedAndMirrored(const Picture& picture, double angleDegrees, bool mirrorX, bool mirrorY,
                              int width, int height);

}  // namespace corvane::imaging
