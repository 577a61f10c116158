#pragma once

// The benchmarks' songs: one short sine tone encoded by ffmpeg, copied as
// many times as asked and tagged with TagLib, each copy with its title,
// track number and the cover picture the caller gives for it (so that no
// cache can share work between files when the covers differ).

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace corvane::bench {

using Cover = std::function<std::vector<uint8_t>(int index)>;

inline TagLib::ByteVector byteVector(const std::vector<uint8_t>& bytes) {
  return TagLib::ByteVector(reinterpret_cast<const char*>(bytes.data()), static_cast<unsigned>(bytes.size()));
}

// count copies of what ffmpegArguments encode ("-f lavfi -i ... -c:a ..."),
// named stem + index + extension in dir, each tagged by tag(path, index);
// empty when ffmpeg or a tag fails.
inline std::vector<std::string> makeSongs(const std::string& dir, const std::string& stem,
                                          const std::string& extension, int count,
                                          const std::string& ffmpegArguments,
                                          const std::function<bool(const std::string&, int)>& tag) {
  namespace fs = std::filesystem;
  const std::string base = dir + "/base" + extension;
  const std::string command = "ffmpeg -nostdin -loglevel error -y " + ffmpegArguments + " '" + base + "'";
  if (std::system(command.c_str()) != 0) return {};
  std::vector<std::string> files;
  for (int i = 0; i < count; ++i) {
    const std::string path = dir + "/" + stem + std::to_string(i) + extension;
    fs::copy_file(base, path, fs::copy_options::overwrite_existing);
    if (!tag(path, i)) return {};
    files.push_back(path);
  }
  fs::remove(base);
  return files;
}

// 10 s of 128 kbit/s MP3 with an ID3v2 tag: title, artist, album, genre,
// year, track, comment and a front cover.
inline std::vector<std::string> makeTaggedMp3s(const std::string& dir, const std::string& stem, int count,
                                               const Cover& cover) {
  return makeSongs(dir, stem, ".mp3", count,
                   "-f lavfi -i sine=frequency=440:duration=10 -map_metadata -1 -id3v2_version 0 -c:a "
                   "libmp3lame -b:a 128k",
                   [&](const std::string& path, int i) {
                     TagLib::MPEG::File file(path.c_str());
                     TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
                     tag->setTitle(TagLib::String("Song " + std::to_string(i)));
                     tag->setArtist("Bench Artist");
                     tag->setAlbum("Bench Album");
                     tag->setGenre("Rock");
                     tag->setYear(2020);
                     tag->setTrack(static_cast<unsigned>(i % 20 + 1));
                     tag->setComment("a comment");
                     auto* picture = new TagLib::ID3v2::AttachedPictureFrame;
                     picture->setMimeType("image/jpeg");
                     picture->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
                     picture->setPicture(byteVector(cover(i)));
                     tag->addFrame(picture);  // the tag owns it
                     return file.save(TagLib::MPEG::File::ID3v2);
                   });
}

// 3 s of 128 kbit/s AAC in an M4A with iTunes-style tags: title, artists,
// album, composer, genre, year, track and disc numbers and a cover.
inline std::vector<std::string> makeTaggedM4as(const std::string& dir, const std::string& stem, int count,
                                               const Cover& cover) {
  return makeSongs(dir, stem, ".m4a", count, "-f lavfi -i sine=frequency=440:duration=3 -c:a aac -b:a 128k",
                   [&](const std::string& path, int i) {
                     TagLib::MP4::File file(path.c_str());
                     if (!file.isValid()) return false;
                     TagLib::MP4::Tag* t = file.tag();
                     const TagLib::String n = TagLib::String::number(i);
                     t->setItem("\251nam", TagLib::StringList("Title " + n));
                     t->setItem("\251ART", TagLib::StringList("Artist " + n));
                     t->setItem("aART", TagLib::StringList("Album Artist"));
                     t->setItem("\251alb", TagLib::StringList("Album"));
                     t->setItem("\251wrt", TagLib::StringList("Composer"));
                     t->setItem("\251gen", TagLib::StringList("Rock"));
                     t->setItem("\251day", TagLib::StringList("2020"));
                     t->setItem("trkn", TagLib::MP4::Item(i % 20 + 1, 20));
                     t->setItem("disk", TagLib::MP4::Item(1, 1));
                     TagLib::MP4::CoverArtList covers;
                     covers.append(TagLib::MP4::CoverArt(TagLib::MP4::CoverArt::JPEG, byteVector(cover(i))));
                     t->setItem("covr", TagLib::MP4::Item(covers));
                     return file.save();
                   });
}

}  // namespace corvane::bench
