#include <gtest/gtest.h>
#include <libexif/exif-data.h>
#include <sys/stat.h>

#include <memory>

#include "TagTestSupport.h"
#include "fixtures/ExifFixture.h"
#include "host/ExifInfoCodec.h"
#include "image/ExifExtractor.h"
#include "media/Log.h"

using namespace corvane;
using namespace corvane::test;
using image::ExifExtractor;
using image::RZExifInfo;
namespace fs = std::filesystem;

namespace {

constexpr const char* kRedEye = "Red-eye reduction supported";
constexpr const char* kNoRedEye = "No red-eye reduction mode or unknown";
const ByteVec kVersion220 = {'0', '2', '2', '0'};

class ExifExtractorTest : public ::testing::Test {
 protected:
  std::optional<RZExifInfo> extract(const ByteVec& bytes) {
    EXPECT_TRUE(writeFile(dir_ / "picture.jpg", bytes));
    return ExifExtractor().extractExif(dir_ / "picture.jpg");
  }

  tagtest::ScratchDir dir_;
};

// What libexif itself renders for the entry, found in the JPEG bytes.
std::string libexifText(const ByteVec& jpeg, ExifTag tag) {
  std::unique_ptr<ExifData, void (*)(ExifData*)> data(exif_data_new_from_data(jpeg.data(), jpeg.size()),
                                                      exif_data_unref);
  ExifEntry* entry = data ? exif_content_get_entry(data->ifd[EXIF_IFD_EXIF], tag) : nullptr;
  if (entry == nullptr) return "<no entry>";
  char buffer[1024] = {};
  exif_entry_get_value(entry, buffer, sizeof buffer);
  return buffer;
}

}  // namespace

TEST_F(ExifExtractorTest, EveryMappedTagGivesLibexifsTextInBothByteOrders) {
  for (ByteOrder order : {ByteOrder::Intel, ByteOrder::Motorola}) {
    ExifBuilder b(order);
    b.ascii(Ifd::Zero, tag::Make, "Canon")
        .ascii(Ifd::Zero, tag::Model, "EOS 5D")
        .shortValue(Ifd::Zero, tag::Orientation, 6)
        .undefined(Ifd::Exif, tag::ExifVersion, kVersion220)
        .rational(Ifd::Exif, tag::FNumber, 28, 10)
        .shortValue(Ifd::Exif, tag::ExposureProgram, 2)
        .shortValue(Ifd::Exif, tag::IsoSpeedRatings, 400)
        .srational(Ifd::Exif, tag::ShutterSpeedValue, 6, 1)
        .srational(Ifd::Exif, tag::ExposureBiasValue, -2, 3)
        .rational(Ifd::Exif, tag::MaxApertureValue, 3, 1)
        .shortValue(Ifd::Exif, tag::MeteringMode, 5)
        .shortValue(Ifd::Exif, tag::Flash, 0x41)
        .rational(Ifd::Exif, tag::FocalLength, 50, 1)
        .shortValue(Ifd::Exif, tag::ColorSpace, 1)
        .rational(Ifd::Exif, tag::FlashEnergy, 12, 1)
        .shortValue(Ifd::Exif, tag::WhiteBalance, 1)
        .shortValue(Ifd::Exif, tag::SceneCaptureType, 2);
    const ByteVec jpeg = b.jpeg();
    const auto info = extract(jpeg);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->vendor(), "Canon");
    EXPECT_EQ(info->model(), "EOS 5D");
    EXPECT_EQ(info->orientation(), "Right-top");
    EXPECT_EQ(info->F_value(), "f/2.8");  // real renderings, not placeholders
    // clang-format off
    const std::pair<RZExifInfo::Text, ExifTag> rows[] = {
        {info->F_value(), EXIF_TAG_FNUMBER}, {info->exposureProgram(), EXIF_TAG_EXPOSURE_PROGRAM},
        {info->iso(), EXIF_TAG_ISO_SPEED_RATINGS}, {info->shutterSpeed(), EXIF_TAG_SHUTTER_SPEED_VALUE},
        {info->flash(), EXIF_TAG_FLASH}, {info->exposureBias(), EXIF_TAG_EXPOSURE_BIAS_VALUE},
        {info->maxAperture(), EXIF_TAG_MAX_APERTURE_VALUE}, {info->meteringMode(), EXIF_TAG_METERING_MODE},
        {info->focalLength(), EXIF_TAG_FOCAL_LENGTH}, {info->colorSpace(), EXIF_TAG_COLOR_SPACE},
        {info->flashMode(), EXIF_TAG_FLASH_ENERGY}, {info->whiteBalance(), EXIF_TAG_WHITE_BALANCE},
        {info->sceneCaptureType(), EXIF_TAG_SCENE_CAPTURE_TYPE}, {info->version(), EXIF_TAG_EXIF_VERSION}};
    // clang-format on
    for (const auto& [text, exifTag] : rows) EXPECT_EQ(text, libexifText(jpeg, exifTag)) << exifTag;
    EXPECT_EQ(info->versionNumber(), 220);
    EXPECT_EQ(info->redEyeReduction(), kRedEye);
    EXPECT_FALSE(info->date());
  }
}

TEST_F(ExifExtractorTest, RedEyeNeedsVersion220SeenBeforeFlash) {
  struct Case {
    const char* version;
    uint16_t flash;
    bool flashFirst;
    std::optional<std::string> redEye;
    int32_t versionNumber;
    bool oneByteFlash = false;  // nothing may be read past its one byte
  };
  // Version bytes are read the way atoi reads them, within the value's four bytes.
  const Case cases[] = {
      {"0220", 0x41, false, kRedEye, 220},           {"0220", 0x01, false, kNoRedEye, 220},
      {"0230", 0x40, false, kRedEye, 230},           {"0210", 0x41, false, std::nullopt, 210},
      {"0220", 0x41, true, std::nullopt, 220},       {" -2x", 0x41, false, std::nullopt, -2},
      {"0220", 0x41, false, std::nullopt, 220, true}};
  for (ByteOrder order : {ByteOrder::Intel, ByteOrder::Motorola}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.version) + " flash " + std::to_string(c.flash) +
                   (c.flashFirst ? " first" : "") + (c.oneByteFlash ? " one byte" : "") +
                   (order == ByteOrder::Intel ? " II" : " MM"));
      ExifBuilder b(order);
      const auto addFlash = [&] {
        c.oneByteFlash ? b.add(Ifd::Exif, tag::Flash, ExifType::Byte, {0x41})
                       : b.shortValue(Ifd::Exif, tag::Flash, c.flash);
      };
      if (c.flashFirst) addFlash();
      b.undefined(Ifd::Exif, tag::ExifVersion, ByteVec(c.version, c.version + 4));
      if (!c.flashFirst) addFlash();
      const auto info = extract(b.jpeg());
      ASSERT_TRUE(info);
      EXPECT_EQ(info->redEyeReduction(), c.redEye);
      EXPECT_EQ(info->versionNumber(), c.versionNumber);
      EXPECT_TRUE(info->flash() || c.oneByteFlash);
    }
  }
}

TEST_F(ExifExtractorTest, DateTimeIsLocalTimeAndOnlyReadFrom19Characters) {
  const ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");  // May is daylight time, UTC-4
  const auto dateOf = [&](const char* ifd0Text, const char* ifd1Text = nullptr) {
    ExifBuilder b;
    b.ascii(Ifd::Zero, tag::DateTime, ifd0Text);
    if (ifd1Text) b.ascii(Ifd::One, tag::DateTime, ifd1Text).thumbnail(minimalJpeg());
    const auto info = extract(b.jpeg());
    EXPECT_TRUE(info);
    return info ? info->date() : std::nullopt;
  };
  const media::Date expected = media::Date::fromSeconds(1242582302);  // 2009-05-17 17:45:02 UTC
  EXPECT_EQ(dateOf("2009:05:17 13:45:02"), expected);
  for (const char* bad : {"2009:05:17", "    :  :     :  :  ", "2009:02:30 13:45:02", "2009:02:29 13:45:02",
                          "2009:13:17 13:45:02", "2009:05:17 24:45:02", "2009:05:17 13:45:0x",
                          "2009-05-17 13:45:02", "+009:05:17 13:45:02"}) {
    EXPECT_FALSE(dateOf(bad)) << bad;
  }
  EXPECT_TRUE(dateOf("2008:02:29 00:00:00"));  // a leap day
  // A later entry of another length leaves the date; one that fails to parse clears it.
  EXPECT_EQ(dateOf("2009:05:17 13:45:02", "2010:01:01"), expected);
  EXPECT_FALSE(dateOf("2009:05:17 13:45:02", "2010:01:01 99:00:00"));
}

TEST_F(ExifExtractorTest, InvalidUtf8GivesNoneAndIfd1RepeatsWin) {
  ExifBuilder b;
  b.add(Ifd::Zero, tag::Make, ExifType::Ascii, {'C', 0xFF, 'n', 0})
      .ascii(Ifd::Zero, tag::Model, "first")
      .shortValue(Ifd::Zero, tag::Orientation, 6)
      .ascii(Ifd::One, tag::Model, "second")
      .shortValue(Ifd::One, tag::Orientation, 8)
      .thumbnail(minimalJpeg());
  const auto info = extract(b.jpeg());
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->vendor());
  EXPECT_EQ(info->model(), "second");
  EXPECT_EQ(info->orientation(), "Left-bottom");
  // An invalid text clears what an earlier entry set.
  ExifBuilder c;
  c.ascii(Ifd::Zero, tag::Make, "Canon").add(Ifd::One, tag::Make, ExifType::Ascii, {0xC0, 0xAF, 0});
  const auto cleared = extract(c.thumbnail(minimalJpeg()).jpeg());
  ASSERT_TRUE(cleared);
  EXPECT_FALSE(cleared->vendor());
}

TEST_F(ExifExtractorTest, FilesWithoutUsableExifGiveNone) {
  EXPECT_FALSE(extract(minimalJpeg()));
  EXPECT_FALSE(extract({}));
  EXPECT_FALSE(extract({'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'}));
  // Neither waits for a writer on a FIFO nor reads a device without end.
  ASSERT_EQ(mkfifo((dir_ / "fifo.jpg").c_str(), 0600), 0);
  for (const fs::path& path : {dir_ / "missing.jpg", dir_.path(), dir_ / "fifo.jpg", fs::path("/dev/zero")})
    EXPECT_FALSE(ExifExtractor().extractExif(path)) << path;
  // Cut inside the APP1 header, before any EXIF byte is there.
  const ByteVec jpeg = ExifBuilder()
                           .ascii(Ifd::Zero, tag::Make, "Canon")
                           .undefined(Ifd::Exif, tag::ExifVersion, kVersion220)
                           .jpeg();
  EXPECT_FALSE(extract(ByteVec(jpeg.begin(), jpeg.begin() + 6)));
  // Every other cut gives a record or none, never a crash.
  for (size_t cut = 7; cut < jpeg.size(); cut += 3) extract(ByteVec(jpeg.begin(), jpeg.begin() + cut));
}

// The EXIF block of a 64 MB file (a hole after the JPEG: no disk used) is
// found in its first bytes; the rest is not read ("rchar" counts every read).
TEST_F(ExifExtractorTest, OnlyTheStartOfABigPictureIsRead) {
  const auto bytesRead = [] {
    std::ifstream io("/proc/self/io");
    std::string name;
    uint64_t value = 0;
    while (io >> name >> value && name != "rchar:") continue;
    return value;
  };
  ASSERT_TRUE(writeFile(dir_ / "big.jpg", ExifBuilder().ascii(Ifd::Zero, tag::Make, "Canon").jpeg()));
  fs::resize_file(dir_ / "big.jpg", 64 << 20);
  const uint64_t before = bytesRead();
  const auto info = ExifExtractor().extractExif(dir_ / "big.jpg");
  EXPECT_LT(bytesRead() - before, 1u << 20);
  EXPECT_EQ(info.value_or(RZExifInfo{}).vendor(), "Canon");
}

TEST(ExifCallbacks, MissingArgumentsAreLoggedAndSkipped) {
  log::Capture capture;
  image::exif_record::contentForeachEntry(nullptr, nullptr);
  RZExifInfo info;
  image::exif_record::contentForeachEntry(nullptr, &info);
  ASSERT_EQ(capture.lines().size(), 2u);
  EXPECT_EQ(capture.lines()[0],
            "[ExifExtractor:contentForeachEntry-(14)] invalid arguments entry((nil)), arg((nil))");
  EXPECT_EQ(info, RZExifInfo());
}

namespace {

// Every field set, each text distinct, so a field copied into the wrong place shows.
RZExifInfo fullRecord(const std::string& prefix) {
  using Setter = void (RZExifInfo::*)(RZExifInfo::Text);
  // clang-format off
  const std::pair<Setter, const char*> setters[] = {
      {&RZExifInfo::setVendor, "vendor"}, {&RZExifInfo::setModel, "model"},
      {&RZExifInfo::setOrientation, "orientation"}, {&RZExifInfo::setMaxAperture, "maxAperture"},
      {&RZExifInfo::setFocalLength, "focal"}, {&RZExifInfo::setShutterSpeed, "shutter"},
      {&RZExifInfo::setF_value, "F"}, {&RZExifInfo::setExposureBias, "bias"},
      {&RZExifInfo::setExposureProgram, "program"}, {&RZExifInfo::setMeteringMode, "metering"},
      {&RZExifInfo::setIso, "iso"}, {&RZExifInfo::setWhiteBalance, "white"},
      {&RZExifInfo::setFlash, "flash"}, {&RZExifInfo::setFlashMode, "flashMode"},
      {&RZExifInfo::setColorSpace, "colour"}, {&RZExifInfo::setSceneCaptureType, "scene"},
      {&RZExifInfo::setVersion, "version"}, {&RZExifInfo::setRedEyeReduction, "redEye"}};
  // clang-format on
  RZExifInfo r;
  for (const auto& [set, name] : setters) (r.*set)(prefix + name);
  r.setVersionNumber(static_cast<int32_t>(prefix.size()) + 220);
  r.setDate(media::Date{1242567902000000 + static_cast<int64_t>(prefix.size())});
  return r;
}

}  // namespace

TEST(ExifInfoCodec, SetValuesCopiesAllTwentyFieldsAndTheRecordKeepsThem) {
  RZExifInfo target = fullRecord("bb-");
  const RZExifInfo full = fullRecord("x-");
  ASSERT_NE(target, full);
  target.setValues(full);
  EXPECT_EQ(target, full);
  target.setValues(RZExifInfo());
  EXPECT_EQ(target, RZExifInfo());

  const auto record = host::exifRecord(full);
  EXPECT_EQ(record.size(), 20u);
  EXPECT_NE(record.get<int32_t>("versionNumber"), nullptr);
  EXPECT_NE(record.get<media::Date>("date"), nullptr);
  EXPECT_EQ(host::exifInfoFromRecord(record), full);

  RZExifInfo sparse;
  sparse.setModel(std::string("x-model"));
  EXPECT_EQ(host::exifRecord(sparse).size(), 2u);  // model and versionNumber

  auto wrongKinds = record;
  wrongKinds.set("vendor", int32_t{5});
  wrongKinds.set("versionNumber", std::string("220"));
  wrongKinds.set("date", uint64_t{1});
  const RZExifInfo decoded = host::exifInfoFromRecord(wrongKinds);
  EXPECT_FALSE(decoded.vendor() || decoded.date());
  EXPECT_EQ(decoded.versionNumber(), 0);
  EXPECT_EQ(decoded.model(), "x-model");
}
