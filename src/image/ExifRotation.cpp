#include "image/ExifRotation.h"

#include <libexif/exif-data.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <string>

#include "media/Log.h"
#include "media/Text.h"
#include "platform/exif/ExifData.h"
#include "platform/imaging/BitmapTransform.h"
#include "platform/imaging/Encoding.h"

namespace corvane::image {

namespace {

// How a stored picture is turned upright, keyed by the text libexif renders
// for the orientation tag. Angles are counter-clockwise with the y axis up;
// the mirrors apply after the turn. "Top-left" (already upright) is not here.
struct OrientationRow {
  const char* text;
  float angle;
  bool mirrorX;
  bool mirrorY;
};

constexpr OrientationRow kOrientations[] = {
    {"Top-right", 0, true, false},    {"Bottom-right", 0, true, true},  {"Bottom-left", 0, false, true},
    {"Left-top", 90, false, true},    {"Right-top", -90, false, false}, {"Right-bottom", 90, true, false},
    {"Left-bottom", -90, true, true},
};

const OrientationRow* findOrientation(const std::string& text) {
  for (const OrientationRow& row : kOrientations) {
    if (text == row.text) return &row;
  }
  return nullptr;
}

// The orientation text as libexif renders it. Every directory is visited in
// libexif's order and a later entry replaces an earlier one (the thumbnail's
// directory comes after the main one), as the picture builder reads it.
std::optional<std::string> orientationText(const media::Bytes& data) {
  const exif::ExifDataPtr parsed = exif::load(data);
  if (!parsed) return std::nullopt;
  std::optional<std::string> text;
  exif_data_foreach_content(
      parsed.get(),
      [](ExifContent* content, void* user) {
        exif_content_foreach_entry(
            content,
            [](ExifEntry* entry, void* user) {
              if (entry == nullptr || entry->tag != EXIF_TAG_ORIENTATION || entry->size < 2) return;
              if (auto value = exif::valueText(entry))
                *static_cast<std::optional<std::string>*>(user) = value;
            },
            user);
      },
      &text);
  return text;
}

// Rewrites a pixel-dimension entry in place, in the entry's own type.
void setDimension(ExifContent* content, ExifTag tag, int value, ExifByteOrder order) {
  ExifEntry* entry = exif_content_get_entry(content, tag);
  if (entry == nullptr || entry->components != 1 || entry->data == nullptr) return;
  if (entry->format == EXIF_FORMAT_SHORT && entry->size >= 2 && value <= 0xFFFF) {
    exif_set_short(entry->data, order, static_cast<ExifShort>(value));
  } else if (entry->format == EXIF_FORMAT_LONG && entry->size >= 4) {
    exif_set_long(entry->data, order, static_cast<ExifLong>(value));
  }
}

// The source's EXIF block as it fits the upright copy: without any
// orientation entry, so that viewers do not turn the result a second time,
// and with the recorded pixel dimensions of the new bitmap. None when the
// block cannot be read back (the result is then written without EXIF rather
// than with a stale orientation).
std::optional<media::Bytes> exifForUprightCopy(const std::optional<media::Bytes>& block, int width,
                                               int height) {
  if (!block) return std::nullopt;
  const exif::ExifDataPtr parsed = exif::load(*block);
  if (!parsed) return std::nullopt;
  for (ExifContent* content : parsed->ifd) {
    while (ExifEntry* entry = exif_content_get_entry(content, EXIF_TAG_ORIENTATION)) {
      exif_content_remove_entry(content, entry);
    }
  }
  const ExifByteOrder order = exif_data_get_byte_order(parsed.get());
  setDimension(parsed->ifd[EXIF_IFD_EXIF], EXIF_TAG_PIXEL_X_DIMENSION, width, order);
  setDimension(parsed->ifd[EXIF_IFD_EXIF], EXIF_TAG_PIXEL_Y_DIMENSION, height, order);
  unsigned char* saved = nullptr;
  unsigned int length = 0;
  exif_data_save_data(parsed.get(), &saved, &length);
  if (saved == nullptr) return std::nullopt;
  const std::unique_ptr<unsigned char, decltype(&std::free)> owned(saved, std::free);
  if (length == 0) return std::nullopt;
  return media::Bytes(saved, saved + length);
}

// The JPEG compression factor: the source bitmap's TIFF length over the
// rotated RGBA bitmap's, kept within 0.1 to 1.0.
float qualityFactor(size_t sourceTiffLength, size_t rotatedTiffLength) {
  const float ratio = static_cast<float>(sourceTiffLength) / static_cast<float>(rotatedTiffLength);
  if (ratio > 1.0f) return 1.0f;
  if (ratio < 0.1f || std::isnan(ratio)) return 0.1f;
  return ratio;
}

}  // namespace

std::optional<imaging::Picture> copyRotatedImageWithFlip(const imaging::Picture& image, bool mirrorX,
                                                         bool mirrorY, float angle) {
  if (!std::isfinite(angle)) return std::nullopt;
  const double radians = std::trunc(static_cast<double>(angle)) * std::numbers::pi / 180.0;
  const double c = std::abs(std::cos(radians));
  const double s = std::abs(std::sin(radians));
  // The pixel size, not the size in points: a picture that records a
  // resolution other than 72 dpi keeps every one of its pixels.
  const double w = image.pixelsWide();
  const double h = image.pixelsHigh();
  const auto newW = static_cast<float>(s * h + c * w);
  const auto newH = static_cast<float>(c * h + s * w);
  try {
    return imaging::drawTurnedAndMirrored(image, angle, mirrorX, mirrorY, static_cast<int>(newW),
                                          static_cast<int>(newH));
  } catch (const imaging::ImagingError&) {
    return std::nullopt;
  }
}

media::Bytes rotateImageDataByExif(const media::Bytes& data) {
  const std::optional<imaging::Picture> source = imaging::Picture::fromBytes(data);
  if (!source) {
    log::line("rotateImageDataByExif - bad image");
    return data;
  }
  const std::optional<media::Bytes> exifProperties = source->exifData();

  const std::optional<std::string> orientation = orientationText(data);
  const OrientationRow* row = orientation ? findOrientation(*orientation) : nullptr;
  if (row == nullptr) {  // includes "Top-left": already upright
    log::line("rotateImageDataByExif - no orientation");
    return data;
  }

  const std::optional<imaging::Picture> rotated =
      copyRotatedImageWithFlip(*source, row->mirrorX, row->mirrorY, row->angle);
  if (!rotated) {
    log::line("rotateImageDataByExif - failed to rotate");
    return data;
  }
  try {
    const float quality =
        qualityFactor(imaging::encodeTiff(*source).size(), imaging::encodeTiff(*rotated).size());
    return imaging::encodeJpeg(
        *rotated, quality, exifForUprightCopy(exifProperties, rotated->pixelsWide(), rotated->pixelsHigh()));
  } catch (const imaging::ImagingError&) {
    // The encoders failing leaves nothing to hand back but the input.
    log::line("rotateImageDataByExif - failed to rotate");
    return data;
  }
}

}  // namespace corvane::image
