#include <gtest/gtest.h>
#include <sys/socket.h>

#include "media/Text.h"
#include "platform/ipc/Message.h"

using namespace corvane;
using namespace corvane::media;

namespace {

// Messages written and read back in process: a bus handle on one end of a
// socket pair is all the library needs to make them.
struct Loopback {
  Loopback() {
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    sd_bus_new(&bus);
    sd_bus_set_fd(bus, fds[0], fds[0]);
    sd_bus_start(bus);
  }
  ~Loopback() {
    sd_bus_close_unref(bus);
    close(fds[1]);
  }
  ipc::MessageWriter writer() {
    sd_bus_message* message = nullptr;
    sd_bus_message_new_method_call(bus, &message, nullptr, "/t", "t.T", "M");
    return ipc::MessageWriter(ipc::MessagePtr(message, {}));
  }
  // Seals what out holds and reads it from the start.
  static ipc::MessageReader reader(const ipc::MessageWriter& out) {
    sd_bus_message_seal(out.get(), 1, 0);
    sd_bus_message_rewind(out.get(), 1);
    return ipc::MessageReader(out.get());
  }
  int fds[2] = {-1, -1};
  sd_bus* bus = nullptr;
};

MediaRecord roundTrip(const MediaRecord& record) {
  Loopback loop;
  ipc::MessageWriter out = loop.writer();
  EXPECT_TRUE(out.add(record).ok());
  MediaRecord back;
  EXPECT_TRUE(Loopback::reader(out).read(back).ok());
  return back;
}

TEST(RecordCodec, EveryKindTravelsWithItsOwnWireTypeAndComesBackAsItWent) {
  const struct {
    const char* key;
    MediaValue value;
    const char* wireType;
  } kinds[] = {
      {"Title", std::string("Tïtle"), "s"},
      {"TrackNo", int32_t{-7}, "i"},
      {"FileSize", uint64_t{5000000000}, "t"},
      {"PlayLength", 3.5, "d"},
      {"IsManaged", false, "b"},
      {"DateAdded", Date{-1234567890123456}, "x"},
      {"AlbumArt", Bytes{1, 0, 255}, "ay"},
      {"Cover", Bytes(3 << 20, 0xA5), "ay"},  // one block
      {"Image", Bytes{}, "ay"},
      {"Genre", NullMarker{}, "av"},
  };
  MediaRecord record;
  for (const auto& kind : kinds) record.set(kind.key, kind.value);
  EXPECT_EQ(roundTrip(record), record);
  EXPECT_EQ(roundTrip(MediaRecord()), MediaRecord());

  Loopback loop;
  ipc::MessageWriter out = loop.writer();
  out.add(record);
  sd_bus_message* m = out.get();
  Loopback::reader(out);
  std::map<std::string, std::string> types;
  const char *key = nullptr, *type = nullptr;
  sd_bus_message_enter_container(m, 'a', "{sv}");
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0 && sd_bus_message_read_basic(m, 's', &key) > 0 &&
         sd_bus_message_peek_type(m, nullptr, &type) > 0 && sd_bus_message_skip(m, "v") > 0 &&
         sd_bus_message_exit_container(m) > 0)
    types[key] = type;
  for (const auto& kind : kinds) EXPECT_EQ(types[kind.key], kind.wireType) << kind.key;
}

// Values of types no key uses become Unsupported, whatever their shape, and
// the entries after them are still read; a repeated key keeps its first value.
TEST(RecordCodec, OtherTypesAreKeptAsUnsupportedAndReadingGoesOn) {
  Loopback loop;
  ipc::MessageWriter out = loop.writer();
  const auto entry = [&](const char* key, const char* type) -> ipc::MessageWriter& {
    return out.open('e', "sv").add(key).open('v', type);
  };
  out.open('a', "{sv}");
  entry("A", "u").add(uint32_t{5}).close().close();
  entry("B", "av").open('a', "v").open('v', "i").add(int32_t{1}).close().close().close().close();
  entry("C", "a{ss}").open('a', "{ss}").open('e', "ss").add("k", "v").close().close().close().close();
  entry("D", "v").open('v', "s").add("inner").close().close().close();
  entry("Title", "s").add("first").close().close();
  entry("Title", "s").add("second").close().close();
  ASSERT_TRUE(out.close().ok());

  MediaRecord record;
  ASSERT_TRUE(Loopback::reader(out).read(record).ok());
  EXPECT_EQ(record.size(), 5u);
  for (const auto& [key, signature] : {std::pair{"A", "u"}, {"B", "av"}, {"C", "a{ss}"}, {"D", "v"}})
    EXPECT_EQ(record.get<Unsupported>(key) ? record.get<Unsupported>(key)->signature : "-", signature);
  EXPECT_EQ(*record.get<std::string>("Title"), "first");

  ipc::MessageWriter other = loop.writer();  // no record at all
  other.add(int32_t{3}, std::string("x"));
  MediaRecord untouched;
  std::string text;
  EXPECT_FALSE(Loopback::reader(other).read(untouched).read(text).ok());
  EXPECT_TRUE(untouched.empty() && text.empty());
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
  r.set("K\xFF", std::string("v"));
  const MediaRecord back = roundTrip(r);
  EXPECT_EQ(*back.get<std::string>("Title"), "bad\xEF\xBF\xBD");
  EXPECT_TRUE(back.contains("K\xEF\xBF\xBD"));
}

}  // namespace
