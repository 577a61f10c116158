#pragma once

// Decodes a JPEG at a reduced scale straight through libjpeg-turbo. A photo's
// thumbnail needs the picture at 1/2, 1/4 or 1/8 scale, which the JPEG
// decoder gives almost for the price of reading the entropy-coded data; going
// through libvips' loader for the same decode adds its pipeline set-up, a
// second header parse and per-tile bookkeeping, which on a camera photo cost
// as much again as the decode itself. A picture decoded whole (to be turned
// upright) is decoded here too, straight into the one buffer that holds it.
//
// Only the plain cases are taken here (YCbCr, RGB or grey samples decoding
// without a single warning); everything else is left to libvips' loader,
// which then applies its own rules to the file.

#include <cstdint>
#include <optional>
#include <span>
#include <vips/vips8>

namespace corvane::imaging::detail {

// The JPEG in `jpeg` decoded at 1/shrink scale (shrink 1, 2, 4 or 8; each
// side divided by shrink and rounded down, as libvips' loader gives it) as
// an 8-bit picture in memory, in the samples libvips' loader gives (sRGB, or
// one grey band for a grey JPEG). none: the data is not a plain JPEG, the
// decoded picture would hold more than maxBytes, or the decoder reported any
// error or warning (truncated or corrupt data included).
std::optional<vips::VImage> decodeJpegScaled(std::span<const uint8_t> jpeg, int shrink, uint64_t maxBytes);

}  // namespace corvane::imaging::detail
