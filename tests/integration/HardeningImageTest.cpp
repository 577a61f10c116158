// The picture service under costly and large pictures: what would cost too
// much is answered at once while other connections are served, a 108-
// megapixel photo gets its record in bounded memory.

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <string>

#include "client/Session.h"
#include "fixtures/ExifFixture.h"
#include "fixtures/JpegFixture.h"
#include "support/ServiceHarness.h"
#include "unit/ImagingTestPictures.h"

using namespace corvane;
using namespace corvane::test;

namespace {

// How long a build of path takes from its own connection, and whether it found a record.
std::pair<bool, std::chrono::duration<double>> timedBuild(const std::string& path) {
  client::ImageInfoBuilderClient images;
  const auto start = std::chrono::steady_clock::now();
  const bool found = images.build(path).has_value();
  return {found, std::chrono::steady_clock::now() - start};
}

TEST(HardeningImage, CostlyPicturesAreAnsweredAtOnceAndABigPhotoGetsItsRecordInBoundedMemory) {
  PrivateBus bus;
  ScratchDir dir;
  client::Session session{"org.corvane.test.hardening"};
  DaemonProcess daemon;
  ASSERT_TRUE(bus.waitForOwner("org.corvane.ImageParser_Halvern", true)) << daemon.log();
  // A figure of the daemon's /proc status, in MiB.
  const auto statusMiB = [&](const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(daemon.pid()) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
    }
    return -1.0;
  };

  ASSERT_TRUE(writeBytes(dir.file("small.jpg"), imagingtest::jpeg(64, 48, imagingtest::solid({9, 9, 9}))));
  const std::tuple<const char*, ByteVec, const char*> costly[] = {
      {"scans.jpg", progressiveJpeg(8000, 8000, 63, 4), "a JPEG of more than 100 scans"},
      {"bomb.jpg", withDeclaredSize(minimalJpeg(), 50000, 50000), "50000 x 50000 pixels declared"},
  };
  for (const auto& [name, bytes, reason] : costly) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(writeBytes(dir.file(name), bytes));
    auto refused = std::async(std::launch::async, timedBuild, dir.file(name));
    const auto [found, took] = timedBuild(dir.file("small.jpg"));
    EXPECT_TRUE(found);
    EXPECT_LT(took.count(), 3.0);
    const auto [costlyFound, costlyTook] = refused.get();
    EXPECT_FALSE(costlyFound);
    EXPECT_LT(costlyTook.count(), 2.0);
    EXPECT_TRUE(daemon.logContains(std::string("Picture over budget: ") + reason));
  }

  // A 108-megapixel photo.
  const vips::VImage xy = vips::VImage::xyz(12000, 9000);
  const vips::VImage x = xy.extract_band(0), y = xy.extract_band(1);
  (x / 50)
      .bandjoin(y / 40)
      .bandjoin((x + y) / 90)
      .cast(VIPS_FORMAT_UCHAR)
      .jpegsave(dir.file("big.jpg").c_str());
  std::ofstream("/proc/" + std::to_string(daemon.pid()) + "/clear_refs") << "5";  // peak := now
  const double before = statusMiB("VmRSS");

  const auto record = client::ImageInfoBuilderClient().build(dir.file("big.jpg"));
  ASSERT_TRUE(record);
  EXPECT_EQ(valueOf<int32_t>(*record, "Width"), 12000);
  EXPECT_EQ(valueOf<int32_t>(*record, "Height"), 9000);
  const auto thumbnail =
      imagingtest::decode(valueOf<media::Bytes>(*record, "Image").value_or(media::Bytes{}));
  EXPECT_EQ(std::pair(thumbnail.width(), thumbnail.height()), std::pair(100, 75));
  EXPECT_LT(statusMiB("VmHWM") - before, 300.0);
}

}  // namespace
