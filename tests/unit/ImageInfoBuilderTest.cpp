#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ImagingTestPictures.h"
#include "TagTestSupport.h"
#include "fixtures/ExifFixture.h"
#include "image/UnifiedImageInfoBuilder.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"

using namespace corvane;
using namespace corvane::media;
using corvane::image::UnifiedImageInfoBuilder;
namespace fs = std::filesystem;
namespace fixture = corvane::test;
using fixture::Ifd;
namespace tag = fixture::tag;

namespace {

class ImageInfoBuilderTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // A w x h picture with a diagonal stroke, so that encoders have something to encode.
  static imagingtest::Rgb stroke(int x, int y) {
    return x == y ? imagingtest::Rgb{250, 120, 10} : imagingtest::Rgb{40, 40, 40};
  }

  std::string writePicture(const std::string& name, int w, int h) const {
    imagingtest::drawRgb(w, h, stroke).write_to_file(path(name).c_str());
    return path(name);
  }

  // A small JPEG carrying exactly the EXIF entries of exif.
  std::string writeJpegWithExif(const std::string& name, const fixture::ExifBuilder& exif) const {
    EXPECT_TRUE(fixture::writeFile(path(name), exif.jpeg(imagingtest::jpeg(64, 48, stroke))));
    return path(name);
  }

  tagtest::ScratchDir dir_;
  UnifiedImageInfoBuilder builder_;
};

TEST_F(ImageInfoBuilderTest, BuildsTheFixedKeysForEveryPictureFormat) {
  struct Case {
    std::string name;
    int32_t type;
    std::string typeName;
  };
  const Case cases[] = {
      {"p.jpg", kMediaTypeJPG, "JPG"}, {"p.png", kMediaTypePNG, "PNG"},    {"p.gif", kMediaTypeGIF, "GIF"},
      {"p.bmp", kMediaTypeBMP, "BMP"}, {"p.tiff", kMediaTypeTIFF, "TIFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = writePicture(c.name, 120, 80);
    const auto record = builder_.build(file);
    ASSERT_TRUE(record);
    EXPECT_EQ(*record->get<std::string>(MediaDBCommonColumnFilePath), file);
    EXPECT_EQ(*record->get<std::string>(MediaDBCommonColumnFileName), c.name);
    EXPECT_EQ(*record->get<std::string>(MediaDBPhotoColumnTitle), "p");
    EXPECT_EQ(*record->get<bool>(MediaDBCommonColumnIsManaged), false);
    EXPECT_TRUE(record->get<Date>(MediaDBPhotoColumnDateAdded));
    EXPECT_EQ(*record->get<uint64_t>(MediaDBCommonColumnFileSize), fs::file_size(file));
    EXPECT_EQ(*record->get<int32_t>(MediaDBCommonColumnMediaType), c.type);
    EXPECT_EQ(*record->get<std::string>(MediaDBCommonColumnFileTypeString), c.typeName);
    EXPECT_EQ(*record->get<int32_t>(MediaDBPhotoColumnWidth), 120);
    EXPECT_EQ(*record->get<int32_t>(MediaDBPhotoColumnHeight), 80);
    EXPECT_EQ(*record->get<int32_t>(MediaDBPhotoColumnRating), 0);
    EXPECT_EQ(*record->get<bool>(MediaDBPhotoColumnIsChecked), false);
    EXPECT_EQ(*record->get<bool>(MediaDBCommonColumnLinkError), false);
    EXPECT_TRUE(record->get<Date>(MediaDBPhotoColumnDateModified));
    ASSERT_TRUE(record->get<Bytes>(MediaDBPhotoColumnImage));
    const vips::VImage thumb = imagingtest::decode(*record->get<Bytes>(MediaDBPhotoColumnImage));
    EXPECT_EQ(thumb.width(), 100);
    EXPECT_EQ(thumb.height(), 66);
    EXPECT_FALSE(record->contains(MediaDBPhotoColumnCameraModel));
    EXPECT_FALSE(record->contains(MediaDBPhotoColumnLocation));
  }
}

TEST_F(ImageInfoBuilderTest, TitleDropsOnlyTheLastExtensionAndALinkGivesItsPicturesFacts) {
  const std::string file = writePicture("holiday.photo.jpg", 10, 10);
  const auto record = builder_.build(file);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record->get<std::string>(MediaDBPhotoColumnTitle), "holiday.photo");
  EXPECT_EQ(*record->get<std::string>(MediaDBCommonColumnFileName), "holiday.photo.jpg");

  // A link is followed: size and dates are the picture's, names the link's.
  const std::string link = path("link.jpg");
  fs::create_symlink(file, link);
  const auto linked = builder_.build(link);
  ASSERT_TRUE(linked);
  EXPECT_EQ(*linked->get<uint64_t>(MediaDBCommonColumnFileSize), fs::file_size(file));
  EXPECT_EQ(*linked->get<Date>(MediaDBPhotoColumnDateModified),
            *record->get<Date>(MediaDBPhotoColumnDateModified));
  EXPECT_EQ(*linked->get<std::string>(MediaDBCommonColumnFileName), "link.jpg");
}

TEST_F(ImageInfoBuilderTest, NoPictureGivesNothing) {
  std::ofstream(path("x.jpg")) << "just some text, not a picture\n";
  std::ofstream(path("empty.png"));
  ASSERT_EQ(mkfifo(path("pipe.jpg").c_str(), 0600), 0);  // opening it for reading would wait for a writer
  for (const std::string& file :
       {path("x.jpg"), path("empty.png"), path("missing.jpg"), path("pipe.jpg"), dir_.path().string()}) {
    SCOPED_TRACE(file);
    EXPECT_FALSE(builder_.build(file));
    EXPECT_FALSE(builder_.makeThumbnail(file, 320, 320));
  }
}

TEST_F(ImageInfoBuilderTest, LargePictureKeepsItsSizeAndGetsSmallThumbnails) {
  const std::string file = writePicture("big.jpg", 4000, 3000);
  const auto record = builder_.build(file);
  ASSERT_TRUE(record);
  EXPECT_EQ(*record->get<int32_t>(MediaDBPhotoColumnWidth), 4000);
  EXPECT_EQ(*record->get<int32_t>(MediaDBPhotoColumnHeight), 3000);
  ASSERT_TRUE(record->get<Bytes>(MediaDBPhotoColumnImage));
  const vips::VImage small = imagingtest::decode(*record->get<Bytes>(MediaDBPhotoColumnImage));
  EXPECT_EQ(small.width(), 100);
  EXPECT_EQ(small.height(), 75);

  const auto described = builder_.makeThumbnail(file, 320, 320);
  ASSERT_TRUE(described);
  EXPECT_EQ(described->width, 4000.0f);
  EXPECT_EQ(described->height, 3000.0f);
  ASSERT_GE(described->data.size(), 4u);
  EXPECT_TRUE(described->data[0] == 'I' || described->data[0] == 'M');  // TIFF
  const vips::VImage thumb = imagingtest::decode(described->data);
  EXPECT_EQ(thumb.width(), 320);
  EXPECT_EQ(thumb.height(), 240);
}

fixture::ExifBuilder fullExif() {
  fixture::ExifBuilder exif;
  exif.ascii(Ifd::Zero, tag::Model, "Cam 3000")
      .shortValue(Ifd::Zero, tag::Orientation, 6)
      .ascii(Ifd::Zero, tag::DateTime, "2021:07:04 12:30:45")
      .ascii(Ifd::Zero, tag::Artist, "Ann Example")
      .byteValues(Ifd::Zero, tag::XPComment, {'H', 0, 'i', 0, '!', 0, 0, 0});
  return exif;
}

TEST_F(ImageInfoBuilderTest, OnlyJpgFilesAreReadForExif) {
  fixture::ScopedTimeZone zone("EST5EDT");
  const auto jpg = builder_.build(writeJpegWithExif("a.jpg", fullExif()));
  ASSERT_TRUE(jpg);
  EXPECT_EQ(*jpg->get<std::string>(MediaDBPhotoColumnCameraModel), "Cam 3000");
  EXPECT_EQ(*jpg->get<std::string>(MediaDBPhotoColumnCreator), "Ann Example");
  EXPECT_EQ(*jpg->get<std::string>(MediaDBPhotoColumnDescription), "Hi!");
  EXPECT_EQ(*jpg->get<std::string>("Orientation"), "Right-top");
  // 12:30:45 daylight time in New York is 16:30:45 UTC.
  EXPECT_EQ(*jpg->get<Date>(MediaDBPhotoColumnDatePictured), Date::fromSeconds(1625416245));

  const auto jpeg = builder_.build(writeJpegWithExif("a.jpeg", fullExif()));
  ASSERT_TRUE(jpeg);
  EXPECT_EQ(*jpeg->get<int32_t>(MediaDBCommonColumnMediaType), kMediaTypeJPEG);
  for (const char* key : {MediaDBPhotoColumnCameraModel, MediaDBPhotoColumnCreator,
                          MediaDBPhotoColumnDescription, MediaDBPhotoColumnDatePictured, "Orientation"}) {
    EXPECT_FALSE(jpeg->contains(key)) << key;
  }
}

// (How a DateTime text is read is the EXIF extractor test's table.)
TEST_F(ImageInfoBuilderTest, ExifTextNeedsTwoBytesAndValidTextAndADateThatParses) {
  fixture::ExifBuilder exif;
  exif.ascii(Ifd::Zero, tag::Artist, "")            // data size 1
      .ascii(Ifd::Zero, tag::Model, "Caf\xE9 cam")  // Latin-1, not UTF-8
      .ascii(Ifd::Zero, tag::DateTime, "2021:13:04 12:30:45");
  const auto record = builder_.build(writeJpegWithExif("e.jpg", exif));
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->contains(MediaDBPhotoColumnCreator));
  EXPECT_FALSE(record->contains(MediaDBPhotoColumnCameraModel));
  EXPECT_FALSE(record->contains(MediaDBPhotoColumnDatePictured));
  EXPECT_TRUE(record->contains(MediaDBPhotoColumnWidth));
}

TEST_F(ImageInfoBuilderTest, EntryCallbackTakesLaterEntriesAndRejectsMissingArguments) {
  fixture::ExifBuilder exif;
  exif.shortValue(Ifd::Zero, tag::Orientation, 6).shortValue(Ifd::One, tag::Orientation, 3);
  const fixture::ByteVec block = exif.exifBlock();
  // libexif's default options drop an Orientation in IFD 1; load without them
  // so that the walk meets both entries.
  std::unique_ptr<ExifData, void (*)(ExifData*)> data(exif_data_new(), exif_data_unref);
  ASSERT_TRUE(data);
  exif_data_unset_option(data.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
  exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(data.get(), block.data(), static_cast<unsigned>(block.size()));
  MediaRecord record;
  image::photo_exif::readInto(data.get(), record);
  ASSERT_TRUE(record.get<std::string>("Orientation"));
  EXPECT_EQ(*record.get<std::string>("Orientation"), "Bottom-right");

  log::Capture capture;
  ExifEntry* entry = data->ifd[EXIF_IFD_0]->entries[0];
  image::photo_exif::contentForeachEntry(nullptr, &record);
  image::photo_exif::contentForeachEntry(entry, nullptr);
  const char* prefix = "[UnifiedImageInfoBuider:contentForeachEntry-(149)] ";
  const std::vector<std::string> expected = {
      prefix + log::format("invalid arguments entry(%p), arg(%p)", nullptr, static_cast<void*>(&record)),
      prefix + log::format("invalid arguments entry(%p), arg(%p)", static_cast<void*>(entry), nullptr)};
  EXPECT_EQ(capture.lines(), expected);
  EXPECT_EQ(record.size(), 1u);
}

}  // namespace
