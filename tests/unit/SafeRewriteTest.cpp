// The no-data-lost rewrite: success keeps mode and links, and every failure
// (refused paths, read-only file or folder, size limit, failed edit, the
// original removed, changed or swapped meanwhile) leaves the original byte
// for byte.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "media/MediaDBKeys.h"
#include "platform/file/SafeRewrite.h"
#include "tags/UpdateID3Tag.h"
#include "unit/TagTestSupport.h"

namespace corvane::file {
namespace {

namespace fs = std::filesystem;

const std::vector<uint8_t> kOriginal = [] {
  std::vector<uint8_t> v(100000);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 7);
  return v;
}();

bool appendX(int copy) {
  struct stat st {};
  return ::fstat(copy, &st) == 0 && ::pwrite(copy, "X", 1, st.st_size) == 1;
}

class SafeRewriteTest : public ::testing::Test {
 protected:
  fs::path original() {
    const fs::path p = dir_ / "f.bin";
    tagtest::writeBytes(p, kOriginal);
    return p;
  }
  tagtest::ScratchDir dir_;
};

TEST_F(SafeRewriteTest, ReplacesTheFileKeepingModeAndLinks) {
  const fs::path file = original();
  ::chmod(file.c_str(), 0640);
  fs::create_symlink(file, dir_ / "link");
  ASSERT_TRUE(safeRewrite((dir_ / "link").string(), appendX));
  auto expected = kOriginal;
  expected.push_back('X');
  EXPECT_EQ(tagtest::readBytes(file), expected);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));  // the target changed, not the link
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
  EXPECT_EQ(dir_.entries(), 2);
}

TEST_F(SafeRewriteTest, RefusesWhatIsNoWritableRegularFile) {
  const fs::path file = original();
  int edits = 0;
  auto edit = [&](int copy) { return ++edits, appendX(copy); };
  fs::create_symlink(dir_ / "nothing", dir_ / "dangling");
  ::mkfifo((dir_ / "fifo").c_str(), 0644);
  for (const fs::path& p :
       {fs::path(), dir_.path(), dir_ / "dangling", dir_ / "fifo", dir_ / "missing", fs::path("/dev/null")}) {
    EXPECT_FALSE(safeRewrite(p.string(), edit)) << p;
  }
  ::chmod(file.c_str(), 0444);  // read-only, even for a privileged process
  EXPECT_FALSE(safeRewrite(file.string(), edit));
  ::chmod(file.c_str(), 0644);
  ::chmod(dir_.path().c_str(), 0555);
  EXPECT_FALSE(safeRewrite(file.string(), edit));
  ::chmod(dir_.path().c_str(), 0755);
  EXPECT_EQ(edits, 0);
  EXPECT_EQ(tagtest::readBytes(file), kOriginal);
  EXPECT_EQ(dir_.entries(), 3);
}

TEST_F(SafeRewriteTest, ReadOnlyFolderForAnOrdinaryUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an ordinary user";
  const fs::path file = original();
  ::chown(dir_.path().c_str(), 65534, 65534);
  ::chown(file.c_str(), 65534, 65534);
  ::chmod(dir_.path().c_str(), 0555);
  EXPECT_EQ(tagtest::inChild([&] {
              if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
              return safeRewrite(file.string(), appendX) ? 1 : 0;
            }),
            0);
  EXPECT_EQ(tagtest::readBytes(file), kOriginal);
  EXPECT_EQ(dir_.entries(), 1);
}

TEST_F(SafeRewriteTest, FailedEditAndOriginalRemovedOrChangedMeanwhile) {
  const fs::path file = original();
  EXPECT_FALSE(safeRewrite(file.string(), [](int copy) { return appendX(copy) && false; }));
  EXPECT_EQ(tagtest::readBytes(file), kOriginal);

  EXPECT_FALSE(safeRewrite(file.string(), [&](int copy) {
    fs::remove(file);
    return appendX(copy);
  }));
  EXPECT_FALSE(fs::exists(file));  // a removed file is not brought back
  EXPECT_EQ(dir_.entries(), 0);

  original();
  EXPECT_FALSE(safeRewrite(file.string(), [&](int copy) {
    std::ofstream(file, std::ios::app) << "theirs";
    return appendX(copy);
  }));
  auto theirs = kOriginal;
  theirs.insert(theirs.end(), {'t', 'h', 'e', 'i', 'r', 's'});
  EXPECT_EQ(tagtest::readBytes(file), theirs);

  // A file opened before its path came to name another file: that other
  // file is not replaced.
  const std::optional<InputFile> opened = InputFile::open(file.string());
  ASSERT_TRUE(opened);
  tagtest::writeBytes(dir_ / "other", {1, 2, 3});
  fs::rename(dir_ / "other", file);
  EXPECT_FALSE(safeRewrite(*opened, file.string(), appendX));
  EXPECT_EQ(tagtest::readBytes(file), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(dir_.entries(), 1);
}

// A file size limit hit while copying, and while the tag writer grows the copy.
TEST_F(SafeRewriteTest, FileSizeLimitFailsCleanly) {
  const fs::path file = original();
  const int copyStatus = tagtest::inChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{50000, 50000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return safeRewrite(file.string(), appendX) ? 1 : 0;
  });
  EXPECT_EQ(copyStatus, 0);
  EXPECT_EQ(tagtest::readBytes(file), kOriginal);

  const fs::path mp3 = dir_ / "a.mp3";
  tagtest::makeMp3(mp3, 3, "-metadata title=Old", 1);
  const auto before = tagtest::readBytes(mp3);
  const int growStatus = tagtest::inChild([&] {
    const rlimit limit{before.size() + 4096, before.size() + 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);  // no SIGXFSZ handling here: the writer must cope
    media::MediaRecord r;
    r.set(media::MediaDBMusicColumnTitle, std::string("New"));
    r.set(media::MediaDBMusicColumnAlbumArt, media::Bytes(100000, 1));
    return tags::UpdateID3Tag().updateTag(mp3.string(), r) ? 1 : 0;
  });
  EXPECT_EQ(growStatus, 0);
  EXPECT_EQ(tagtest::readBytes(mp3), before);
  EXPECT_EQ(dir_.entries(), 2);
}

}  // namespace
}  // namespace corvane::file
