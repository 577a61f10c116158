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

// Sets a pixel-dimension entry of the EXIF sub-directory to value, adding
// it when missing, as a LONG (which holds any size; SHORT may not).
void setDimension(ExifContent* content, ExifTag tag, int value, ExifByteOrder order) {
  if (ExifEntry* old = exif_content_get_entry(content, tag)) exif_content_remove_entry(content, old);
  ExifEntry* entry = exif_entry_new();
  if (entry == nullptr) return;
  exif_content_add_entry(content, entry);
  exif_entry_initialize(entry, tag);  // a LONG of one component
  if (entry->format == EXIF_FORMAT_LONG && entry->size >= 4) {
    exif_set_long(entry->data, order, static_cast<ExifLong>(value));
  }
  exif_entry_unref(entry);
}

// The EXIF properties the upright copy carries: the source's EXIF
// sub-directory (exposure, lens, dates...) with the pixel dimensions of the
// new bitmap, and nothing else. The main directory (its orientation above
// all, which would make viewers turn the result again), the GPS position,
// the interoperability directory and the thumbnail directory with its stale
// sideways picture stay behind. None when the source has no such properties
// or the block cannot be read back.
std::optional<media::Bytes> exifForUprightCopy(const std::optional<media::Bytes>& block, int width,
                                               int height) {
  if (!block) return std::nullopt;
  const exif::ExifDataPtr parsed = exif::loadAsStored(*block);
  if (!parsed) return std::nullopt;
  ExifContent* properties = parsed->ifd[EXIF_IFD_EXIF];
  for (ExifContent* content : parsed->ifd) {
    while (content->count > 0) {
      // The sub-directory keeps all but an orientation some writers put there.
      ExifEntry* entry =
          content == properties ? exif_content_get_entry(content, EXIF_TAG_ORIENTATION) : content->entries[0];
      if (entry == nullptr) break;
      exif_content_remove_entry(content, entry);
    }
  }
  if (properties->count == 0) return std::nullopt;
  // The thumbnail's bytes go with its directory (libexif's default
  // allocator, which loading uses, is malloc's).
  std::free(parsed->data);
  parsed->data = nullptr;
  parsed->size = 0;
  const ExifByteOrder order = exif_data_get_byte_order(parsed.get());
  setDimension(properties, EXIF_TAG_PIXEL_X_DIMENSION, width, order);
  setDimension(properties, EXIF_TAG_PIXEL_Y_DIMENSION, height, order);
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
float qualityFactor(uint64_t sourceTiffLength, uint64_t rotatedTiffLength) {
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
    // The two TIFF lengths are worked out, not encoded.
    const float quality =
        qualityFactor(imaging::encodedTiffLength(*source), imaging::encodedTiffLength(*rotated));
    return imaging::encodeJpeg(
        *rotated, quality, exifForUprightCopy(exifProperties, rotated->pixelsWide(), rotated->pixelsHigh()));
  } catch (const imaging::ImagingError&) {
    // The encoders failing leaves nothing to hand back but the input.
    log::line("rotateImageDataByExif - failed to rotate");
    return data;
  }
}

}  // namespace corvane::image
