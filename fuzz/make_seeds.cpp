// Writes the seed corpus of every fuzz target: make_seeds OUTDIR makes
// OUTDIR/<target>/ with a few valid and near-valid inputs each.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <vips/vips8>

#include "export/MP4ExporterImpl.h"
#include "fixtures/ExifFixture.h"
#include "fixtures/Id3Fixture.h"
#include "fixtures/Mp4Fixture.h"
#include "host/ProcessSetup.h"
#include "platform/audio/RZExtAudioFile.h"

namespace fs = std::filesystem;

namespace {

void write(const fs::path& dir, const std::string& name, const std::vector<unsigned char>& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Pictures for the image builder (JPEG with and without EXIF) and EXIF blocks
// for its entry callbacks: the five photo tags in both byte orders.
void writeImageBuilderSeeds(const fs::path& out) {
  using namespace corvane::test;
  std::vector<ExifBuilder> blocks{ExifBuilder(ByteOrder::Intel), ExifBuilder(ByteOrder::Motorola)};
  blocks[0].ascii(Ifd::Zero, tag::Model, "Cam").ascii(Ifd::Zero, tag::DateTime, "2021:07:04 12:30:45");
  blocks[1].ascii(Ifd::Zero, tag::Artist, "Ann").ascii(Ifd::Zero, tag::DateTime, "2021:07:04");
  for (ExifBuilder& b : blocks) {
    b.shortValue(Ifd::Zero, tag::Orientation, 6).byteValues(Ifd::Zero, tag::XPComment, {'H', 0, 'i', 0});
    b.shortValue(Ifd::One, tag::Orientation, 3).ascii(Ifd::Exif, tag::Model, "");
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    const std::string n = std::to_string(i);
    write(out / "image_builder_fuzz", "exif" + n + ".jpg", blocks[i].jpeg());
    write(out / "photo_exif_fuzz", "block" + n, blocks[i].exifBlock());
    write(out / "photo_exif_fuzz", "jpeg" + n, blocks[i].jpeg());
  }
  write(out / "image_builder_fuzz", "plain.jpg", minimalJpeg());
}

// JPEG files for the EXIF extractor: every mapped tag in both byte orders,
// the version and flash orderings the red-eye rule depends on, odd values
// (invalid UTF-8, short Flash, bad dates), an IFD 1 with a thumbnail, and
// cuts through the EXIF block.
void writeExifExtractorSeeds(const fs::path& out) {
  using namespace corvane::test;
  const fs::path dir = out / "exif_extractor_fuzz";
  const ByteVec v220 = {'0', '2', '2', '0'};
  for (ByteOrder order : {ByteOrder::Intel, ByteOrder::Motorola}) {
    const std::string o = order == ByteOrder::Intel ? "ii" : "mm";
    ExifBuilder full(order);
    full.ascii(Ifd::Zero, tag::Make, "Canon")
        .ascii(Ifd::Zero, tag::Model, "EOS")
        .shortValue(Ifd::Zero, tag::Orientation, 6);
    full.ascii(Ifd::Zero, tag::DateTime, "2009:05:17 13:45:02").undefined(Ifd::Exif, tag::ExifVersion, v220);
    full.rational(Ifd::Exif, tag::FNumber, 28, 10).shortValue(Ifd::Exif, tag::ExposureProgram, 2);
    full.shortValue(Ifd::Exif, tag::IsoSpeedRatings, 100).srational(Ifd::Exif, tag::ShutterSpeedValue, 6, 1);
    full.srational(Ifd::Exif, tag::ExposureBiasValue, -1, 3).rational(Ifd::Exif, tag::MaxApertureValue, 3, 1);
    full.shortValue(Ifd::Exif, tag::MeteringMode, 5).shortValue(Ifd::Exif, tag::Flash, 0x41);
    full.rational(Ifd::Exif, tag::FocalLength, 50, 1).shortValue(Ifd::Exif, tag::ColorSpace, 1);
    full.rational(Ifd::Exif, tag::FlashEnergy, 12, 1).shortValue(Ifd::Exif, tag::WhiteBalance, 0);
    full.shortValue(Ifd::Exif, tag::SceneCaptureType, 1);
    full.shortValue(Ifd::One, tag::Orientation, 8)
        .ascii(Ifd::One, tag::Make, "Nikon")
        .thumbnail(minimalJpeg());
    const ByteVec jpeg = full.jpeg();
    write(dir, "full-" + o + ".jpg", jpeg);
    write(dir, "block-" + o, full.exifBlock());
    for (size_t cut : {size_t{12}, size_t{40}, jpeg.size() / 2, jpeg.size() - 4}) {
      write(dir, "cut" + std::to_string(cut) + "-" + o + ".jpg",
            ByteVec(jpeg.begin(), jpeg.begin() + static_cast<long>(cut)));
    }

    ExifBuilder odd(order);
    odd.shortValue(Ifd::Exif, tag::Flash, 0x40).undefined(Ifd::Exif, tag::ExifVersion, {'0', '2', '1', '0'});
    odd.add(Ifd::Zero, tag::Make, ExifType::Ascii, {'C', 0xFF, 0xC0, 0xAF, 0})
        .ascii(Ifd::Zero, tag::DateTime, "2009:05:17");
    odd.add(Ifd::Exif, tag::Flash, ExifType::Byte, {0x41})
        .undefined(Ifd::Exif, tag::ExifVersion, {' ', '-', '9'});
    odd.add(Ifd::Zero, tag::Model, ExifType::Ascii, {'M', 'o', 'd', 'e', 'l'}, 200);  // count past the data
    write(dir, "odd-" + o + ".jpg", odd.jpeg());
  }
  write(dir, "no-exif.jpg", minimalJpeg());
}

// Pictures for EXIF rotation: small JPEGs with every orientation (a grey one
// and a colour one that is not square), a cut one, a PNG and a BMP.
void writeRotationSeeds(const fs::path& out) {
  using namespace corvane::test;
  const fs::path dir = out / "rotation_fuzz";
  const vips::VImage colour =
      vips::VImage::xyz(24, 16)
          .extract_band(0)
          .bandjoin({vips::VImage::xyz(24, 16).extract_band(1), vips::VImage::black(24, 16)})
          .cast(VIPS_FORMAT_UCHAR)
          .linear(10.0, 0.0)
          .cast(VIPS_FORMAT_UCHAR)
          .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  auto encoded = [&](const char* suffix) {
    void* buffer = nullptr;
    size_t length = 0;
    colour.write_to_buffer(suffix, &buffer, &length);
    ByteVec bytes(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
    g_free(buffer);
    return bytes;
  };
  const ByteVec colourJpeg = encoded(".jpg");
  for (uint16_t orientation = 1; orientation <= 8; ++orientation) {
    const std::string n = std::to_string(orientation);
    ExifBuilder b(orientation % 2 ? ByteOrder::Intel : ByteOrder::Motorola);
    b.ascii(Ifd::Zero, tag::Make, "Cam").shortValue(Ifd::Zero, tag::Orientation, orientation);
    write(dir, "grey" + n + ".jpg", b.jpeg());
    write(dir, "colour" + n + ".jpg", b.jpeg(colourJpeg));
  }
  const ByteVec turned = ExifBuilder().shortValue(Ifd::Zero, tag::Orientation, 6).jpeg(colourJpeg);
  write(dir, "cut.jpg", ByteVec(turned.begin(), turned.begin() + static_cast<long>(turned.size() * 2 / 3)));
  write(dir, "picture.png", encoded(".png"));
  write(dir, "picture.bmp", encoded(".bmp"));
}

// MP4 files for the MP4 builder and box reader: a tagged M4A (text, numeric
// genre, track, disc, two covers), moov after mdat, a QuickTime-style meta
// with a 64-bit media header, video plus audio, video only, and cuts.
void writeMp4Seeds(const fs::path& out) {
  using namespace corvane::test;
  const Mp4Bytes items = [] {
    Mp4Bytes all;
    for (const Mp4Bytes& item :
         {ilstText("\251nam", "Title"), ilstText("\251ART", "Artist"), ilstText("\251gen", "Rock"),
          ilstInteger("gnre", 18, 2, 0), ilstPair("trkn", 3, 12), ilstPair("disk", 1, 2, false),
          ilstText("purl", "http://feed"), ilstInteger("plID", 5, 8),
          ilstCovr({{13, minimalJpeg()}, {0, {0x89, 'P', 'N', 'G'}}})}) {
      all.insert(all.end(), item.begin(), item.end());
    }
    return all;
  }();
  Mp4FileSpec tagged;
  tagged.ilstItems = items;
  Mp4FileSpec late = tagged;
  late.movieFirst = false;
  Mp4FileSpec quickTime = tagged;
  quickTime.metaFullBox = false;
  quickTime.tracks[0].mediaHeaderVersion = 1;
  quickTime.tracks[0].avgBitRate.reset();
  Mp4FileSpec both = tagged;
  Mp4TrackSpec video;
  video.handler = "vide";
  both.tracks.insert(both.tracks.begin(), video);
  Mp4FileSpec videoOnly;
  videoOnly.tracks = {video};
  const std::vector<std::pair<std::string, Mp4Bytes>> files{{"tagged.m4a", buildMp4(tagged)},
                                                            {"late-moov.m4a", buildMp4(late)},
                                                            {"qt-meta.m4a", buildMp4(quickTime)},
                                                            {"video-audio.mp4", buildMp4(both)},
                                                            {"video.m4v", buildMp4(videoOnly)}};
  for (const auto& [name, bytes] : files) {
    for (const char* target : {"mp4_builder_fuzz", "mp4_box_reader_fuzz"}) write(out / target, name, bytes);
  }
  const Mp4Bytes& full = files.front().second;
  write(out / "mp4_box_reader_fuzz", "cut.m4a", Mp4Bytes(full.begin(), full.begin() + full.size() * 2 / 3));
}

// M4A files for the MP4 writer and podcast reader: tags with three covers,
// track and disc, moov before and after the audio, a QuickTime-style meta,
// no metadata at all, podcast items (both, one, repeated, one too long for
// the buffer), and a cut file.
void writeMp4WriterSeeds(const fs::path& out) {
  using namespace corvane::test;
  const auto join = [](std::initializer_list<Mp4Bytes> parts) {
    Mp4Bytes all;
    for (const Mp4Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const auto implicit = [](const char* code, const std::string& v) {
    return ilstItem(code, {{0, Mp4Bytes(v.begin(), v.end())}});
  };
  const Mp4Bytes podcast = join({implicit("purl", "http://feed"), implicit("egid", "episode-1")});
  Mp4FileSpec tagged;
  tagged.ilstItems =
      join({ilstText("\251nam", "Title"), ilstText("\251gen", "Rock"), ilstPair("trkn", 3, 12),
            ilstPair("disk", 1, 2, false), podcast,
            ilstCovr({{13, minimalJpeg()}, {14, {0x89, 'P', 'N', 'G'}}, {13, minimalJpeg()}})});
  Mp4FileSpec late = tagged;
  late.movieFirst = false;
  Mp4FileSpec quickTime = tagged;
  quickTime.metaFullBox = false;
  Mp4FileSpec bare;
  Mp4FileSpec repeated;
  repeated.ilstItems =
      join({podcast, implicit("egid", "episode-2"), implicit("purl", std::string(2000, 'u'))});
  Mp4FileSpec urlOnly;
  urlOnly.ilstItems = implicit("purl", "http://feed");
  const Mp4Bytes full = buildMp4(tagged);
  const std::vector<std::pair<std::string, Mp4Bytes>> files{
      {"tagged.m4a", full},
      {"late-moov.m4a", buildMp4(late)},
      {"qt-meta.m4a", buildMp4(quickTime)},
      {"bare.m4a", buildMp4(bare)},
      {"repeated.m4a", buildMp4(repeated)},
      {"url-only.m4a", buildMp4(urlOnly)},
      {"cut.m4a", Mp4Bytes(full.begin(), full.begin() + full.size() * 2 / 3)}};
  for (const auto& [name, bytes] : files) {
    for (const char* target : {"mp4_writer_fuzz", "mp4_podcast_fuzz"}) write(out / target, name, bytes);
  }
}

// MP3 files for the ID3 writer and podcast reader: tags of each version with
// text, podcast frames with and without an encoding byte, a picture, an
// extended header, unsynchronisation, plain v2.4 sizes, a tag cut short, an
// ID3v1 tag behind the audio, and audio with no tag.
void writeId3Seeds(const fs::path& out) {
  using corvane::test::Id3TagBytes;
  const std::vector<unsigned char> audio = corvane::test::silentMpegFrames(3);
  std::vector<Id3TagBytes> tags(6, Id3TagBytes(3));
  tags[0].text("TIT2", "Title").text("TGID", "ep-1").text("WFED", "http://feed").text("TCON", "(17)");
  tags[1] = Id3TagBytes(2);
  tags[1]
      .text("TT2", "Title")
      .text("TID", "ep")
      .frame("WFD", {'u', 'r', 'l'})
      .frame("PIC", {0, 'J', 'P', 'G', 3, 0, 1});
  tags[2] = Id3TagBytes(4);
  tags[2]
      .extendedHeader()
      .unsynchronise()
      .text("TIT2", "\xC3\xBF", 3)
      .frame("APIC", {0, 'i', 0, 3, 0, 0xFF, 0xD8});
  tags[3] = Id3TagBytes(4);
  tags[3].plainFrameSizes().text("TGID", "e").frame("WFED", {'h', 't', 't', 'p'}).padding(64);
  const std::string utf16e{'\xFF', '\xFE', 'e', '\0'};
  tags[4].extendedHeader().unsynchronise().text("COMM", std::string("eng\0c", 5)).text("TGID", utf16e, 1);
  tags[5].text("TRCK", "3/12").frame("WFED", {0, 0, 0, 4, 'x'}, 0x0080).padding(16);
  for (size_t i = 0; i < tags.size(); ++i) {
    std::vector<unsigned char> file = tags[i].bytes();
    file.insert(file.end(), audio.begin(), audio.end());
    for (const char* target : {"id3_writer_fuzz", "id3_podcast_fuzz"}) {
      write(out / target, "tag" + std::to_string(i) + ".mp3", file);
    }
  }
  std::vector<unsigned char> withV1 = audio;
  const std::vector<unsigned char> v1 = corvane::test::id3v1Bytes({.title = "Old"});
  withV1.insert(withV1.end(), v1.begin(), v1.end());
  write(out / "id3_writer_fuzz", "v1-only.mp3", withV1);
  const std::vector<unsigned char> cut = tags[0].bytes();
  write(out / "id3_podcast_fuzz", "cut.mp3", std::vector<unsigned char>(cut.begin(), cut.end() - 5));
}

// MP3 files for the MP3 builder (ID3v2.2/2.3/2.4 tags with every frame it
// reads, ID3v1, a cover, a tag without audio, cuts), MPEG streams for the
// frame walk, and raw text fields for the ID3 text reader.
void writeMp3Seeds(const fs::path& out) {
  using namespace corvane::test;
  const fs::path dir = out / "mp3_builder_fuzz";
  const Id3Bytes audio = silentMpegFrames(8);
  for (int version : {2, 3, 4}) {
    const bool v22 = version == 2;
    Id3TagBytes tag(version);
    tag.text(v22 ? "TT2" : "TIT2", "Title").utf16(v22 ? "TP1" : "TPE1", u"Artist");
    tag.text(v22 ? "TAL" : "TALB", "\xC7\xD1", 0).text(v22 ? "TCO" : "TCON", "(17)");
    tag.text(v22 ? "TRK" : "TRCK", "3/12", 3).comment("d", "c").syncedLyrics().picture(tinyJpeg(10, 20, 30));
    const Id3Bytes file = concat({tag.bytes(), audio});
    const std::string v = std::to_string(version);
    write(dir, "v2" + v + ".mp3", file);
    write(dir, "cut" + v + ".mp3", Id3Bytes(file.begin(), file.begin() + static_cast<long>(file.size() / 3)));
  }
  write(dir, "v1.mp3", concat({audio, id3v1Bytes({"T", "A", "B", "2001", "C", 4, 17})}));
  write(dir, "no-audio.mp3", Id3TagBytes(3).text("TIT2", "x").bytes());

  // Frame walks: clean, a frame zeroed, a stray header in a gap.
  const fs::path scan = out / "mpeg_scan_fuzz";
  write(scan, "clean.mp3", audio);
  write(scan, "zeroed.mp3", concat({audio, Id3Bytes(417, 0), audio}));
  write(scan, "stray.mp3", concat({audio, {0, 0xFF, 0xFB, 0xE0, 0x64, 0, 0}, audio}));

  const fs::path text = out / "id3_text_fuzz";
  write(text, "latin1", {0, 0, 'a', 'b', 0, 'c'});
  write(text, "utf16-comment", {1, 1, 'e', 'n', 'g', 0xFF, 0xFE, 'd', 0, 0, 0, 0xFF, 0xFE, 'x', 0});
  write(text, "utf16be", {0, 2, 0, 'J', 0xD8, 0x00});
  write(text, "utf8", {0, 3, 0xC3, 0x28, 0});
}

// The export settings as the service applies them, and with hinting off.
void writeExportSettingsSeeds(const fs::path& out) {
  const auto settings = corvane::exporter::mp4ExportSetting();
  std::vector<unsigned char> bytes(settings.begin(), settings.end());
  write(out / "export_settings_fuzz", "settings", bytes);
  const std::string hint = "hint";
  const auto at = std::search(bytes.begin(), bytes.end(), hint.begin(), hint.end());
  if (at != bytes.end()) at[19] = 0;
  write(out / "export_settings_fuzz", "no-hint", bytes);
}

// Audio for the conversion's source side: a WAV built here, an AAC M4A made
// by the wrapper itself, and, where ffmpeg is installed, Apple Lossless, MP3
// and FLAC files of a short tone.
void writeAudioSourceSeeds(const fs::path& out) {
  using namespace corvane::audio;
  const fs::path dir = out / "audio_source_fuzz";
  fs::create_directories(dir);
  const uint32_t frames = 1000;
  std::vector<unsigned char> wav;
  auto put = [&](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) wav.push_back(static_cast<unsigned char>(value >> (8 * i)));
  };
  for (char c : std::string("RIFF")) wav.push_back(static_cast<unsigned char>(c));
  put(36 + frames * 2, 4);
  for (char c : std::string("WAVEfmt ")) wav.push_back(static_cast<unsigned char>(c));
  put(16, 4), put(1, 2), put(1, 2), put(8000, 4), put(16000, 4), put(2, 2), put(16, 2);
  for (char c : std::string("data")) wav.push_back(static_cast<unsigned char>(c));
  put(frames * 2, 4);
  for (uint32_t i = 0; i < frames; ++i) put(static_cast<uint32_t>((i % 40) * 800), 2);
  write(dir, "tone.wav", wav);

  const AudioStreamDescription aac{8000, kFormatMPEG4AAC, 0, 0, 0, 0, 1, 0, 0};
  if (auto file = RZExtAudioFile::createFile((dir / "tone.m4a").string(), kFileTypeM4A, aac)) {
    std::vector<float> samples(4000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>((i % 40) / 40.0 - 0.5);
    file->writeData({reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * sizeof(float)});
  }
  const std::pair<const char*, const char*> made[] = {
      {"alac", "alac.m4a"}, {"libmp3lame", "tone.mp3"}, {"flac", "tone.flac"}};
  for (const auto& [codec, name] : made) {
    const std::string command = std::string("ffmpeg -v quiet -y -f lavfi -i sine=r=8000:d=0.3 -c:a ") +
                                codec + " '" + (dir / name).string() + "' </dev/null";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "make_seeds: no %s seed (ffmpeg)\n", name);
  }
}

// Small movies and audio made by ffmpeg for the movie layer's targets
// (several containers and codecs, a disabled track, a cover, a playlist)
// and for the FLAC/Ogg measure (a leading byte picks the kind: odd FLAC).
void writeMovieSeeds(const fs::path& out) {
  const fs::path made = out / "made";
  fs::create_directories(made);
  const std::string tiny = "-f lavfi -i testsrc=s=32x24:r=4:d=1 ";
  const std::string tone = "-f lavfi -i sine=d=1:r=8000 ";
  const std::vector<std::pair<std::string, std::string>> movies{
      {"h264-aac.mov",
       tiny + tone + "-c:v libx264 -preset ultrafast -g 2 -c:a aac -b:a 8k -timecode 00:00:00:00"},
      {"two-video.mp4", tiny + tiny + "-map 0 -map 1 -c:v libx264 -preset ultrafast"},
      {"alac.m4a", tone + "-c:a alac"},
      {"mpeg4.avi", tiny + tone + "-c:v mpeg4 -vtag XVID -c:a pcm_s16le"},
      {"vp8.mkv", tiny + "-c:v libvpx -b:v 20k"},
      {"mpeg2.ts", tiny + tone + "-c:v mpeg2video -c:a mp2"},
      {"cover.m4a",
       tone + tiny + "-map 0 -map 1 -frames:v 1 -c:a aac -b:a 8k -c:v mjpeg -disposition:v attached_pic"},
      {"pcm.wav", tone},
      {"vorbis.ogg", tone + "-c:a libvorbis"},
      {"opus.ogg", tone + "-c:a libopus"},
      {"flac.ogg", tone + "-c:a flac -f ogg"},
      {"native.flac", tone + "-c:a flac"},
  };
  for (const auto& [name, options] : movies) {
    const fs::path file = made / name;
    const std::string command = "ffmpeg -nostdin -loglevel error -y " + options + " '" + file.string() + "'";
    if (std::system(command.c_str()) != 0) continue;
    std::ifstream in(file, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    write(out / "movie_tracks_fuzz", name, bytes);
    bytes.insert(bytes.begin(), 12);  // 3 s
    write(out / "movie_frame_fuzz", name, bytes);
    const bool flac = name.find("flac") != std::string::npos;
    if (flac || name.ends_with(".ogg")) {
      bytes[0] = flac ? 1 : 0;
      write(out / "audio_length_fuzz", name, bytes);
    }
  }
  const std::string playlist =
      "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + (made / "pcm.wav").string() + "\n#EXT-X-ENDLIST\n";
  write(out / "movie_tracks_fuzz", "list.m3u8", std::vector<unsigned char>(playlist.begin(), playlist.end()));
  fs::remove_all(made);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  if (!corvane::host::setUpProcess()) return 1;  // libvips, for the pictures made below
  writeImageBuilderSeeds(out);
  writeExifExtractorSeeds(out);
  writeRotationSeeds(out);
  writeMp4Seeds(out);
  writeMp4WriterSeeds(out);
  writeId3Seeds(out);
  writeMp3Seeds(out);
  writeExportSettingsSeeds(out);
  writeAudioSourceSeeds(out);
  writeMovieSeeds(out);
  return 0;
}
