// What a tag update may do to the user's files: a file of another kind is
// refused untouched, a killed rewrite leaves the folder as it was, and a
// rewrite keeps hard links, extended attributes and access control lists.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <tuple>

#include "fixtures/Id3Fixture.h"
#include "fixtures/Mp4Fixture.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"
#include "platform/file/SafeRewrite.h"
#include "tags/MediaTag.h"
#include "unit/TestSupport.h"

namespace corvane::tags {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes mp3(size_t frames) {
  return test::concat({test::Id3TagBytes(3).text("TIT2", "Old").bytes(), test::silentMpegFrames(frames)});
}

bool retitle(const fs::path& file, int32_t type = media::kMediaTypeMP3) {
  media::MediaRecord record;
  record.set(media::MediaDBMusicColumnTitle, std::string("New"));
  record.set(media::MediaDBCommonColumnMediaType, type);
  return MediaTag().updateTag(file.string(), record);
}

// An access control list in the kernel's attribute form: owner rw, user
// 65534 r, group r, mask r, others nothing.
Bytes acl() {
  Bytes out{2, 0, 0, 0};
  for (auto [tag, perm, id] :
       {std::tuple{1u, 6u, ~0u}, {2u, 4u, 65534u}, {4u, 4u, ~0u}, {16u, 4u, ~0u}, {32u, 0u, ~0u}})
    for (const uint32_t word : {tag | perm << 16, id})
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(word >> (8 * i)));
  return out;
}

std::optional<Bytes> attribute(const fs::path& file, const char* name) {
  Bytes value(256);
  const ssize_t n = ::getxattr(file.c_str(), name, value.data(), value.size());
  if (n < 0) return std::nullopt;
  value.resize(static_cast<size_t>(n));
  return value;
}

TEST(WriterSafety, AFileOfAnotherKindIsRefusedAndLeftByteForByte) {
  tagtest::ScratchDir dir;
  const int32_t mp3Code = media::kMediaTypeMP3, m4aCode = media::kMediaTypeM4A;
  const struct {
    const char* name;
    Bytes bytes;
    int32_t type;
    bool written;
  } rows[] = {
      {"song.m4a", test::buildMp4({}), mp3Code, false},  // no ID3 tag put before an MP4 file
      {"photo.jpg", test::tinyJpeg(200, 10, 10), mp3Code, false},
      {"photo2.jpg", test::tinyJpeg(200, 10, 10), m4aCode, false},
      {"song.mp3", mp3(3), m4aCode, false},
      {"notes.mp3", {'n', 'o', 't', 'e', 's'}, mp3Code, false},
      {"empty.mp3", {}, mp3Code, false},
      {"tagged.mp3", mp3(3), mp3Code, true},
      {"bare.mp3", test::silentMpegFrames(3), mp3Code, true},  // a frame header first
      {"movie.m4a", test::buildMp4({}), m4aCode, true},
  };
  for (const auto& row : rows) {
    tagtest::writeBytes(dir / row.name, row.bytes);
    EXPECT_EQ(retitle(dir / row.name, row.type), row.written) << row.name;
    if (!row.written) {
      EXPECT_EQ(tagtest::readBytes(dir / row.name), row.bytes) << row.name;
    }
  }
  EXPECT_EQ(dir.entries(), static_cast<long>(std::size(rows)));
}

TEST(WriterSafety, ARewriteKilledWhileEditingItsCopyLeavesTheFolderAsItWas) {
  tagtest::ScratchDir dir;
  const fs::path file = dir / "long.mp3";
  tagtest::writeBytes(file, mp3(30000));  // 12 MB
  const Bytes original = tagtest::readBytes(file);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    file::safeRewrite(file.string(), [&](int) {
      (void)!::write(ready[1], "e", 1);
      ::pause();  // until killed
      return true;
    });
    ::_exit(0);
  }
  char sent = 0;
  ASSERT_EQ(::read(ready[0], &sent, 1), 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(dir.entries(), 1);
  EXPECT_EQ(tagtest::readBytes(file), original);
}

TEST(WriterSafety, HardLinksSeeTheNewTagsAndAttributesAndAclsStay) {
  tagtest::ScratchDir dir;
  for (const char* name : {"linked.mp3", "labelled.mp3", "plain.mp3"})
    tagtest::writeBytes(dir / name, mp3(3));
  fs::create_hard_link(dir / "linked.mp3", dir / "other.mp3");
  ASSERT_EQ(::setxattr((dir / "labelled.mp3").c_str(), "user.note", "kept", 4, 0), 0);
  ASSERT_EQ(
      ::setxattr((dir / "labelled.mp3").c_str(), "system.posix_acl_access", acl().data(), acl().size(), 0),
      0);
  // New files in the folder would get this list; a rewritten one keeps its own (none).
  ASSERT_EQ(::setxattr(dir.path().c_str(), "system.posix_acl_default", acl().data(), acl().size(), 0), 0);
  for (const char* name : {"linked.mp3", "labelled.mp3", "plain.mp3"})
    ASSERT_TRUE(retitle(dir / name)) << name;

  struct stat st {};
  ASSERT_EQ(::stat((dir / "other.mp3").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  EXPECT_EQ(tagtest::readWithMutagen(dir / "other.mp3")->text("TIT2"), "New");
  EXPECT_EQ(tagtest::bytesAfterTag(tagtest::readBytes(dir / "other.mp3")), test::silentMpegFrames(3));
  EXPECT_EQ(attribute(dir / "labelled.mp3", "user.note"), (Bytes{'k', 'e', 'p', 't'}));
  EXPECT_EQ(attribute(dir / "labelled.mp3", "system.posix_acl_access"), acl());
  EXPECT_FALSE(attribute(dir / "plain.mp3", "system.posix_acl_access"));
  EXPECT_EQ(tagtest::readWithMutagen(dir / "labelled.mp3")->text("TIT2"), "New");
  EXPECT_EQ(dir.entries(), 4);  // no copy or backup left
}

}  // namespace
}  // namespace corvane::tags
