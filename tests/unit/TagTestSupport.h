#pragma once

// Shared by the tag writer tests: scratch folders, whole-file reads and
// writes, MP3 fixtures made by ffmpeg, and an independent look at the written
// tag through mutagen (the test never trusts the writer's own reader).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace corvane::tagtest {

namespace fs = std::filesystem;

inline std::vector<uint8_t> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Standard output of a shell command; none when it exits with an error.
inline std::optional<std::string> run(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) out.append(chunk.data(), n);
  return ::pclose(pipe) == 0 ? std::optional(out) : std::nullopt;
}

// A folder removed with everything in it at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "corvane-tags-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// A 3 s 440 Hz MP3 with an ID3v2 tag of the given version (3 or 4) and
// extra ffmpeg output options (metadata, ID3v1).
inline void makeMp3(const fs::path& out, int id3Version = 3, const std::string& extra = "",
                    double seconds = 3) {
  const std::string cmd =
      "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=" + std::to_string(seconds) +
      " -c:a libmp3lame -b:a 128k -f mp3 -id3v2_version " + std::to_string(id3Version) + " " + extra + " " +
      shellQuote(out.string()) + " </dev/null";
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

// One ID3v2 frame as mutagen reads it: encoding, texts, MIME type, picture data.
struct ReadFrame {
  int encoding = -1;
  std::vector<std::string> text;
  std::string mime;
  std::vector<uint8_t> data;
};

struct ReadTag {
  int version = 0;  // 3 for ID3v2.3
  std::multimap<std::string, ReadFrame> frames;

  const ReadFrame* first(const std::string& id) const {
    auto it = frames.find(id);
    return it == frames.end() ? nullptr : &it->second;
  }
  std::string text(const std::string& id) const {
    const ReadFrame* f = first(id);
    return f && !f->text.empty() ? f->text[0] : std::string("<none>");
  }
};

// The ID3v2 tag of file read by mutagen with no translation of frames or
// genres; none when the file has no tag. Fields are hex so spaces survive.
inline std::optional<ReadTag> readWithMutagen(const fs::path& file) {
  static const char* script = R"PY(
import sys, mutagen.id3 as m
try:
    t = m.ID3(sys.argv[1], translate=False, load_v1=False)
except m.ID3NoHeaderError:
    sys.exit(3)
h = lambda s: s.encode('utf-8', 'surrogatepass').hex() or '-'
print('V', t.version[1])
for f in t.values():
    text = ','.join(h(str(x)) for x in getattr(f, 'text', [])) or '-'
    data = getattr(f, 'data', b'').hex() if f.FrameID in ('APIC', 'PIC') else '-'
    print(f.FrameID, int(getattr(f, 'encoding', -1)), text, getattr(f, 'mime', '-') or '-', data or '-')
)PY";
  const auto out = run("/usr/bin/python3 -c " + shellQuote(script) + " " + shellQuote(file.string()));
  if (!out) return std::nullopt;
  ReadTag tag;
  std::istringstream lines(*out);
  std::string id, enc, text, mime, data;
  while (lines >> id) {
    if (id == "V") {
      lines >> tag.version;
      continue;
    }
    lines >> enc >> text >> mime >> data;
    ReadFrame f;
    f.encoding = std::stoi(enc);
    std::istringstream parts(text == "-" ? "" : text);
    for (std::string part; std::getline(parts, part, ',');) f.text.push_back(fromHex(part));
    f.mime = mime == "-" ? "" : mime;
    const std::string raw = data == "-" ? "" : fromHex(data);
    f.data.assign(raw.begin(), raw.end());
    tag.frames.emplace(id, f);
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
