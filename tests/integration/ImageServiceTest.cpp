// The picture service over the bus: records, thumbnails and rotation reach
// the client intact, and bad requests get clear errors.

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <cmath>

#include "client/Session.h"
#include "fixtures/ExifFixture.h"
#include "platform/ipc/BusNames.h"
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
  EXPECT_EQ(record->at("Width").get<int32_t>(), 400);
  EXPECT_EQ(record->at("FileSize").peekValueType(), "t");
  EXPECT_EQ(record->at("DateAdded").peekValueType(), "x");
  EXPECT_EQ(record->at("IsManaged").peekValueType(), "b");
  const auto image = decode(record->at("Image").get<std::vector<uint8_t>>());
  EXPECT_EQ(image.width(), 100);
  EXPECT_EQ(image.height(), 75);

  auto thumbnail = images.makeThumbnail(dir.file("photo.jpg"), 320, 320);
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(thumbnail->at("width").get<double>(), 400.0);
  EXPECT_EQ(thumbnail->at("height").get<double>(), 300.0);
  EXPECT_EQ(decode(thumbnail->at("data").get<std::vector<uint8_t>>()).width(), 320);

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
  auto proxy = sdbus::createProxy(sdbus::createSessionBusConnection(), "org.corvane.ImageParser_Halvern",
                                  ipc::objectPath("ImageParser_Halvern"));
  const std::string iface(ipc::kImageInfoBuilderInterface);
  const std::string path = dir.file("photo.jpg");
  writeFile(path, jpegOf(64, 48));
  for (double side : {double(NAN), double(INFINITY), 1e12}) {
    try {
      proxy->callMethod("makeThumbnailWithMaxSize").onInterface(iface).withArguments(path, side, 100.0);
      ADD_FAILURE() << "accepted " << side;
    } catch (const sdbus::Error& e) {
      EXPECT_EQ(e.getName(), "org.freedesktop.DBus.Error.InvalidArgs");
    }
  }
  // Wrong argument types.
  EXPECT_THROW(proxy->callMethod("makeThumbnailWithMaxSize").onInterface(iface).withArguments(path, 1, 2),
               sdbus::Error);
  EXPECT_THROW(proxy->callMethod("rotateImageDataByExif").onInterface(iface).withArguments(path),
               sdbus::Error);

  EXPECT_TRUE(daemon->running());
  EXPECT_TRUE(client::ImageInfoBuilderClient().build(path));
}

}  // namespace
