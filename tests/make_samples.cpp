// make_samples DIR: writes a small sample set of media files for demos
// (scripts/run with no PATH): photos with and without EXIF, tagged MP3 and
// M4A songs with cover art, a movie, Apple Lossless, FLAC and Ogg audio
// (made with ffmpeg).

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vips/vips8>

#include "fixtures/ExifFixture.h"

using namespace corvane::test;
namespace fs = std::filesystem;

namespace {

ByteVec photo(int width, int height) {
  // A gradient, so that thumbnails show something.
  vips::VImage x = vips::VImage::xyz(width, height);
  vips::VImage rgb =
      (x[0] * (255.0 / width)).bandjoin(x[1] * (255.0 / height)).bandjoin(128).cast(VIPS_FORMAT_UCHAR);
  void* buf = nullptr;
  size_t len = 0;
  rgb.write_to_buffer(".jpg", &buf, &len);
  ByteVec bytes(static_cast<uint8_t*>(buf), static_cast<uint8_t*>(buf) + len);
  g_free(buf);
  return bytes;
}

ByteVec cameraExif(ByteOrder order, uint16_t orientation) {
  ExifBuilder exif(order);
  exif.ascii(Ifd::Zero, tag::Make, "Corvane Camera Works")
      .ascii(Ifd::Zero, tag::Model, "CC-100")
      .shortValue(Ifd::Zero, tag::Orientation, orientation)
      .ascii(Ifd::Zero, tag::DateTime, "2009:05:17 13:45:02")
      .undefined(Ifd::Exif, tag::ExifVersion, {'0', '2', '2', '0'})
      .rational(Ifd::Exif, tag::FNumber, 28, 10)
      .shortValue(Ifd::Exif, tag::IsoSpeedRatings, 200)
      .shortValue(Ifd::Exif, tag::Flash, 0x41);
  return exif.app1();
}

bool ffmpeg(const std::string& options, const fs::path& out) {
  return std::system(("ffmpeg -loglevel error -y " + options + " '" + out.string() + "'").c_str()) == 0;
}

// A two-second tone with tags and a cover picture.
bool song(const fs::path& dir, const std::string& name, const std::string& codec, const fs::path& cover) {
  const std::string id3 = codec == "libmp3lame" ? " -id3v2_version 3" : "";
  return ffmpeg("-f lavfi -i sine=frequency=440:duration=2 -i '" + cover.string() +
                    "' -map 0:a -map 1:v -c:a " + codec +
                    " -b:a 128k -c:v mjpeg -disposition:v attached_pic" + id3 + " -metadata title='Sample " +
                    name +
                    "' -metadata artist='Corvane' -metadata album='Samples' -metadata genre='Rock' -metadata "
                    "track=3/12",
                dir / name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || VIPS_INIT(argv[0])) {
    std::fprintf(stderr, "usage: make_samples DIR\n");
    return 2;
  }
  const fs::path dir = argv[1];
  fs::create_directories(dir);
  const ByteVec base = photo(640, 480);
  bool ok = writeFile(dir / "camera.jpg", insertApp1(base, cameraExif(ByteOrder::Intel, 1)));
  ok &= writeFile(dir / "turned.jpg", insertApp1(base, cameraExif(ByteOrder::Motorola, 6)));
  ok &= writeFile(dir / "plain.jpg", base);
  vips::VImage picture = vips::VImage::new_from_buffer(base.data(), base.size(), "");
  picture.write_to_file((dir / "picture.png").c_str());
  const fs::path cover = dir / "cover.jpg";
  picture.thumbnail_image(500, vips::VImage::option()->set("height", 500)->set("size", VIPS_SIZE_FORCE))
      .write_to_file(cover.c_str());
  ok &= song(dir, "song.mp3", "libmp3lame", cover);
  ok &= song(dir, "song.m4a", "aac", cover);
  // A short movie, an Apple Lossless song (which the AV service refuses), FLAC and Ogg.
  ok &= ffmpeg(
      "-f lavfi -i testsrc=s=320x240:r=10:d=3 -f lavfi -i sine=d=3 -c:v libx264 -preset ultrafast "
      "-pix_fmt yuv420p -c:a aac -metadata title='Sample clip'",
      dir / "clip.mov");
  ok &= ffmpeg("-f lavfi -i sine=frequency=330:duration=2 -c:a alac", dir / "lossless.m4a");
  ok &= ffmpeg("-f lavfi -i sine=frequency=550:duration=2 -c:a flac", dir / "tone.flac");
  ok &= ffmpeg("-f lavfi -i sine=frequency=660:duration=2 -c:a libvorbis", dir / "tone.ogg");
  std::printf("%s\n", dir.c_str());
  return ok ? 0 : 1;
}
