#include <gtest/gtest.h>

#include "media/Text.h"
#include "platform/ipc/RecordCodec.h"

using namespace corvane;
using namespace corvane::media;

TEST(RecordCodec, EveryKindRoundTripsWithItsOwnWireType) {
  MediaRecord r;
  r.set("Title", std::string("Tïtle"));
  r.set("TrackNo", int32_t{7});
  r.set("FileSize", uint64_t{5000000000ULL});
  r.set("PlayLength", 3.5);
  r.set("IsManaged", false);
  r.set("DateAdded", Date{1234567890123456});
  r.set("AlbumArt", Bytes{1, 2, 3});
  r.set("Genre", NullMarker{});

  const auto wire = ipc::toWire(r);
  EXPECT_EQ(wire.at("Title").peekValueType(), "s");
  EXPECT_EQ(wire.at("TrackNo").peekValueType(), "i");
  EXPECT_EQ(wire.at("FileSize").peekValueType(), "t");
  EXPECT_EQ(wire.at("PlayLength").peekValueType(), "d");
  EXPECT_EQ(wire.at("IsManaged").peekValueType(), "b");
  EXPECT_EQ(wire.at("DateAdded").peekValueType(), "x");
  EXPECT_EQ(wire.at("AlbumArt").peekValueType(), "ay");
  EXPECT_EQ(wire.at("Genre").peekValueType(), "av");
  EXPECT_EQ(ipc::fromWire(wire), r);
}

TEST(RecordCodec, ValuesOfOtherTypesAreKeptAsUnsupported) {
  ipc::WireRecord wire;
  wire.emplace("Title", sdbus::Variant(uint32_t{5}));
  wire.emplace("Genre", sdbus::Variant(std::vector<sdbus::Variant>{sdbus::Variant(int32_t{1})}));
  const auto r = ipc::fromWire(wire);
  ASSERT_NE(r.get<Unsupported>("Title"), nullptr);
  EXPECT_EQ(r.get<Unsupported>("Title")->signature, "u");
  EXPECT_NE(r.get<Unsupported>("Genre"), nullptr);  // a non-empty av is no null marker
}

TEST(Utf8, IllFormedTextIsRepairedBeforeItTravels) {
  EXPECT_TRUE(isValidUtf8("Tïtle ✓ 日本"));
  EXPECT_FALSE(isValidUtf8("\xC3"));          // truncated
  EXPECT_FALSE(isValidUtf8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));
  EXPECT_EQ(toValidUtf8("a\xFF"
                        "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(latin1ToUtf8("caf\xE9"), "café");

  MediaRecord r;
  r.set("Title", std::string("bad\xFE"));
  EXPECT_EQ(ipc::fromWire(ipc::toWire(r)).get<std::string>("Title")->back(), '\xBD');
}
