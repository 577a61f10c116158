// The picture service over the bus: records, thumbnails and rotation reach
// the client intact, and bad requests get clear errors.

#include <gtest/gtest.h>

#include <cmath>

#include "client/Session.h"
#include "fixtures/ExifFixture.h"
#include "support/ServiceHarness.h"
#include "unit/ImagingTestPictures.h"

using namespace corvane;
using namespace corvane::test;

namespace {

ByteVec jpegOf(int width, int height) {
  return imagingtest::jpeg(width, height, imagingtest::solid({0, 0, 0}));
}

using imagingtest::decode;

class ImageService : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon = std::make_unique<DaemonProcess>();
    ASSERT_TRUE(bus.waitForOwner("org.corvane.ImageParser_Halvern", true)) << daemon->log();
  }
  PrivateBus bus;
  TempDir dir;
  std::unique_ptr<DaemonProcess> daemon;
  client::Session session{"org.corvane.test.image"};
};

TEST_F(ImageService, RecordsAndThumbnailsTravelWithTheirKinds) {
  ASSERT_TRUE(writeFile(dir.file("photo.jpg"), jpegOf(400, 300)));
  client::ImageInfoBuilderClient images;

  auto record = images.build(dir.file("photo.jpg"));
  ASSERT_TRUE(record);
  EXPECT_EQ(valueOf<int32_t>(*record, "Width"), 400);
  EXPECT_TRUE(valueOf<uint64_t>(*record, "FileSize"));
  EXPECT_TRUE(valueOf<media::Date>(*record, "DateAdded"));
  EXPECT_TRUE(valueOf<bool>(*record, "IsManaged"));
  const auto image = decode(valueOf<media::Bytes>(*record, "Image").value_or(media::Bytes{}));
  EXPECT_EQ(image.width(), 100);
  EXPECT_EQ(image.height(), 75);

  auto thumbnail = images.makeThumbnail(dir.file("photo.jpg"), 320, 320);
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(valueOf<double>(*thumbnail, "width"), 400.0);
  EXPECT_EQ(valueOf<double>(*thumbnail, "height"), 300.0);
  EXPECT_EQ(decode(valueOf<media::Bytes>(*thumbnail, "data").value_or(media::Bytes{})).width(), 320);

  EXPECT_FALSE(images.build(dir.file("missing.jpg")));
  EXPECT_FALSE(images.makeThumbnail(dir.file("missing.jpg"), 100, 100));
}

TEST_F(ImageService, RotationTurnsWhatHasAnOrientationAndHandsBackWhatItCannot) {
  ExifBuilder exif(ByteOrder::Intel);
  exif.shortValue(Ifd::Zero, tag::Orientation, 6);
  const ByteVec turned = exif.jpeg(jpegOf(40, 30));
  client::ImageInfoBuilderClient images;

  const auto picture = decode(images.rotateImageDataByExif(turned));
  EXPECT_EQ(picture.width(), 30);
  EXPECT_EQ(picture.height(), 40);
  // What cannot be turned comes back as it went, an empty array included.
  const ByteVec noise{1, 2, 3, 4, 5};
  EXPECT_EQ(images.rotateImageDataByExif(noise), noise);
  EXPECT_EQ(images.rotateImageDataByExif({}), ByteVec{});
}

TEST_F(ImageService, BadRequestsGetClearErrorsAndTheServiceGoesOn) {
  const char* service = ipc::contract::kImageParserService;
  const std::string path = dir.file("photo.jpg");
  writeFile(path, jpegOf(64, 48));
  const auto thumbnail = [&](auto... args) {
    return callService(service, ipc::contract::kMakeThumbnail, [&](auto& out) { out.add(path, args...); });
  };
  for (double side : {double(NAN), double(INFINITY), 1e12})
    EXPECT_EQ(thumbnail(side, 100.0).errorName(), ipc::kInvalidArgs) << side;
  // Wrong argument types.
  EXPECT_EQ(thumbnail(1, 2).errorName(), ipc::kInvalidArgs);
  EXPECT_EQ(callService(service, ipc::contract::kRotateImageDataByExif, [&](auto& out) { out.add(path); })
                .errorName(),
            ipc::kInvalidArgs);

  EXPECT_TRUE(daemon->running());
  EXPECT_TRUE(client::ImageInfoBuilderClient().build(path));
}

}  // namespace
