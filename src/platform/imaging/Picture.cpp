#include "platform/imaging/Picture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/imaging/JpegScaledDecoder.h"
#include "platform/imaging/PictureImpl.h"
#include "platform/imaging/VipsSupport.h"

namespace corvane::imaging {

namespace {

using vips::VImage;

// The decoders trusted with what clients hand the service: the photo formats,
// plus BMP through ImageMagick. Input must first start with the signature of
// one of these formats (see signatureOf), so bytes of any other kind are
// refused before a single decoder probes them; everything else libvips could
// open (PDF, SVG, scientific formats...) is refused, so hostile input only
// meets these.
bool isAcceptedLoader(const char* typeName) {
  static constexpr std::string_view kAccepted[] = {"VipsForeignLoadJpeg",  "VipsForeignLoadPng",
                                                   "VipsForeignLoadNsgif", "VipsForeignLoadTiff",
                                                   "VipsForeignLoadWebp",  "VipsForeignLoadHeif"};
  if (typeName == nullptr) return false;
  const std::string_view loader(typeName);
  for (std::string_view accepted : kAccepted) {
    if (loader.substr(0, accepted.size()) == accepted) return true;
  }
  return false;
}

// The formats a picture may be, by the signature its first bytes carry.
enum class Signature { None, Photo, Bmp };

Signature signatureOf(media::ByteSpan head) {
  auto startsWith = [&](std::string_view magic, size_t at = 0) {
    return head.size() >= at + magic.size() &&
           std::equal(magic.begin(), magic.end(), head.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char m, uint8_t b) { return static_cast<uint8_t>(m) == b; });
  };
  if (startsWith("\xFF\xD8\xFF") || startsWith("\x89PNG\r\n\x1A\n") || startsWith("GIF87a") ||
      startsWith("GIF89a") || startsWith(std::string_view("II*\0", 4)) ||
      startsWith(std::string_view("MM\0*", 4)) || (startsWith("RIFF") && startsWith("WEBP", 8)) ||
      startsWith("ftyp", 4)) {
    return Signature::Photo;
  }
  return startsWith("BM") ? Signature::Bmp : Signature::None;
}

// The format a loader reads, for the cost rules (BMP: ImageMagick's loader).
detail::Format formatOf(const char* typeName) {
  const std::string_view loader(typeName == nullptr ? "" : typeName);
  if (loader.starts_with("VipsForeignLoadJpeg")) return detail::Format::Jpeg;
  if (loader.starts_with("VipsForeignLoadPng")) return detail::Format::Png;
  if (loader.starts_with("VipsForeignLoadNsgif")) return detail::Format::Gif;
  if (loader.starts_with("VipsForeignLoadTiff")) return detail::Format::Tiff;
  if (loader.starts_with("VipsForeignLoadWebp")) return detail::Format::Webp;
  if (loader.starts_with("VipsForeignLoadHeif")) return detail::Format::Heif;
  return detail::Format::Bmp;
}

// The largest decoding scale 1/n the format offers whose picture still
// covers width x height, so the high-quality filter only ever reduces;
// decoding a quarter or less of the pixels is most of a thumbnail's cost.
// JPEG decodes at 1/2, 1/4 or 1/8; WebP at any scale; the rest whole.
int shrinkFor(detail::Format format, int sourceWidth, int sourceHeight, int width, int height) {
  if (format == detail::Format::Webp)
    return std::max(1, std::min(sourceWidth / width, sourceHeight / height));
  if (format != detail::Format::Jpeg) return 1;
  for (int shrink : {8, 4, 2}) {
    if (sourceWidth / shrink >= width && sourceHeight / shrink >= height) return shrink;
  }
  return 1;
}

std::optional<media::Bytes> exifOf(const VImage& header) {
  if (header.get_typeof(VIPS_META_EXIF_NAME) == 0) return std::nullopt;
  size_t length = 0;
  const auto* data = static_cast<const uint8_t*>(header.get_blob(VIPS_META_EXIF_NAME, &length));
  if (data == nullptr || length == 0) return std::nullopt;
  return media::Bytes(data, data + length);
}

// The pixel at (x, y) of an 8-bit RGB(A) or grey(+alpha) picture as toRgba8
// would give it, read straight from the decoder on this thread. Building the
// conversion pipeline and a one-pixel sink costs more than decoding the top
// rows of a cover, so the common formats skip it. none for every other
// format, which then takes the general conversion.
std::optional<Rgba> rgba8PixelAt(const VImage& image, int x, int y) {
  if (image.format() != VIPS_FORMAT_UCHAR) return std::nullopt;
  const int bands = image.bands();
  const VipsInterpretation interpretation = vips_image_guess_interpretation(image.get_image());
  const bool rgb = interpretation == VIPS_INTERPRETATION_sRGB && (bands == 3 || bands == 4);
  const bool grey = interpretation == VIPS_INTERPRETATION_B_W && (bands == 1 || bands == 2);
  if (!rgb && !grey) return std::nullopt;
  const vips::VRegion region = vips::VRegion::new_from_image(image);
  region.prepare(x, y, 1, 1);
  const VipsPel* p = region.addr(x, y);
  if (grey) return Rgba{p[0], p[0], p[0], bands == 2 ? p[1] : uint8_t{255}};
  return Rgba{p[0], p[1], p[2], bands == 4 ? p[3] : uint8_t{255}};
}

// A BMP file is read whole: at most the memory budget.
constexpr uintmax_t kMaxBmpFileBytes = budget::kDecodeBytes;
// A JPEG file is read whole for a decode of our own up to this size; a larger
// one (a huge panorama, or trailing junk) streams through libvips' loader.
constexpr uintmax_t kMaxJpegFileBytes = 64u * 1024 * 1024;
// A thumbnail's JPEG decoded whole at a reduced scale by our own decoder may
// hold this much; a larger one streams through libvips' loader.
constexpr uint64_t kMaxScaledJpegBytes = 48u * 1024 * 1024;

// What a source over an open file reads with: the file, kept open while the
// source lives, and the source's own read position.
struct FileReader {
  std::shared_ptr<const file::InputFile> file;
  gint64 position = 0;
};

gint64 readFromFile(VipsSourceCustom*, void* buffer, gint64 length, gpointer user) {
  auto& reader = *static_cast<FileReader*>(user);
  if (length < 0) return -1;
  for (;;) {
    const ssize_t n = ::pread(reader.file->fd(), buffer, static_cast<size_t>(length), reader.position);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) reader.position += n;
    return n;
  }
}

gint64 seekInFile(VipsSourceCustom*, gint64 offset, int whence, gpointer user) {
  auto& reader = *static_cast<FileReader*>(user);
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
  gint64 base = whence == SEEK_CUR ? reader.position : 0;
  if (whence == SEEK_END) {
    struct stat st {};
    if (::fstat(reader.file->fd(), &st) != 0) return -1;
    base = st.st_size;
  }
  if (offset < -base || offset > G_MAXINT64 - base) return -1;
  return reader.position = base + offset;
}

// A libvips source over the open file, reading its descriptor at a position
// of its own (so that pipelines never share an offset). It has no file name
// on purpose: some of libvips' format probes open a named file again by its
// path, and a FIFO swapped in there would hold them forever.
vips::VSource sourceOver(std::shared_ptr<const file::InputFile> file) {
  VipsSourceCustom* source = vips_source_custom_new();
  if (source == nullptr) throw vips::VError();
  auto* reader = new FileReader{std::move(file)};
  // Both handlers share the reader; it goes with the read handler, when the
  // source is finalized.
  g_signal_connect_data(
      source, "read", G_CALLBACK(readFromFile), reader,
      [](gpointer data, GClosure*) { delete static_cast<FileReader*>(data); }, GConnectFlags(0));
  g_signal_connect(source, "seek", G_CALLBACK(seekInFile), reader);
  return vips::VSource(VIPS_SOURCE(source), vips::STEAL);
}

}  // namespace

// ---- Picture::Impl ----

std::shared_ptr<const Picture::Impl> Picture::Impl::openFile(std::shared_ptr<const file::InputFile> file) {
  auto impl = std::shared_ptr<Impl>(new Impl());
  impl->file_ = std::move(file);
  return open(std::move(impl));
}

std::shared_ptr<const Picture::Impl> Picture::Impl::openBytes(media::Bytes bytes) {
  if (bytes.empty()) return nullptr;
  auto impl = std::shared_ptr<Impl>(new Impl());
  impl->bytes_ = std::make_shared<const media::Bytes>(std::move(bytes));
  return open(std::move(impl));
}

std::shared_ptr<const Picture::Impl> Picture::Impl::fromBitmap(VImage bitmap, budget::Deadline deadline,
                                                               std::optional<VImage> opaqueColour) {
  auto impl = std::shared_ptr<Impl>(new Impl());
  impl->opaqueColour_ = std::move(opaqueColour);
  impl->deadline_ = deadline;
  impl->facts_.width = bitmap.width();
  impl->facts_.height = bitmap.height();
  impl->facts_.bands = bitmap.bands();
  impl->facts_.format = bitmap.format();
  impl->facts_.interpretation = bitmap.interpretation();
  impl->facts_.xres = bitmap.xres();
  impl->facts_.yres = bitmap.yres();
  impl->facts_.alpha = bitmap.has_alpha();
  impl->bitmap_ = std::move(bitmap);
  return impl;
}

std::shared_ptr<const Picture::Impl> Picture::Impl::open(std::shared_ptr<Impl> impl) {
  const detail::VipsCall call;
  try {
    const detail::ByteSource source = impl->byteSource();
    media::Bytes scratch;
    const std::optional<media::ByteSpan> head = source.view(0, 16, scratch);
    const Signature signature = head ? signatureOf(*head) : Signature::None;
    if (signature == Signature::None) return nullptr;
    vips::VSource vipsSource = impl->newSource();
    const char* loader = vips_foreign_find_load_source(vipsSource.get_source());
    impl->cost_.format = formatOf(loader);
    if (!isAcceptedLoader(loader)) {
      if (signature != Signature::Bmp) return nullptr;
      if (!impl->bytes_) {
        std::optional<media::Bytes> bytes = impl->file_->readAll(kMaxBmpFileBytes);
        if (!bytes) return nullptr;
        impl->bytes_ = std::make_shared<const media::Bytes>(std::move(*bytes));
      }
      impl->viaBuffer_ = true;
    }
    // Only the header is read here; the pixels stay in the file or bytes.
    const VImage header = impl->load(VIPS_ACCESS_SEQUENTIAL);
    if (header.width() <= 0 || header.height() <= 0) return nullptr;
    Facts& facts = impl->facts_;
    facts.width = header.width();
    facts.height = header.height();
    facts.bands = header.bands();
    facts.format = header.format();
    facts.interpretation = header.interpretation();
    facts.xres = header.xres();
    facts.yres = header.yres();
    facts.alpha = header.has_alpha();
    facts.exif = exifOf(header);

    detail::HeaderFacts& cost = impl->cost_;
    cost.width = facts.width;
    cost.height = facts.height;
    cost.bands = facts.bands;
    cost.bytesPerSample = static_cast<int>(vips_format_sizeof(facts.format));
    cost.interlaced = header.get_typeof("interlaced") != 0 && header.get_int("interlaced") != 0;
    cost.fileBytes = source.size();
    if (cost.format == detail::Format::Jpeg)
      cost.jpeg = detail::readJpegLayout(source, budget::kMaxJpegScans);
    detail::readFormatHeader(source, cost);
    if (const std::optional<std::string> reason = detail::refusalOf(cost)) {
      detail::reportOverBudget(*reason);
      return nullptr;
    }
    return impl;
  } catch (const vips::VError&) {
    return nullptr;
  } catch (const ImagingError&) {
    return nullptr;
  }
}

detail::ByteSource Picture::Impl::byteSource() const {
  return bytes_ ? detail::ByteSource(media::ByteSpan(*bytes_)) : detail::ByteSource(*file_);
}

vips::VSource Picture::Impl::newSource() const {
  if (bytes_) return vips::VSource::new_from_memory(bytes_->data(), bytes_->size());
  return sourceOver(file_);
}

void Picture::Impl::checkDecodeCost(int shrink, bool whole) const {
  const uint64_t bytes = detail::decodeBytes(cost_, shrink, whole);
  if (bytes > budget::kDecodeBytes) {
    detail::failOverBudget("decoding " + std::to_string(facts_.width) + " x " +
                           std::to_string(facts_.height) + " pixels would hold " + detail::mebibytes(bytes));
  }
}

VImage Picture::Impl::load(VipsAccess access, int shrink) const {
  const detail::Format format = cost_.format;
  auto options = [access, shrink, format] {
    vips::VOption* options = VImage::option()->set("access", access)->set("fail_on", VIPS_FAIL_ON_ERROR);
    if (shrink > 1 && format == detail::Format::Jpeg) return options->set("shrink", shrink);
    if (shrink > 1 && format == detail::Format::Webp) return options->set("scale", 1.0 / shrink);
    return options;
  };
  const VImage loaded = viaBuffer_ ? VImage::new_from_buffer(bytes_->data(), bytes_->size(), "", options())
                                   : VImage::new_from_source(newSource(), "", options());
  return detail::withDeadline(loaded, deadline_);
}

VImage Picture::Impl::openSequential() const {
  if (isBitmapOnly()) return detail::withDeadline(*bitmap_, deadline_);
  checkDecodeCost(1, false);
  return load(VIPS_ACCESS_SEQUENTIAL);
}

VImage Picture::Impl::bitmap() const {
  if (!isBitmapOnly()) {
    std::call_once(decodeOnce_, [this] {
      checkDecodeCost(1, true);
      // One copy of the pixels: decoded straight into memory, row by row.
      std::optional<VImage> decoded = decodeJpegDirectly(1, budget::kDecodeBytes);
      bitmap_ = decoded ? *decoded : load(VIPS_ACCESS_SEQUENTIAL).copy_memory();
    });
  }
  return detail::withDeadline(*bitmap_, deadline_);
}

std::optional<VImage> Picture::Impl::opaqueColour() const {
  if (!opaqueColour_) return std::nullopt;
  return detail::withDeadline(*opaqueColour_, deadline_);
}

// The picture is opened once here, at the scale chosen from the header
// facts, instead of letting the thumbnail operation read the header again
// and choose its own (more conservative) scale.
VImage Picture::Impl::scaled(int width, int height) const {
  auto thumbnailOf = [width, height](const VImage& image) {
    return image.thumbnail_image(
        width, VImage::option()->set("height", height)->set("size", VIPS_SIZE_FORCE)->set("no_rotate", true));
  };
  if (isBitmapOnly()) {
    // A bitmap (a movie frame, say) is box-averaged to no less than twice the
    // size and then reduced by one Lanczos pass: the thumbnail operation
    // costs several times that on a picture already in memory.
    VImage source = detail::withDeadline(*bitmap_, deadline_);
    const int boxShrink = std::min(source.width() / (2 * width), source.height() / (2 * height));
    if (boxShrink > 1) source = source.shrink(boxShrink, boxShrink);
    VImage resized =
        source.resize(double(width) / source.width(),
                      VImage::option()->set("vscale", double(height) / source.height())->set("gap", 0.0));
    if (resized.width() == width && resized.height() == height) return resized;
    return thumbnailOf(detail::withDeadline(*bitmap_, deadline_));
  }
  const int shrink = shrinkFor(cost_.format, facts_.width, facts_.height, width, height);
  checkDecodeCost(shrink, false);
  if (std::optional<VImage> decoded = decodeJpegDirectly(shrink, kMaxScaledJpegBytes)) {
    // Plain 8-bit samples without alpha: a Lanczos reduction straight to
    // the size. The thumbnail operation would first box-shrink and then
    // reduce the rest, and its pipeline costs several times this on a
    // decoded thumbnail-sized picture.
    const VImage resized =
        decoded->resize(double(width) / decoded->width(),
                        VImage::option()->set("vscale", double(height) / decoded->height())->set("gap", 0.0));
    if (resized.width() == width && resized.height() == height) return resized;
  }
  return thumbnailOf(load(VIPS_ACCESS_SEQUENTIAL, shrink));
}

std::optional<VImage> Picture::Impl::decodeJpegDirectly(int shrink, uint64_t maxBytes) const {
  if (cost_.format != detail::Format::Jpeg) return std::nullopt;
  std::optional<media::Bytes> fileBytes;
  if (!bytes_) {
    fileBytes = file_->readAll(kMaxJpegFileBytes);
    if (!fileBytes) return std::nullopt;
  }
  const media::Bytes& jpeg = bytes_ ? *bytes_ : *fileBytes;
  return detail::decodeJpegScaled(jpeg, shrink, maxBytes);
}

// ---- Picture ----

Picture::Picture(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

std::optional<Picture> Picture::fromFile(std::shared_ptr<const file::InputFile> file) {
  if (!file) return std::nullopt;
  auto impl = Impl::openFile(std::move(file));
  if (!impl) return std::nullopt;
  return Picture(std::move(impl));
}

std::optional<Picture> Picture::fromFile(const std::string& path) {
  std::optional<file::InputFile> file = file::InputFile::open(path);
  if (!file) return std::nullopt;
  return fromFile(std::make_shared<const file::InputFile>(std::move(*file)));
}

std::optional<Picture> Picture::fromBytes(media::Bytes bytes) {
  auto impl = Impl::openBytes(std::move(bytes));
  if (!impl) return std::nullopt;
  return Picture(std::move(impl));
}

std::optional<Picture> Picture::fromRgbPixels(int width, int height, const media::Bytes& rgb) {
  if (width <= 0 || height <= 0 || int64_t{width} * height > kMaxPixels ||
      rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
    return std::nullopt;
  }
  const detail::VipsCall call;  // a failure's text stays in this operation's scope
  VipsImage* copy =
      vips_image_new_from_memory_copy(rgb.data(), rgb.size(), width, height, 3, VIPS_FORMAT_UCHAR);
  if (copy == nullptr) return std::nullopt;
  copy->Type = VIPS_INTERPRETATION_sRGB;
  return Picture(Impl::fromBitmap(VImage(copy), budget::Deadline::after(budget::kPictureWork)));
}

int Picture::pixelsWide() const { return impl_->facts().width; }

int Picture::pixelsHigh() const { return impl_->facts().height; }

PointSize Picture::sizeInPoints() const {
  // libvips keeps resolution in pixels per millimetre and reports exactly 1
  // when the file records none; 72 dpi is one point per pixel.
  auto points = [](int pixels, double perMillimetre) {
    const double dpi = perMillimetre * 25.4;
    if (!(dpi > 0.0) || perMillimetre == 1.0 || std::abs(dpi - 72.0) < 0.01) {
      return static_cast<double>(pixels);
    }
    return pixels * 72.0 / dpi;
  };
  const auto& facts = impl_->facts();
  return {points(facts.width, facts.xres), points(facts.height, facts.yres)};
}

std::optional<Rgba> Picture::colorAt(int x, int y) const {
  const auto& facts = impl_->facts();
  if (x < 0 || y < 0 || x >= facts.width || y >= facts.height) return std::nullopt;
  const detail::VipsCall call;
  try {
    // A single-pass decode stops at row y, so reading a pixel near the top is cheap.
    const VImage source = impl_->openSequential();
    if (std::optional<Rgba> colour = rgba8PixelAt(source, x, y)) return colour;
    const VImage pixel = detail::toRgba8(source.crop(x, y, 1, 1));
    const std::vector<double> value = pixel.getpoint(0, 0);
    if (value.size() < 4) return std::nullopt;
    auto sample = [&](size_t i) { return static_cast<uint8_t>(value[i]); };
    return Rgba{sample(0), sample(1), sample(2), sample(3)};
  } catch (const vips::VError&) {
    return std::nullopt;
  } catch (const ImagingError&) {
    return std::nullopt;
  }
}

std::optional<media::Bytes> Picture::exifData() const { return impl_->facts().exif; }

bool Picture::hasAlpha() const { return impl_->facts().alpha; }

}  // namespace corvane::imaging
