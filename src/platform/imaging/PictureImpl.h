#pragma once

// What a Picture holds: where its pixels come from, the header facts read
// when it was opened and what decoding it costs. Private to the imaging layer.

#include <memory>
#include <mutex>
#include <optional>
#include <vips/vips8>

#include "media/MediaRecord.h"
#include "media/RequestBudget.h"
#include "platform/imaging/DecodeCost.h"
#include "platform/imaging/Picture.h"

namespace corvane::imaging {

class Picture::Impl {
 public:
  // Header facts of a decoded or decodable picture.
  struct Facts {
    int width = 0;
    int height = 0;
    int bands = 0;  // as decoded, in the picture's own samples
    VipsBandFormat format = VIPS_FORMAT_UCHAR;
    VipsInterpretation interpretation = VIPS_INTERPRETATION_sRGB;
    double xres = 0;  // pixels per millimetre, as libvips reports it
    double yres = 0;
    bool alpha = false;
    std::optional<media::Bytes> exif;
  };

  // Reads the header; none when the input is no picture of an accepted
  // format, or decoding it would go over the budget (a log line says which).
  // The picture's work must end within budget::kPictureWork of this.
  static std::shared_ptr<const Impl> openFile(std::shared_ptr<const file::InputFile> file);
  static std::shared_ptr<const Impl> openBytes(media::Bytes bytes);
  // A picture that is a bitmap in memory, or a view computed from one (a
  // drawing's result), with the deadline of the picture it was drawn from.
  // opaqueColour: the same pixels without their alpha, when that alpha is
  // 255 everywhere (see opaqueColour()).
  static std::shared_ptr<const Impl> fromBitmap(vips::VImage bitmap, budget::Deadline deadline,
                                                std::optional<vips::VImage> opaqueColour = std::nullopt);

  const Facts& facts() const { return facts_; }
  const budget::Deadline& deadline() const { return deadline_; }

  // A fresh, lazily decoded, single-pass view of the first page. Throws
  // vips::VError, or ImagingError when the decode would go over the budget.
  vips::VImage openSequential() const;
  // The whole first page decoded at full resolution, in its own samples
  // (grey stays grey, 16-bit stays 16-bit). Decoded once per picture and
  // kept while the picture lives. Throws as openSequential.
  vips::VImage bitmap() const;
  // The bitmap's colour bands alone, when it was made with an alpha that is
  // 255 everywhere (a quarter turn of an opaque picture): an encoder that
  // drops alpha takes these instead of computing the alpha and flattening
  // it away. None otherwise.
  std::optional<vips::VImage> opaqueColour() const;
  // The picture scaled to exactly width x height with a high-quality filter,
  // decoded at a reduced scale where the format allows. Not turned by EXIF
  // orientation: the stored picture is what is drawn. Throws as openSequential.
  vips::VImage scaled(int width, int height) const;

 private:
  Impl() : deadline_(budget::Deadline::after(budget::kPictureWork)) {}
  static std::shared_ptr<const Impl> open(std::shared_ptr<Impl> impl);
  // A picture made from a bitmap in memory, with no file or bytes behind it.
  bool isBitmapOnly() const { return !file_ && !bytes_; }
  detail::ByteSource byteSource() const;
  vips::VSource newSource() const;
  // Throws ImagingError (with a log line) when a decode at 1/shrink scale
  // would hold more than the budget.
  void checkDecodeCost(int shrink, bool whole) const;
  // The picture's decoder, reading at 1/shrink scale where the format can
  // (JPEG, WebP), its pixels subject to the picture's deadline.
  vips::VImage load(VipsAccess access, int shrink = 1) const;
  // The JPEG decoded at 1/shrink scale by the JPEG decoder itself, when it
  // would hold at most maxBytes; none when it is not a plain JPEG, so that
  // libvips' loader takes it.
  std::optional<vips::VImage> decodeJpegDirectly(int shrink, uint64_t maxBytes) const;

  // Set for a file; libvips reads it through the descriptor (see newSource).
  std::shared_ptr<const file::InputFile> file_;
  std::shared_ptr<const media::Bytes> bytes_;  // set for bytes held in memory
  // BMP has no streaming decoder here: its bytes (a file's too) are held in
  // memory and decoded through the buffer interface.
  bool viaBuffer_ = false;
  detail::HeaderFacts cost_;
  budget::Deadline deadline_;
  mutable std::once_flag decodeOnce_;
  mutable std::optional<vips::VImage> bitmap_;  // set for a bitmap, or once decoded
  std::optional<vips::VImage> opaqueColour_;
  Facts facts_;
};

}  // namespace corvane::imaging
