// The EXIF service end to end: a client on the bus asks for a photo's record;
// the daemon is started by D-Bus activation and survives whatever it is given.

#include <gtest/gtest.h>

#include <filesystem>

#include "client/Session.h"
#include "fixtures/ExifFixture.h"
#include "support/ServiceHarness.h"

using namespace corvane;
using namespace corvane::test;

namespace {

const std::string kExifBusName = ipc::contract::busName(ipc::contract::kExifExtractorService);

ByteVec cameraJpeg() {
  ExifBuilder exif(ByteOrder::Motorola);
  exif.ascii(Ifd::Zero, tag::Make, "Corvane")
      .ascii(Ifd::Zero, tag::Model, "CC-100")
      .shortValue(Ifd::Zero, tag::Orientation, 6)
      .ascii(Ifd::Zero, tag::DateTime, "2009:05:17 13:45:02")
      .undefined(Ifd::Exif, tag::ExifVersion, {'0', '2', '2', '0'})
      .shortValue(Ifd::Exif, tag::Flash, 0x41);
  return exif.jpeg();
}

class ExifService : public ::testing::Test {
 protected:
  PrivateBus bus;
  TempDir dir;
};

TEST_F(ExifService, AClientGetsTheRecordFromAnActivatedDaemonWhichLeavesWithIt) {
  ASSERT_TRUE(writeFile(dir.file("photo.jpg"), cameraJpeg()));
  ASSERT_FALSE(bus.hasOwner(kExifBusName));
  {
    client::Session session("org.corvane.test.exif");
    client::ExifExtractorClient exif;
    auto record = exif.extractExif(dir.file("photo.jpg"));
    ASSERT_TRUE(record);
    EXPECT_EQ(valueOf<std::string>(*record, "vendor"), "Corvane");
    EXPECT_EQ(valueOf<std::string>(*record, "model"), "CC-100");
    EXPECT_EQ(valueOf<std::string>(*record, "orientation"), "Right-top");
    EXPECT_EQ(valueOf<int32_t>(*record, "versionNumber"), 220);
    EXPECT_EQ(valueOf<std::string>(*record, "redEyeReduction"), "Red-eye reduction supported");
    EXPECT_TRUE(valueOf<media::Date>(*record, "date"));
    EXPECT_FALSE(record->contains("maxAperture"));  // none is left out
    EXPECT_TRUE(bus.hasOwner(kExifBusName));
  }
  // The session's goodbye was the last one.
  EXPECT_TRUE(bus.waitForOwner(kExifBusName, false));
}

// Which files give no record is the extractor's own test; over the bus an
// answer of none and the errors for wrong arguments are what is added.
TEST_F(ExifService, BadInputGetsNoRecordOrAClearErrorAndNeverHurtsTheDaemon) {
  DaemonProcess daemon;
  ASSERT_TRUE(bus.waitForOwner(kExifBusName, true));
  const ByteVec jpeg = cameraJpeg();
  writeFile(dir.file("truncated.jpg"), ByteVec(jpeg.begin(), jpeg.begin() + 60));
  client::ExifExtractorClient exif;
  EXPECT_FALSE(exif.extractExif(dir.file("missing.jpg")));
  EXPECT_FALSE(exif.extractExif(""));
  // Just answered: a cut block may still hold a readable start, and root
  // reads the unreadable file anyway.
  writeFile(dir.file("unreadable.jpg"), jpeg);
  std::filesystem::permissions(dir.file("unreadable.jpg"), std::filesystem::perms::none);
  exif.extractExif(dir.file("truncated.jpg"));
  exif.extractExif(dir.file("unreadable.jpg"));

  const char* service = ipc::contract::kExifExtractorService;
  const auto& extract = ipc::contract::kExtractExif;
  EXPECT_EQ(callService(service, extract, [](auto& args) { args.add(int32_t{42}); }).errorName(),
            ipc::kInvalidArgs);
  EXPECT_EQ(callService(service, extract).errorName(), ipc::kInvalidArgs);
  EXPECT_TRUE(daemon.running());
  EXPECT_FALSE(exif.extractExif(dir.file("missing.jpg")));
}

TEST_F(ExifService, CorvanectlPrintsJsonLinesWithUsableExitCodes) {
  writeFile(dir.file("photo.jpg"), cameraJpeg());
  writeFile(dir.file("plain.jpg"), minimalJpeg());

  auto ok = runCommand({CORVANE_CTL_PATH, "exif", dir.file("photo.jpg")});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.out.find("\"found\": true"), std::string::npos);
  EXPECT_NE(ok.out.find("\"vendor\": \"Corvane\""), std::string::npos);
  EXPECT_NE(ok.out.find("\"versionNumber\": 220"), std::string::npos);

  auto some = runCommand({CORVANE_CTL_PATH, "exif", dir.file("photo.jpg"), dir.file("plain.jpg")});
  EXPECT_EQ(some.status, 1);
  EXPECT_NE(some.out.find("\"found\": false"), std::string::npos);

  EXPECT_EQ(runCommand({CORVANE_CTL_PATH, "exif"}).status, 2);
  EXPECT_EQ(runCommand({CORVANE_CTL_PATH, "frobnicate"}).status, 2);
}

TEST(ExifServiceWithoutBus, CorvanectlSaysTheServiceCannotBeReached) {
  const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string saved = old ? old : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/corvane-bus", 1);
  auto r = runCommand({CORVANE_CTL_PATH, "exif", "/tmp/x.jpg"});
  old ? setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1) : unsetenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cannot reach"), std::string::npos) << r.err;
}

}  // namespace
