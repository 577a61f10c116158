#pragma once

// What a Picture holds: where its pixels come from and the header facts read
// when it was opened. Private to the imaging layer.

#include <memory>
#include <mutex>
#include <optional>
#include <vips/vips8>

#include "media/MediaRecord.h"
#include "platform/imaging/Picture.h"

namespace corvane::imaging {

class Picture::Impl {
 public:
  // Header facts of a decoded or decodable picture.
  struct Facts {
    int width = 0;
    int height = 0;
    double xres = 0;  // pixels per millimetre, as libvips reports it
    double yres = 0;
    bool alpha = false;
    std::optional<media::Bytes> exif;
  };

  // Which decoder the picture takes: JPEG can decode at a reduced scale; a
  // JPEG or PNG is scaled from one load of our own (see scaled()).
  enum class Kind { Jpeg, Png, Other };

  // Reads the header; none when the input is no picture of an accepted
  // format, or is larger than kMaxPixels.
  static std::shared_ptr<const Impl> openFile(std::shared_ptr<const file::InputFile> file);
  static std::shared_ptr<const Impl> openBytes(media::Bytes bytes);
  // A picture that is already a bitmap in memory (a drawing's result).
  static std::shared_ptr<const Impl> fromBitmap(vips::VImage bitmap);

  const Facts& facts() const { return facts_; }

  // A fresh, lazily decoded, single-pass view of the first page. Throws vips::VError.
  vips::VImage openSequential() const;
  // The whole first page decoded at full resolution, in its own samples
  // (grey stays grey, 16-bit stays 16-bit). Decoded once per picture and
  // kept while the picture lives. Throws vips::VError.
  vips::VImage bitmap() const;
  // The picture scaled to exactly width x height with a high-quality filter,
  // decoded at a reduced scale where the format allows. Not turned by EXIF
  // orientation: the stored picture is what is drawn. Throws vips::VError.
  vips::VImage scaled(int width, int height) const;

 private:
  Impl() = default;
  static std::shared_ptr<const Impl> open(std::shared_ptr<Impl> impl);
  // A picture made from a bitmap in memory, with no file or bytes behind it.
  bool isBitmapOnly() const { return !file_ && !bytes_; }
  // The first bytes of the picture, for its signature.
  media::Bytes head() const;
  vips::VSource newSource() const;
  // shrink > 1 asks the JPEG decoder for a 1/shrink scale (rounded up).
  vips::VImage load(VipsAccess access, int shrink = 1) const;
  vips::VImage scaledByLoader(int width, int height) const;
  // The JPEG decoded at 1/shrink scale by the JPEG decoder itself; none
  // when it is not a plain JPEG, so that libvips' loader takes it.
  std::optional<vips::VImage> decodeJpegDirectly(int shrink) const;

  // Set for a file; libvips reads it through the descriptor (see newSource).
  std::shared_ptr<const file::InputFile> file_;
  std::shared_ptr<const media::Bytes> bytes_;  // set for bytes held in memory
  // BMP has no streaming decoder here: its bytes (a file's too) are held in
  // memory and decoded through the buffer interface.
  bool viaBuffer_ = false;
  Kind kind_ = Kind::Other;
  mutable std::once_flag decodeOnce_;
  mutable std::optional<vips::VImage> bitmap_;  // set for a bitmap, or once decoded
  Facts facts_;
};

}  // namespace corvane::imaging
