#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "media/Genre.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"

using namespace corvane;
using namespace corvane::media;

TEST(MediaDBKeys, AllKeysFollowTheNamingRuleByFamily) {
  const std::map<std::string, size_t> expected{
      {"Common", 10},        {"Music", 28},           {"Video", 23},           {"Photo", 16},
      {"PlaylistItem", 3},   {"PlaylistProperty", 4}, {"PodcastChannels", 22}, {"PodcastGroups", 4},
      {"PodcastMedias", 16}, {"PodcastPosts", 14}};
  std::map<std::string, size_t> counts;
  std::set<std::string> names;
  for (const MediaDBKey& key : allMediaDBKeys()) {
    ++counts[std::string(key.family)];
    EXPECT_TRUE(names.insert(std::string(key.name)).second) << key.name;
    const std::string field =
        key.name == "MediaDBPlaylistItemColumnContensType" ? "ContensType" : std::string(key.value);
    EXPECT_EQ(key.name, "MediaDB" + std::string(key.family) + "Column" + field);
  }
  EXPECT_EQ(allMediaDBKeys().size(), 140u);
  EXPECT_EQ(counts, expected);
  EXPECT_EQ(allMediaDBKeys().front().name, "MediaDBCommonColumnFilePath");
  EXPECT_EQ(allMediaDBKeys().back().name, "MediaDBPodcastPostsColumnViewDownloadComplete");
  // The misspelt name keeps the value its playlist-property twin has.
  EXPECT_STREQ(MediaDBPlaylistItemColumnContensType, "ContentsType");
  EXPECT_STREQ(MediaDBPlaylistItemColumnContensType, MediaDBPlaylistPropertyColumnContentsType);
}

TEST(RZMediaTypeReader, MapsExtensionsCaseInsensitivelyAndLogsUnknownOnes) {
  // clang-format off
  const std::tuple<const char*, int32_t, const char*> cases[] = {
      {"/m/a.mp3", 0x01000001, "MP3"}, {"/m/a.MP3", 0x01000001, "MP3"}, {"/m/a.Mp3", 0x01000001, "MP3"},
      {"/m/a.flac", 0x01000040, "FLAC"}, {"/m/a.flc", 0x01000040, "FLAC"}, {"/m/a.jpeg", 0x04000400, "JPEG"},
      {"/m/a.jpg", 0x04000001, "JPG"}, {"/m/a.mp4", 0x02020000, "MP4"}, {"/m/a.m4v", 0x02000010, "M4V"},
      {"/m/a.m4a", 0x01000020, "M4A"}, {"/m/a.TIFF", 0x04000200, "TIFF"}, {"/m/a.tif", 0x04000010, "TIF"},
      {"/m/a.rm", 0x01200000, "RM"}, {"/m/a.3gp", 0x02004000, "3GP"}, {"/m/x.tar.mpeg", 0x02040000, "MPEG"},
      {"a.b/c.d/clip.Mov", 0x02000020, "MOV"}};
  // clang-format on
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
  for (const char* path : {"/music/noext", "/a.b/file", "", "/music/a.mp3x"}) {
    log::Capture one;
    EXPECT_EQ(RZMediaTypeReader::type(path), 0) << path;
    EXPECT_EQ(one.lines().size(), 1u) << path;
  }
  EXPECT_EQ(RZMediaTypeReader::extension("/a.b/file"), "");
  EXPECT_EQ(RZMediaTypeReader::extension("/a/b.mp3/"), "mp3");
  EXPECT_EQ(RZMediaTypeReader::extension("/a/trailing."), "");
  EXPECT_EQ(RZMediaTypeReader::extension(".hidden"), "hidden");
  for (int32_t code : {0, 0x01000003, 0x03000000, 0x01000000, -1, 0x7FFFFFFF, 0x00000001})
    EXPECT_EQ(RZMediaTypeReader::typeName(code), "UNKNOWN") << std::hex << code;
}

TEST(Genre, ListEntriesRangeAndExactLookup) {
  const std::map<int, std::string> spot{{0, "Blues"},
                                        {1, "Classic Rock"},
                                        {2, "Country"},
                                        {14, "R&B"},
                                        {17, "Rock"},
                                        {29, "Jazz+Funk"},
                                        {40, "AlternRock"},
                                        {59, "Gangsta"},
                                        {67, "Psychadelic"},
                                        {79, "Hard Rock"},
                                        {80, "Folk"},
                                        {85, "Bebob"},
                                        {107, "Booty Bass"},
                                        {123, "A capella"},
                                        {132, "Britpop"},
                                        {133, "Afro-Punk"},
                                        {141, "Christian Rock "},
                                        {144, "Trash Metal"},
                                        {145, "Anime"},
                                        {146, "JPop"},
                                        {147, "Synthpop"}};
  for (const auto& [index, name] : spot) EXPECT_EQ(getGenreName(index), name) << index;
  EXPECT_EQ(getGenreName(148), std::nullopt);
  EXPECT_EQ(getGenreName(-1), std::nullopt);
  EXPECT_EQ(getGenreName(255 % 148), "Booty Bass");

  // clang-format off
  const std::pair<const char*, int> cases[] = {
      {"Rock", 17}, {"rock", -1}, {"Blues", 0}, {"Synthpop", 147}, {"Christian Rock ", 141},
      {"Christian Rock", -1}, {"Trash Metal", 144}, {"Thrash Metal", -1}, {" Rock", -1}, {"", -1},
      {"Afro-Punk", 133}, {"Negerpunk", 133}};
  // clang-format on
  for (const auto& [name, result] : cases) EXPECT_EQ(findGenreNo(name), result) << name;
  EXPECT_EQ(findGenreNo(std::string_view("Rock\0", 5)), -1);
  // Every entry is there (a short list would leave none at the end) and unique.
  for (int i = 0; i < kGenreCount; ++i) EXPECT_EQ(findGenreNo(getGenreName(i).value_or("")), i) << i;
}

TEST(Genre, GetGenreNoReadsTheParenthesisedNumber) {
  // clang-format off
  const std::pair<const char*, int32_t> cases[] = {
      {"(17)", 17}, {"(17)Rock", 17}, {"Rock (17)", 17}, {"(1)(2)", 1}, {"1(7)", 17}, {"()", 0},
      {"Rock", -1}, {"(17", -1}, {"17)", -1}, {"", -1}, {"(255)", 255}, {"(007)", 7}, {"(1x2)", 12},
      {")(17)", -1}, {"(ä17)", 17}, {"(\xff\xfe\x35)", 5}, {"(2147483647)", 2147483647},
      {"(2147483648)", 2147483647}, {"(99999999999999999999999)", 2147483647}};
  // clang-format on
  for (const auto& [text, result] : cases) EXPECT_EQ(getGenreNo(text), result) << text;
  EXPECT_EQ(getGenreNo(std::u16string_view(u"(17)")), 17);
  // A UTF-16 unit outside ASCII is skipped like a letter, however it was written.
  EXPECT_EQ(getGenreNo(std::u16string_view(u"(\uFF11\U0001F3B5 3)")), 3);
}
