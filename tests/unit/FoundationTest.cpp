// The bottom of the stack: the vocabulary (media type codes, genres, UTF-8
// repair), the main run loop's hand-off, and media records
// written to and read from D-Bus messages in process.

#include <sys/socket.h>

#include <stdexcept>

#include "host/DebugLevel.h"
#include "host/MainRunLoop.h"
#include "media/Genre.h"
#include "media/Text.h"
#include "platform/ipc/Message.h"
#include "unit/TestSupport.h"

namespace corvane::media {
namespace {

TEST(RZMediaTypeReader, MapsExtensionsCaseInsensitivelyAndLogsUnknownOnes) {
  const std::tuple<const char*, int32_t, const char*> cases[] = {{"/m/a.Mp3", 0x01000001, "MP3"},
                                                                 {"/m/a.jpeg", 0x04000400, "JPEG"},
                                                                 {"a.b/c.d/clip.Mov", 0x02000020, "MOV"}};
  log::Capture capture;
  for (const auto& [path, code, name] : cases) {
    EXPECT_EQ(RZMediaTypeReader::type(path), code) << path;
    EXPECT_EQ(RZMediaTypeReader::typeName(code), name) << path;
  }
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(RZMediaTypeReader::type("/music/notes.TXT"), 0);
  EXPECT_EQ(
      capture.lines(),
      std::vector<std::string>{"[RZMediaTypeReader:+[RZMediaTypeReader type:]-(93)] Unknown extension: txt"});
  // A dot in a directory name is not an extension.
  for (const auto& [path, extension] :
       {std::pair{"/a.b/file", ""}, {"/a/b.mp3/", "mp3"}, {"/a/trailing.", ""}})
    EXPECT_EQ(RZMediaTypeReader::extension(path), extension) << path;
  EXPECT_EQ(RZMediaTypeReader::typeName(0x01000003), "UNKNOWN");
}

TEST(Genre, LookupsAndTheNumberOfAContentType) {
  // 133 as later lists have it; the stored spellings are kept.
  EXPECT_EQ(getGenreName(133), "Afro-Punk");
  EXPECT_EQ(getGenreName(147), "Synthpop");  // a short list would leave none at the end
  EXPECT_FALSE(getGenreName(148) || getGenreName(-1));
  const std::pair<const char*, int> names[] = {
      {"Rock", 17},           {"rock", -1},       {"Christian Rock ", 141},
      {"Christian Rock", -1}, {"Afro-Punk", 133}, {"Negerpunk", 133}};
  for (const auto& [name, result] : names) EXPECT_EQ(findGenreNo(name), result) << name;
  EXPECT_EQ(findGenreNo(std::string_view("Rock\0", 5)), -1);
  // The parenthesised number: letters inside are skipped, overflow saturates.
  const std::pair<const char*, int32_t> numbers[] = {
      {"(17)Rock", 17}, {"Rock (17)", 17}, {"(1)(2)", 1},
      {"()", 0},        {"(17", -1},       {")(17)", -1},
      {"(1x2)", 12},    {"(ä17)", 17},     {"(2147483648)", 2147483647}};
  for (const auto& [text, result] : numbers) EXPECT_EQ(getGenreNo(text), result) << text;
  EXPECT_EQ(getGenreNo(std::u16string_view(u"(\uFF11\U0001F3B5 3)")), 3);
}

// Work handed over runs on the loop's thread while the caller waits, and an
// exception comes back to the caller; after the loop has stopped it runs on
// the caller, so that teardown cannot deadlock.
TEST(MainRunLoop, WorkHandedOverRunsOnTheLoopThreadOrAfterStopOnTheCaller) {
  host::MainRunLoop loop;
  std::thread::id ranOn;
  bool done = false;
  std::thread service([&] {
    loop.performAndWait([&] { ranOn = std::this_thread::get_id(); });
    done = true;  // only after the task has run
    EXPECT_THROW(loop.performAndWait([] { throw std::runtime_error("movie failed"); }), std::runtime_error);
    loop.stop();
  });
  loop.run();
  service.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  std::thread late([&] { loop.performAndWait([&] { ranOn = std::this_thread::get_id(); }); });
  const auto lateThread = late.get_id();
  late.join();
  EXPECT_EQ(ranOn, lateThread);
  EXPECT_EQ(GET_RZ_DEBUG_LEVEL(), 0);
}

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
  const std::tuple<const char*, MediaValue, const char*> kinds[] = {
      {"Title", std::string("Tïtle"), "s"},
      {"TrackNo", int32_t{-7}, "i"},
      {"FileSize", uint64_t{5000000000}, "t"},
      {"PlayLength", 3.5, "d"},
      {"IsManaged", false, "b"},
      {"DateAdded", Date{-1234567890123456}, "x"},
      {"AlbumArt", Bytes{1, 0, 255}, "ay"},
      {"Image", Bytes{}, "ay"},
      {"Genre", NullMarker{}, "av"},
      {"Cover", Bytes(3 << 20, 0xA5), "ay"}};  // one block
  MediaRecord record;
  for (const auto& [key, value, type] : kinds) record.set(key, value);
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
  for (const auto& [key, value, type] : kinds) EXPECT_EQ(types[key], type) << key;
}

// Values of types no key uses become Unsupported, whatever their shape, and
// the entries after them are still read; a repeated key keeps its first
// value; a message holding no record leaves the record empty.
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

  ipc::MessageWriter other = loop.writer();
  other.add(int32_t{3}, std::string("x"));
  MediaRecord untouched;
  std::string text;
  EXPECT_FALSE(Loopback::reader(other).read(untouched).read(text).ok());
  EXPECT_TRUE(untouched.empty() && text.empty());
}

TEST(Utf8, IllFormedTextIsRepairedBeforeItTravels) {
  EXPECT_TRUE(isValidUtf8("Tïtle ✓ 日本"));
  // Truncated, overlong, a surrogate, past U+10FFFF.
  for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"})
    EXPECT_FALSE(isValidUtf8(bad));
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
}  // namespace corvane::media
