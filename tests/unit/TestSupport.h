#pragma once

// Shared by the tests: the fixture makers and test pictures, scratch
// folders, whole-file reads, shell commands and ffmpeg, a child process for
// resource limits, records written as lists, and an independent look at
// written tags through mutagen (the tests never trust the writers' own
// readers).

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fixtures/ExifFixture.h"
#include "fixtures/Id3Fixture.h"
#include "fixtures/Mp4Fixture.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/MediaRecord.h"
#include "media/RZMediaTypeReader.h"
#include "support/ServiceHarness.h"
#include "unit/ImagingTestPictures.h"

namespace corvane::tagtest {

namespace fs = std::filesystem;
using test::ScratchDir;
using test::writeBytes;

inline std::vector<uint8_t> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Standard output of a shell command; none when it exits with an error.
inline std::optional<std::string> run(const std::string& command) {
  const test::CommandResult r = test::runCommand({"/bin/sh", "-c", command});
  return r.status == 0 ? std::optional(r.out) : std::nullopt;
}

// A record of these entries.
inline media::MediaRecord recordOf(std::initializer_list<std::pair<const char*, media::MediaValue>> entries) {
  media::MediaRecord record;
  for (const auto& [key, value] : entries) record.set(key, value);
  return record;
}

// The value under key as text: numbers written out, flags as true/false,
// else "<absent>", "<bytes>" or "<other>".
inline std::string shown(const media::MediaRecord& r, const std::string& key) {
  const media::MediaValue* v = r.find(key);
  if (v == nullptr) return "<absent>";
  if (const auto* text = std::get_if<std::string>(v)) return *text;
  if (const auto* number = std::get_if<int32_t>(v)) return std::to_string(*number);
  if (const auto* flag = std::get_if<bool>(v)) return *flag ? "true" : "false";
  return std::holds_alternative<media::Bytes>(*v) ? "<bytes>" : "<other>";
}

// The values of like's keys in r, as shown() gives them (to compare with like).
using Fields = std::map<std::string, std::string>;
inline Fields pick(const media::MediaRecord& r, const Fields& like) {
  Fields out;
  for (const auto& entry : like) out[entry.first] = shown(r, entry.first);
  return out;
}

// Runs body in a child process (for limits the test itself must not keep)
// and returns its exit status, or 100 + the signal that ended it.
inline int inChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Runs ffmpeg with these input and output options to write out.
inline void ffmpeg(const std::string& options, const fs::path& out) {
  const std::string cmd = "ffmpeg -v error -y " + options + " " + shellQuote(out.string()) + " </dev/null";
  ASSERT_TRUE(run(cmd)) << cmd;
}

// The md5 of the decoded audio (a picture in the tag is not decoded).
inline std::string audioMd5(const fs::path& file) {
  return run("ffmpeg -v error -i " + shellQuote(file.string()) + " -map 0:a -f md5 - </dev/null")
      .value_or("failed");
}

inline std::string fromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// One ID3v2 frame or MP4 item as mutagen reads it: encoding, texts (an MP4
// track or disc pair as "index/total"), MIME type, picture data (one MP4
// cover per entry), and for ID3v2 all fields in one text.
struct ReadFrame {
  int encoding = -1;
  std::vector<std::string> text;
  std::string mime;
  std::vector<uint8_t> data;
  std::string repr;  // every field of an ID3v2 frame, as mutagen prints it
  bool operator==(const ReadFrame&) const = default;
};

struct ReadTag {
  int version = 0;                               // 3 for ID3v2.3
  std::multimap<std::string, ReadFrame> frames;  // by frame id or raw item name, in stored order

  const ReadFrame* first(const std::string& id) const {
    auto it = frames.find(id);
    return it == frames.end() ? nullptr : &it->second;
  }
  std::string text(const std::string& id) const {
    const ReadFrame* f = first(id);
    return f && !f->text.empty() ? f->text[0] : std::string("<none>");
  }
  std::vector<std::vector<uint8_t>> pictures(const std::string& id) const {
    std::vector<std::vector<uint8_t>> out;
    for (auto [it, end] = frames.equal_range(id); it != end; ++it) out.push_back(it->second.data);
    return out;
  }
  bool operator==(const ReadTag&) const = default;
};

// The tags of file read by mutagen, the ID3v2 tag with no translation of
// frames or genres or the MP4 items; none when the file has no ID3v2 tag or
// is no MP4 file. Fields are hex so spaces survive.
inline std::optional<ReadTag> readWithMutagen(const fs::path& file, bool mp4 = false) {
  static const char* script = R"PY(
import sys, mutagen.id3 as m, mutagen.mp4
def out(k, enc=-1, texts=(), mime='', data=b'', rep=''):
    t = lambda x: x if isinstance(x, bytes) else str(x).encode('utf-8', 'surrogatepass')
    hexTexts = ','.join(t(x).hex() or '-' for x in texts)
    print(k.encode('latin-1').hex(), enc, hexTexts or '-', mime or '-', data.hex() or '-', t(rep).hex() or '-')
if sys.argv[2] == 'mp4':
    for k, v in (mutagen.mp4.MP4(sys.argv[1]).tags or {}).items():
        if k == 'covr':
            for x in v:
                out(k, data=bytes(x))
        else:
            out(k, texts=['%d/%d' % x if k in ('trkn', 'disk') else x for x in v])
    sys.exit(0)
try:
    tag = m.ID3(sys.argv[1], translate=False, load_v1=False)
except m.ID3NoHeaderError:
    sys.exit(3)
print('V', tag.version[1])
for f in tag.values():
    pic = f.FrameID in ('APIC', 'PIC')
    out(f.FrameID, int(getattr(f, 'encoding', -1)), getattr(f, 'text', []), getattr(f, 'mime', ''),
        f.data if pic else b'', repr(f))
)PY";
  const auto out = run("/usr/bin/python3 -c " + shellQuote(script) + " " + shellQuote(file.string()) +
                       (mp4 ? " mp4" : " id3"));
  if (!out) return std::nullopt;
  ReadTag tag;
  std::istringstream lines(*out);
  std::string id, enc, text, mime, data, repr;
  while (lines >> id) {
    if (id == "V") {
      lines >> tag.version;
      continue;
    }
    lines >> enc >> text >> mime >> data >> repr;
    ReadFrame f;
    f.encoding = std::stoi(enc);
    std::istringstream parts(text == "-" ? "" : text);
    for (std::string part; std::getline(parts, part, ',');) f.text.push_back(fromHex(part));
    f.mime = mime == "-" ? "" : mime;
    const std::string raw = data == "-" ? "" : fromHex(data);
    f.data.assign(raw.begin(), raw.end());
    f.repr = repr == "-" ? "" : fromHex(repr);
    tag.frames.emplace(fromHex(id), f);
  }
  return tag;
}

// The bytes of file after its leading ID3v2 tag (the whole file without one).
inline std::vector<uint8_t> bytesAfterTag(const std::vector<uint8_t>& file) {
  if (file.size() < 10 || file[0] != 'I' || file[1] != 'D' || file[2] != '3') return file;
  const size_t size = (size_t{file[6]} << 21 | size_t{file[7]} << 14 | size_t{file[8]} << 7 | file[9]) + 10;
  return std::vector<uint8_t>(file.begin() + static_cast<long>(std::min(size, file.size())), file.end());
}

}  // namespace corvane::tagtest
