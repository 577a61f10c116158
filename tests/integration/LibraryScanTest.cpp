// `corvanectl build DIR` with several requests in flight: the folder walked
// in path order, records printed in that order whatever order the services
// answer in, a summary at the end, and a stop that says goodbye.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "client/Session.h"
#include "fixtures/Id3Fixture.h"
#include "support/ServiceHarness.h"

using namespace corvane;
using namespace corvane::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The "path" of each JSON line.
std::vector<std::string> pathsOf(const std::string& out) {
  std::vector<std::string> paths;
  const std::regex path(R"re(^\{"path": "([^"]*)")re");
  for (const std::string& line : linesOf(out)) {
    std::smatch match;
    paths.push_back(std::regex_search(line, match, path) ? match[1].str() : "(no path) " + line);
  }
  return paths;
}

std::string withoutDateAdded(const std::string& out) {
  return std::regex_replace(out, std::regex(R"re("DateAdded": "[^"]*")re"), "");
}

Id3Bytes smallMp3(const std::string& title) {
  return concat({Id3TagBytes(3).text("TIT2", title).bytes(), silentMpegFrames(40)});
}

class LibraryScan : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon = std::make_unique<DaemonProcess>();
    ASSERT_TRUE(bus.waitForOwner("org.corvane.MP3Parser_Halvern", true)) << daemon->log();
  }
  PrivateBus bus;
  ScratchDir dir;
  std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(LibraryScan, RecordsComeInPathOrderAsOneAtATimeAndEndWithASummary) {
  // A big picture first, which its service takes long over while the MP3
  // service answers the files after it.
  fs::create_directories(dir.file("a/b"));
  for (const auto& [source, option, value, name] :
       {std::tuple("testsrc=size=3000x2000", "-frames:v", "1", "a/a.jpg"),
        {"sine=duration=1", "-c:a", "aac", "c.m4a"},
        {"sine=duration=1", "-c:a", "libvorbis", "c.ogg"}}) {
    const auto made = runCommand({"/usr/bin/ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", source,
                                  option, value, dir.file(name)});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  std::vector<std::string> expected{dir.file("a/a.jpg")};
  for (int i = 1; i <= 6; ++i) {
    expected.push_back(dir.file("a/b/song" + std::to_string(i) + ".mp3"));
    ASSERT_TRUE(writeBytes(expected.back(), smallMp3("Song " + std::to_string(i))));
  }
  expected.insert(expected.end(), {dir.file("c.m4a"), dir.file("c.ogg"), dir.file("d.xyz")});
  ASSERT_TRUE(writeBytes(dir.file("d.xyz"), {1, 2, 3}));
  fs::create_symlink(dir.file("a/b/song1.mp3"), dir.file("link.mp3"));  // found under its own name only

  client::Session session("org.corvane.test.scan");  // keeps the daemon between the two runs
  const auto many = runCommand({CORVANE_CTL_PATH, "build", "--jobs", "3", dir.path()});
  EXPECT_EQ(many.status, 1) << many.err;  // d.xyz has no record
  EXPECT_EQ(pathsOf(many.out), expected);
  std::vector<std::string> oneAtATime{CORVANE_CTL_PATH, "build", "--jobs", "1"};
  oneAtATime.insert(oneAtATime.end(), expected.begin(), expected.end());
  const auto one = runCommand(oneAtATime);
  EXPECT_EQ(withoutDateAdded(many.out), withoutDateAdded(one.out));

  const auto errors = linesOf(many.err);
  ASSERT_EQ(errors.size(), 2u) << many.err;
  EXPECT_EQ(errors[0], "corvanectl: " + dir.file("d.xyz") + ": no service reads this kind of file");
  EXPECT_TRUE(std::regex_match(
      errors[1],
      std::regex(
          R"(corvanectl: 10 files \(1 JPG, 1 M4A, 6 MP3, 1 OGG, 1 UNKNOWN\) in [0-9.]+ s, 1 without a record)")))
      << errors[1];
}

TEST_F(LibraryScan, AStoppedRunKeepsItsOrderAndSaysGoodbye) {
  std::vector<std::string> files;
  fs::create_directory(dir.file("songs"));
  for (int i = 0; i < 3000; ++i) {
    files.push_back(dir.file("songs/" + std::to_string(10000 + i) + ".mp3"));
    ASSERT_TRUE(writeBytes(files.back(), smallMp3("Song")));
  }
  // Stopped once its first record is out; corvanectl is the daemon's only client.
  const std::string out = dir.file("out.txt");
  const auto r = runCommand({"/bin/sh", "-c",
                             "\"$0\" build \"$1\" > \"$2\" & pid=$!; "
                             "while [ ! -s \"$2\" ]; do sleep 0.01; done; kill -TERM $pid; wait $pid",
                             CORVANE_CTL_PATH, dir.file("songs"), out});
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  EXPECT_NE(r.err.find("corvanectl: stopped after "), std::string::npos) << r.err;
  std::ifstream in(out);
  const std::vector<std::string> printed = pathsOf(std::string(std::istreambuf_iterator<char>(in), {}));
  ASSERT_FALSE(printed.empty());
  ASSERT_LT(printed.size(), files.size());
  EXPECT_EQ(printed,
            std::vector<std::string>(files.begin(), files.begin() + static_cast<long>(printed.size())));
  EXPECT_TRUE(daemon->waitForExit(5s)) << "the daemon did not hear the goodbye";
}

}  // namespace
