// Photos: the picture builder's record (with its EXIF keys, from JPG files
// only), the EXIF extractor's record checked against libexif's own texts,
// and the rotation by the EXIF orientation.

#include <libexif/exif-data.h>

#include <array>
#include <memory>

#include "host/ExifInfoCodec.h"
#include "image/ExifExtractor.h"
#include "image/ExifRotation.h"
#include "image/UnifiedImageInfoBuilder.h"
#include "platform/exif/ExifData.h"
#include "unit/TestSupport.h"

namespace corvane::image {
namespace {

namespace fs = std::filesystem;
using namespace media;  // the MediaDB keys
using namespace test;   // the EXIF builder
using imagingtest::Rgb;
using ExifDataPtr = std::unique_ptr<ExifData, void (*)(ExifData*)>;

constexpr const char* kRedEye = "Red-eye reduction supported";
const Bytes kVersion220 = {'0', '2', '2', '0'};

class PhotoTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_ / name; }
  std::string write(const std::string& name, const Bytes& bytes) {
    EXPECT_TRUE(writeBytes(path(name), bytes));
    return path(name);
  }
  // A w x h picture with a diagonal stroke, so that encoders have something to encode.
  std::string writePicture(const std::string& name, int w, int h) const {
    imagingtest::drawRgb(w, h, [](int x, int y) {
      return x == y ? Rgb{250, 120, 10} : Rgb{40, 40, 40};
    }).write_to_file(path(name).c_str());
    return path(name);
  }
  std::optional<RZExifInfo> extract(const Bytes& bytes) {
    return ExifExtractor().extractExif(write("x.jpg", bytes));
  }

  tagtest::ScratchDir dir_;
  UnifiedImageInfoBuilder builder_;
};

// Title drops only the last extension; a link is followed: size and dates
// are the picture's, names the link's; a thumbnail is described by the
// picture's own size.
TEST_F(PhotoTest, BuilderMakesTheRecordForEveryPictureFormat) {
  const std::tuple<const char*, int32_t, const char*, int, int> cases[] = {
      {"holiday.photo.jpg", kMediaTypeJPG, "JPG", 4000, 3000},
      {"p.png", kMediaTypePNG, "PNG", 120, 80},
      {"p.gif", kMediaTypeGIF, "GIF", 120, 80},
      {"p.bmp", kMediaTypeBMP, "BMP", 120, 80},
      {"p.tiff", kMediaTypeTIFF, "TIFF", 120, 80}};
  for (const auto& [name, type, typeName, width, height] : cases) {
    SCOPED_TRACE(name);
    const std::string file = writePicture(name, width, height);
    const auto record = builder_.build(file);
    ASSERT_TRUE(record);
    const std::pair<const char*, MediaValue> keys[] = {
        {MediaDBCommonColumnFilePath, file},
        {MediaDBCommonColumnFileName, name},
        {MediaDBPhotoColumnTitle, std::string(name, std::string_view(name).rfind('.'))},
        {MediaDBCommonColumnFileSize, uint64_t{fs::file_size(file)}},
        {MediaDBCommonColumnMediaType, type},
        {MediaDBCommonColumnFileTypeString, typeName},
        {MediaDBPhotoColumnWidth, width},
        {MediaDBPhotoColumnHeight, height}};
    for (const auto& [key, value] : keys) EXPECT_EQ(record->values().at(key), value) << key;
    EXPECT_TRUE(record->get<Date>(MediaDBPhotoColumnDateAdded) &&
                record->get<Date>(MediaDBPhotoColumnDateModified));
    const vips::VImage thumb = imagingtest::decode(*record->get<Bytes>(MediaDBPhotoColumnImage));
    EXPECT_EQ(std::pair(thumb.width(), thumb.height()), std::pair(100, height * 100 / width));
    EXPECT_FALSE(record->contains(MediaDBPhotoColumnCameraModel));
  }
  const std::string file = path("holiday.photo.jpg");
  fs::create_symlink(file, path("link.jpg"));
  const auto linked = builder_.build(path("link.jpg"));
  ASSERT_TRUE(linked);
  EXPECT_EQ(*linked->get<uint64_t>(MediaDBCommonColumnFileSize), fs::file_size(file));
  EXPECT_EQ(*linked->get<Date>(MediaDBPhotoColumnDateModified),
            *builder_.build(file)->get<Date>(MediaDBPhotoColumnDateModified));
  EXPECT_EQ(*linked->get<std::string>(MediaDBCommonColumnFileName), "link.jpg");

  const auto described = builder_.makeThumbnail(file, 320, 320);
  ASSERT_TRUE(described);
  EXPECT_EQ(std::pair(described->width, described->height), std::pair(4000.0f, 3000.0f));
  EXPECT_TRUE(described->data.at(0) == 'I' || described->data.at(0) == 'M');  // TIFF
  const vips::VImage thumb = imagingtest::decode(described->data);
  EXPECT_EQ(std::pair(thumb.width(), thumb.height()), std::pair(320, 240));
}

TEST_F(PhotoTest, NoPictureGivesNothing) {
  const std::string fifo = path("pipe.jpg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // opening it for reading would wait for a writer
  for (const std::string& file :
       {write("x.jpg", {'t', 'e', 'x', 't'}), write("empty.png", {}), path("missing.jpg"), fifo, path("")}) {
    EXPECT_FALSE(builder_.build(file)) << file;
    EXPECT_FALSE(builder_.makeThumbnail(file, 320, 320)) << file;
  }
}

// Only the "JPG" code reads EXIF: the five tags, each text of at least two
// bytes and valid UTF-8, the date in local time when it parses.
TEST_F(PhotoTest, BuilderReadsExifFromJpgFilesOnly) {
  ExifBuilder exif;
  exif.ascii(Ifd::Zero, EXIF_TAG_MODEL, "Cam 3000")
      .shortValue(Ifd::Zero, EXIF_TAG_ORIENTATION, 6)
      .ascii(Ifd::Zero, EXIF_TAG_DATE_TIME, "2021:07:04 12:30:45")
      .ascii(Ifd::Zero, EXIF_TAG_ARTIST, "Ann Example")
      .byteValues(Ifd::Zero, EXIF_TAG_XP_COMMENT, {'H', 0, 'i', 0, '!', 0, 0, 0});
  const Bytes jpeg = exif.jpeg(imagingtest::jpeg(64, 48, imagingtest::solid({9, 9, 9})));
  const auto jpg = builder_.build(write("a.jpg", jpeg)), other = builder_.build(write("a.jpeg", jpeg));
  ASSERT_TRUE(jpg && other);
  // 12:30:45 daylight time in New York is 16:30:45 UTC.
  const std::pair<const char*, MediaValue> keys[] = {
      {MediaDBPhotoColumnCameraModel, "Cam 3000"},
      {MediaDBPhotoColumnCreator, "Ann Example"},
      {MediaDBPhotoColumnDescription, "Hi!"},
      {"Orientation", "Right-top"},
      {MediaDBPhotoColumnDatePictured, Date::fromSeconds(1625416245)}};
  for (const auto& [key, value] : keys) {
    EXPECT_EQ(jpg->values().at(key), value) << key;
    EXPECT_FALSE(other->contains(key)) << key;
  }

  ExifBuilder bad;
  bad.ascii(Ifd::Zero, EXIF_TAG_ARTIST, "")             // data size 1
      .ascii(Ifd::Zero, EXIF_TAG_MODEL, "Caf\xE9 cam")  // Latin-1, not UTF-8
      .ascii(Ifd::Zero, EXIF_TAG_DATE_TIME, "2021:13:04 12:30:45");
  const auto record =
      builder_.build(write("e.jpg", bad.jpeg(imagingtest::jpeg(64, 48, imagingtest::solid({9, 9, 9})))));
  ASSERT_TRUE(record && record->contains(MediaDBPhotoColumnWidth));
  for (const char* key :
       {MediaDBPhotoColumnCreator, MediaDBPhotoColumnCameraModel, MediaDBPhotoColumnDatePictured})
    EXPECT_FALSE(record->contains(key)) << key;
}

TEST(PhotoExifCallback, MissingArgumentsAreLoggedAndSkipped) {
  ExifEntry* entry = exif_entry_new();
  MediaRecord record;
  log::Capture capture;
  photo_exif::contentForeachEntry(nullptr, &record);
  photo_exif::contentForeachEntry(entry, nullptr);
  exif_record::contentForeachEntry(nullptr, nullptr);
  const auto line = [](const char* module, int line, void* entry, void* arg) {
    return log::format("[%s:contentForeachEntry-(%d)] invalid arguments entry(%p), arg(%p)", module, line,
                       entry, arg);
  };
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{line("UnifiedImageInfoBuider", 149, nullptr, &record),
                                                       line("UnifiedImageInfoBuider", 149, entry, nullptr),
                                                       line("ExifExtractor", 14, nullptr, nullptr)}));
  EXPECT_TRUE(record.empty());
  exif_entry_unref(entry);
}

// What libexif itself renders for the entry, found in the JPEG bytes.
std::string libexifText(const Bytes& jpeg, ExifTag tag) {
  ExifDataPtr data(exif_data_new_from_data(jpeg.data(), jpeg.size()), exif_data_unref);
  ExifEntry* entry = data ? exif_content_get_entry(data->ifd[EXIF_IFD_EXIF], tag) : nullptr;
  char buffer[1024] = "<no entry>";
  if (entry) exif_entry_get_value(entry, buffer, sizeof buffer);
  return buffer;
}

TEST_F(PhotoTest, ExtractorGivesLibexifsTextForEveryMappedTagInBothByteOrders) {
  using Getter = RZExifInfo::Text (RZExifInfo::*)() const;
  // clang-format off
  const std::tuple<Getter, ExifTag, ExifFormat, uint32_t, uint32_t> mapped[] = {
      {&RZExifInfo::F_value, EXIF_TAG_FNUMBER, EXIF_FORMAT_RATIONAL, 28, 10},
      {&RZExifInfo::exposureProgram, EXIF_TAG_EXPOSURE_PROGRAM, EXIF_FORMAT_SHORT, 2, 0},
      {&RZExifInfo::iso, EXIF_TAG_ISO_SPEED_RATINGS, EXIF_FORMAT_SHORT, 400, 0},
      {&RZExifInfo::shutterSpeed, EXIF_TAG_SHUTTER_SPEED_VALUE, EXIF_FORMAT_SRATIONAL, 6, 1},
      {&RZExifInfo::exposureBias, EXIF_TAG_EXPOSURE_BIAS_VALUE, EXIF_FORMAT_SRATIONAL, uint32_t(-2), 3},
      {&RZExifInfo::maxAperture, EXIF_TAG_MAX_APERTURE_VALUE, EXIF_FORMAT_RATIONAL, 3, 1},
      {&RZExifInfo::meteringMode, EXIF_TAG_METERING_MODE, EXIF_FORMAT_SHORT, 5, 0},
      {&RZExifInfo::flash, EXIF_TAG_FLASH, EXIF_FORMAT_SHORT, 0x41, 0},
      {&RZExifInfo::focalLength, EXIF_TAG_FOCAL_LENGTH, EXIF_FORMAT_RATIONAL, 50, 1},
      {&RZExifInfo::colorSpace, EXIF_TAG_COLOR_SPACE, EXIF_FORMAT_SHORT, 1, 0},
      {&RZExifInfo::flashMode, EXIF_TAG_FLASH_ENERGY, EXIF_FORMAT_RATIONAL, 12, 1},
      {&RZExifInfo::whiteBalance, EXIF_TAG_WHITE_BALANCE, EXIF_FORMAT_SHORT, 1, 0},
      {&RZExifInfo::sceneCaptureType, EXIF_TAG_SCENE_CAPTURE_TYPE, EXIF_FORMAT_SHORT, 2, 0}};
  // clang-format on
  for (test::ByteOrder order : {test::ByteOrder::Intel, test::ByteOrder::Motorola}) {
    ExifBuilder b(order);
    b.ascii(Ifd::Zero, EXIF_TAG_MAKE, "Canon").ascii(Ifd::Zero, EXIF_TAG_MODEL, "EOS 5D");
    b.shortValue(Ifd::Zero, EXIF_TAG_ORIENTATION, 6)
        .ascii(Ifd::Zero, EXIF_TAG_DATE_TIME, "2009:05:17 13:45:02");
    b.undefined(Ifd::Exif, EXIF_TAG_EXIF_VERSION, kVersion220);
    for (const auto& [getter, tag, format, first, second] : mapped)
      b.add(Ifd::Exif, tag, format,
            format == EXIF_FORMAT_SHORT ? b.u16(uint16_t(first)) : b.rationalBytes(first, second));
    const Bytes jpeg = b.jpeg();
    const auto info = extract(jpeg);
    ASSERT_TRUE(info);
    EXPECT_EQ(
        std::tuple(info->vendor(), info->model(), info->orientation(), info->F_value(), info->version()),
        std::tuple("Canon", "EOS 5D", "Right-top", "f/2.8", libexifText(jpeg, EXIF_TAG_EXIF_VERSION)));
    for (const auto& [getter, tag, format, first, second] : mapped)
      EXPECT_EQ(((*info).*getter)(), libexifText(jpeg, tag)) << tag;  // real renderings, not placeholders
    EXPECT_EQ(std::pair(info->versionNumber(), info->redEyeReduction()),
              std::pair(220, RZExifInfo::Text(kRedEye)));

    // Every field, each text distinct, crosses the record's D-Bus codec and
    // setValues whole; values of the wrong kind decode as none.
    EXPECT_EQ(host::exifInfoFromRecord(host::exifRecord(*info)), *info);
    RZExifInfo copy;
    copy.setValues(*info);
    EXPECT_EQ(copy, *info);
    copy.setValues(RZExifInfo());
    EXPECT_EQ(copy, RZExifInfo());
    auto wrongKinds = host::exifRecord(*info);
    wrongKinds.set("vendor", int32_t{5});
    wrongKinds.set("versionNumber", std::string("220"));
    wrongKinds.set("date", uint64_t{1});
    const RZExifInfo decoded = host::exifInfoFromRecord(wrongKinds);
    EXPECT_FALSE(decoded.vendor() || decoded.date() || decoded.versionNumber());
    EXPECT_EQ(decoded.model(), "EOS 5D");
  }
}

TEST_F(PhotoTest, ExtractorRedEyeNeedsVersion220SeenBeforeFlash) {
  // Version bytes are read the way atoi reads them, within the value's four
  // bytes; a one-byte Flash is not read past its end.
  const std::tuple<const char*, uint16_t, bool, std::optional<std::string>, int32_t, bool> cases[] = {
      {"0220", 0x41, false, kRedEye, 220, false},
      {"0220", 0x01, false, "No red-eye reduction mode or unknown", 220, false},
      {"0230", 0x40, false, kRedEye, 230, false},
      {"0210", 0x41, false, std::nullopt, 210, false},
      {"0220", 0x41, true, std::nullopt, 220, false},
      {" -2x", 0x41, false, std::nullopt, -2, false},
      {"0220", 0x41, false, std::nullopt, 220, true}};
  for (test::ByteOrder order : {test::ByteOrder::Intel, test::ByteOrder::Motorola}) {
    for (const auto& [version, flash, flashFirst, redEye, versionNumber, oneByteFlash] : cases) {
      SCOPED_TRACE(testing::Message()
                   << version << " flash " << flash << (flashFirst ? " first" : "")
                   << (oneByteFlash ? " one byte" : "") << (order == test::ByteOrder::Intel ? " II" : " MM"));
      ExifBuilder b(order);
      const auto addFlash = [&] {
        oneByteFlash ? b.add(Ifd::Exif, EXIF_TAG_FLASH, EXIF_FORMAT_BYTE, {0x41})
                     : b.shortValue(Ifd::Exif, EXIF_TAG_FLASH, flash);
      };
      if (flashFirst) addFlash();
      b.undefined(Ifd::Exif, EXIF_TAG_EXIF_VERSION, Bytes(version, version + 4));
      if (!flashFirst) addFlash();
      const auto info = extract(b.jpeg());
      ASSERT_TRUE(info);
      EXPECT_EQ(info->redEyeReduction(), redEye);
      EXPECT_EQ(info->versionNumber(), versionNumber);
      EXPECT_TRUE(info->flash() || oneByteFlash);
    }
  }
}

// DateTime is local time and only read from 19 characters; a later entry
// (IFD 1) of another length leaves the date, one that fails to parse clears
// it. Later entries win for the texts too, and invalid UTF-8 clears a text.
TEST_F(PhotoTest, ExtractorReadsDatesStrictlyAndLaterEntriesWin) {
  const auto dateOf = [&](const char* ifd0Text, const char* ifd1Text = nullptr) {
    ExifBuilder b;
    b.ascii(Ifd::Zero, EXIF_TAG_DATE_TIME, ifd0Text);
    if (ifd1Text) b.ascii(Ifd::One, EXIF_TAG_DATE_TIME, ifd1Text).thumbnail(minimalJpeg());
    const auto info = extract(b.jpeg());
    EXPECT_TRUE(info);
    return info ? info->date() : std::nullopt;
  };
  const Date expected = Date::fromSeconds(1242582302);  // 2009-05-17 17:45:02 UTC, daylight time
  EXPECT_EQ(dateOf("2009:05:17 13:45:02"), expected);
  for (const char* bad : {"2009:05:17", "    :  :     :  :  ", "2009:02:30 13:45:02", "2009:02:29 13:45:02",
                          "2009:13:17 13:45:02", "2009:05:17 24:45:02", "2009:05:17 13:45:0x",
                          "2009-05-17 13:45:02", "+009:05:17 13:45:02"})
    EXPECT_FALSE(dateOf(bad)) << bad;
  EXPECT_TRUE(dateOf("2008:02:29 00:00:00"));  // a leap day
  EXPECT_EQ(dateOf("2009:05:17 13:45:02", "2010:01:01"), expected);
  EXPECT_FALSE(dateOf("2009:05:17 13:45:02", "2010:01:01 99:00:00"));

  ExifBuilder b;
  b.add(Ifd::Zero, EXIF_TAG_MAKE, EXIF_FORMAT_ASCII, {'C', 0xFF, 'n', 0})
      .ascii(Ifd::Zero, EXIF_TAG_MODEL, "first")
      .shortValue(Ifd::Zero, EXIF_TAG_ORIENTATION, 6)
      .ascii(Ifd::One, EXIF_TAG_MODEL, "second")
      .shortValue(Ifd::One, EXIF_TAG_ORIENTATION, 8)
      .thumbnail(minimalJpeg());
  const auto info = extract(b.jpeg());
  ASSERT_TRUE(info);
  EXPECT_EQ(std::tuple(info->vendor(), info->model(), info->orientation()),
            std::tuple(std::nullopt, "second", "Left-bottom"));
  ExifBuilder c;
  c.ascii(Ifd::Zero, EXIF_TAG_MAKE, "Canon").add(Ifd::One, EXIF_TAG_MAKE, EXIF_FORMAT_ASCII, {0xC0, 0xAF, 0});
  EXPECT_FALSE(extract(c.thumbnail(minimalJpeg()).jpeg()).value_or(RZExifInfo{}).vendor());
}

TEST_F(PhotoTest, ExtractorGivesNoneWithoutUsableExifAndReadsOnlyTheStartOfABigFile) {
  // Neither waits for a writer on a FIFO nor reads a device without end.
  ASSERT_EQ(mkfifo(path("fifo.jpg").c_str(), 0600), 0);
  const Bytes jpeg = ExifBuilder().ascii(Ifd::Zero, EXIF_TAG_MAKE, "Canon").jpeg();
  for (const std::string& file :
       {write("plain.jpg", minimalJpeg()), write("empty.jpg", {}), write("text.jpg", {'n', 'o', 't'}),
        write("cut.jpg", Bytes(jpeg.begin(), jpeg.begin() + 6)),  // cut inside the APP1 header
        path("missing.jpg"), path(""), path("fifo.jpg"), std::string("/dev/zero")})
    EXPECT_FALSE(ExifExtractor().extractExif(file)) << file;

  // The EXIF block of a 64 MB file (a hole after the JPEG: no disk used) is
  // found in its first bytes; the rest is not read ("rchar" counts every read).
  const auto bytesRead = [] {
    std::ifstream io("/proc/self/io");
    std::string name;
    uint64_t value = 0;
    while (io >> name >> value && name != "rchar:") continue;
    return value;
  };
  const std::string big = write("big.jpg", jpeg);
  fs::resize_file(big, 64 << 20);
  const uint64_t before = bytesRead();
  const auto info = ExifExtractor().extractExif(big);
  EXPECT_LT(bytesRead() - before, 1u << 20);
  EXPECT_EQ(info.value_or(RZExifInfo{}).vendor(), "Canon");
}

// --- rotation ---

constexpr int kW = 96;  // stored picture, not square, so quarter turns show in the size
constexpr int kH = 64;
constexpr int kBlock = 16;
constexpr Rgb kRed{230, 20, 20};      // stored top-left corner
constexpr Rgb kGreen{20, 200, 20};    // stored top-right
constexpr Rgb kBlue{20, 20, 230};     // stored bottom-left
constexpr Rgb kYellow{230, 230, 20};  // stored bottom-right
constexpr Rgb kGrey{128, 128, 128};

Rgb cornerPattern(int x, int y) {
  const bool left = x < kBlock, right = x >= kW - kBlock, top = y < kBlock, bottom = y >= kH - kBlock;
  return top && left       ? kRed
         : top && right    ? kGreen
         : bottom && left  ? kBlue
         : bottom && right ? kYellow
                           : kGrey;
}

// The orientation stands in both directories, as in some cameras' files
// (libexif keeps IFD 1 entries when there is a thumbnail).
Bytes photoWithOrientation(uint16_t orientation) {
  ExifBuilder exif;
  return exif.ascii(Ifd::Zero, EXIF_TAG_MAKE, "Corvane Test Camera")
      .shortValue(Ifd::Zero, EXIF_TAG_ORIENTATION, orientation)
      .shortValue(Ifd::One, EXIF_TAG_ORIENTATION, orientation)
      .ascii(Ifd::Gps, EXIF_TAG_GPS_LATITUDE_REF, "N")
      .shortValue(Ifd::Exif, EXIF_TAG_EXPOSURE_PROGRAM, 2)
      .add(Ifd::Exif, EXIF_TAG_PIXEL_X_DIMENSION, EXIF_FORMAT_LONG, exif.u32(kW))
      .add(Ifd::Exif, EXIF_TAG_PIXEL_Y_DIMENSION, EXIF_FORMAT_LONG, exif.u32(kH))
      .thumbnail(minimalJpeg())
      .jpeg(imagingtest::jpeg(kW, kH, cornerPattern));
}

// What a JPEG's EXIF holds: whether any directory has an orientation, the
// entry counts of the directories, whether there is a thumbnail, and the
// texts of the exposure program and the pixel dimensions.
std::tuple<bool, std::vector<unsigned>, bool, std::string> exifOf(const Bytes& jpeg) {
  const auto data = exif::loadAsStored(jpeg);
  if (!data) return {};
  bool hasOrientation = false;
  std::vector<unsigned> counts;
  for (ExifContent* content : data->ifd) {
    hasOrientation |= exif_content_get_entry(content, EXIF_TAG_ORIENTATION) != nullptr;
    counts.push_back(content->count);
  }
  std::string texts;
  for (ExifTag tag : {EXIF_TAG_EXPOSURE_PROGRAM, EXIF_TAG_PIXEL_X_DIMENSION, EXIF_TAG_PIXEL_Y_DIMENSION}) {
    char text[256] = {};
    if (ExifEntry* entry = exif_data_get_entry(data.get(), tag))
      exif_entry_get_value(entry, text, sizeof text);
    texts += std::string(text) + ";";
  }
  return {hasOrientation, counts, data->size > 0, texts};
}

enum Corner { TL, TR, BL, BR };

TEST(ExifRotation, EveryOrientationComesOutUpright) {
  // Whether the picture turns sideways, and where the stored corners red,
  // green, blue, yellow end up.
  const std::tuple<uint16_t, bool, std::array<Corner, 4>> cases[] = {
      {2, false, {TR, TL, BR, BL}},  // mirrored left-right
      {3, false, {BR, BL, TR, TL}},  // turned 180
      {4, false, {BL, BR, TL, TR}},  // mirrored top-bottom
      {5, true, {TL, BL, TR, BR}},   // transposed
      {6, true, {TR, BR, TL, BL}},   // turned 90 clockwise
      {7, true, {BR, TR, BL, TL}},   // transverse
      {8, true, {BL, TL, BR, TR}}};  // turned 90 counter-clockwise
  for (const auto& [orientation, sideways, corners] : cases) {
    SCOPED_TRACE(orientation);
    log::Capture capture;
    const Bytes source = photoWithOrientation(orientation);
    const Bytes result = rotateImageDataByExif(source);
    ASSERT_NE(result, source);
    EXPECT_TRUE(capture.lines().empty());
    const vips::VImage image = imagingtest::decode(result);
    EXPECT_EQ(std::pair(image.width(), image.height()), sideways ? std::pair(kH, kW) : std::pair(kW, kH));
    const Rgb colours[] = {kRed, kGreen, kBlue, kYellow};
    for (size_t i = 0; i < 4; ++i) {
      const int x = corners[i] == TL || corners[i] == BL ? kBlock / 2 : image.width() - kBlock / 2;
      const int y = corners[i] == TL || corners[i] == TR ? kBlock / 2 : image.height() - kBlock / 2;
      EXPECT_TRUE(imagingtest::near(imagingtest::pixelAt(image, x, y), colours[i], 40)) << i;
    }
    // The source's EXIF sub-directory comes along with the new pixel size;
    // the other directories (the orientation that would turn it again, GPS)
    // and the thumbnail stay behind.
    const std::string size = sideways ? "64;96;" : "96;64;";
    EXPECT_EQ(exifOf(result),
              std::make_tuple(false, std::vector<unsigned>{0, 0, 3, 0, 0}, false, "Normal program;" + size));
  }
}

TEST(ExifRotation, NothingToDoOrBadInputReturnsTheInput) {
  const std::string noOrientation = "rotateImageDataByExif - no orientation";
  const Bytes plainJpeg = imagingtest::jpeg(32, 24, cornerPattern);
  // Intact header and orientation, but the pixel data cut short.
  Bytes truncated = ExifBuilder()
                        .shortValue(Ifd::Zero, EXIF_TAG_ORIENTATION, 6)
                        .jpeg(imagingtest::jpeg(400, 300, [](int x, int y) {
                          return Rgb{uint8_t(x * 7), uint8_t(y * 13), uint8_t(x ^ y)};
                        }));
  truncated.resize(truncated.size() / 2);
  const std::tuple<const char*, Bytes, std::string> cases[] = {
      {"Top-left", photoWithOrientation(1), noOrientation},
      {"EXIF without the tag", ExifBuilder().ascii(Ifd::Zero, EXIF_TAG_MAKE, "X").jpeg(plainJpeg),
       noOrientation},
      {"no EXIF", plainJpeg, noOrientation},
      {"PNG", imagingtest::png(32, 24, cornerPattern), noOrientation},
      {"orientation outside the table", photoWithOrientation(9), noOrientation},
      {"not a picture", Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'},
       "rotateImageDataByExif - bad image"},
      {"empty", Bytes{}, "rotateImageDataByExif - bad image"},
      {"truncated", truncated, "rotateImageDataByExif - failed to rotate"}};
  for (const auto& [name, bytes, line] : cases) {
    SCOPED_TRACE(name);
    log::Capture capture;
    EXPECT_EQ(rotateImageDataByExif(bytes), bytes);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{line});
  }
}

// The quantisation tables of a JPEG: they depend only on the quality it was written with.
Bytes quantTables(const Bytes& jpeg) {
  Bytes tables;
  for (size_t i = 2; i + 4 <= jpeg.size() && jpeg[i] == 0xFF && jpeg[i + 1] != 0xDA;) {
    const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
    if (jpeg[i + 1] == 0xDB) tables.insert(tables.end(), jpeg.begin() + i, jpeg.begin() + i + 2 + length);
    i += 2 + length;
  }
  return tables;
}

TEST(ExifRotation, QualityFollowsTheSourceBitmapOverTheRgbaBitmap) {
  auto rotatedQuality = [](const vips::VImage& stored) {
    const Bytes source = ExifBuilder()
                             .shortValue(Ifd::Zero, EXIF_TAG_ORIENTATION, 3)
                             .jpeg(imagingtest::encode(stored, ".jpg"));
    const Bytes tables = quantTables(rotateImageDataByExif(source));
    const vips::VImage rgb = imagingtest::drawRgb(8, 8, imagingtest::solid(kGrey));
    for (int q = 1; q <= 100; ++q) {
      if (quantTables(imagingtest::encode(rgb, ".jpg", vips::VImage::option()->set("Q", q))) == tables)
        return q;
    }
    return 0;
  };
  const vips::VImage colour = imagingtest::drawRgb(400, 300, cornerPattern);
  EXPECT_EQ(rotatedQuality(colour), 75);  // 3 samples over 4
  EXPECT_EQ(rotatedQuality(colour.extract_band(1).copy(
                vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W))),
            25);  // 1 sample over 4
}

TEST(ExifRotation, CopyRotatedImageWithFlipSizes) {
  const auto picture = imaging::Picture::fromBytes(imagingtest::png(30, 20, cornerPattern));
  ASSERT_TRUE(picture);
  // 45 degrees: 30 cos 45 + 20 sin 45 = 35.36 each way.
  const std::tuple<float, int, int> sizes[] = {{0, 30, 20},   {180, 30, 20}, {-180, 30, 20},
                                               {360, 30, 20}, {270, 20, 30}, {45, 35, 35}};
  for (const auto& [angle, width, height] : sizes) {
    const auto turned = copyRotatedImageWithFlip(*picture, false, false, angle);
    ASSERT_TRUE(turned) << angle;
    EXPECT_EQ(std::pair(turned->pixelsWide(), turned->pixelsHigh()), std::pair(width, height)) << angle;
    EXPECT_TRUE(width != 30 || turned->hasAlpha()) << angle;
  }
  // 270 counter-clockwise is 90 clockwise: the stored top-left goes top-right.
  const auto red = copyRotatedImageWithFlip(*picture, false, false, 270.0f)->colorAt(19, 0);
  ASSERT_TRUE(red);
  EXPECT_TRUE(imagingtest::near({red->r, red->g, red->b}, kRed, 0));
  EXPECT_FALSE(copyRotatedImageWithFlip(*picture, false, false, NAN));
}

}  // namespace
}  // namespace corvane::image
