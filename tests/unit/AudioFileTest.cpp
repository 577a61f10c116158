// The audio file wrapper on its own: block reads to the end, writes of whole
// frames in the canonical client format, replacing on create, and the
// statuses and log lines of what it cannot open or create.

#include <gtest/gtest.h>

#include "TagTestSupport.h"
#include "media/Log.h"
#include "platform/audio/RZExtAudioFile.h"

namespace corvane::audio {
namespace {

namespace tt = tagtest;

TEST(AudioFileTest, ReadsGiveWholeBlocksThenTheRestThenNothing) {
  tt::ScratchDir dir;
  const std::string source = dir / "tone.m4a";
  tt::ffmpeg("-f lavfi -i sine=r=44100 -af atrim=end_sample=3048 -ac 2 -c:a alac", source);
  auto file = RZExtAudioFile::openFile(source);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->totalFrame(), 3048);
  EXPECT_EQ(file->fileDataFormat().formatID, fourcc("alac"));
  EXPECT_EQ(file->filename(), "tone.m4a");
  for (const size_t bytes : {2048u * 8, 1000u * 8, 0u}) {
    EXPECT_EQ(file->readFrames(2048).size(), bytes);
    EXPECT_EQ(file->lastError(), 0);
  }
  // A created file takes no reads, an opened one no bit rate.
  file->setBitRate(64000);
  EXPECT_EQ(file->lastError(), kAudioFileNotPermitted);
}

TEST(AudioFileTest, WritesTakeWholeFramesOfTheCanonicalFormatAndCreateReplacesAFile) {
  tt::ScratchDir dir;
  const std::string target = dir / "new.m4a";
  std::ofstream(target) << "an older file";
  AudioStreamDescription aac{48000, kFormatMPEG4AAC, 0, 0, 0, 0, 2, 0, 0};
  auto file = RZExtAudioFile::createFile(target, kFileTypeM4A, aac);
  ASSERT_TRUE(file);
  const AudioStreamDescription canonical{48000, kFormatLinearPCM, 9, 8, 1, 8, 2, 32, 0};
  EXPECT_EQ(file->canonicalDataFormat(), canonical);
  EXPECT_EQ(file->clientDataFormat(), canonical);
  AudioStreamDescription bigEndian = canonical;
  bigEndian.formatFlags |= kFormatFlagIsBigEndian;
  file->setClientDataFormat(bigEndian);
  EXPECT_EQ(file->lastError(), kAudioFileUnsupported);
  (void)file->readFrames(1);
  file->writeData(media::Bytes(7));  // less than a frame: nothing, the status stays
  EXPECT_EQ(file->lastError(), kAudioFileNotPermitted);
  file->writeData(media::Bytes(48000 * 8 + 7));  // one second of silence and a bit
  EXPECT_EQ(file->lastError(), 0);
  EXPECT_EQ(file->totalFrame(), 48000);
  EXPECT_TRUE(file->finish());
  file->writeData(media::Bytes(8));
  EXPECT_EQ(file->lastError(), kAudioFileNotPermitted);
  file.reset();
  EXPECT_EQ(tt::run("ffprobe -v error -of csv=p=0 -show_entries stream=codec_name,sample_rate " + target),
            "aac,48000\n");
  const auto reread = RZExtAudioFile::openFile(target);
  ASSERT_TRUE(reread);
  EXPECT_NEAR(reread->totalFrame(), 48000, 1024);
}

TEST(AudioFileTest, WhatCannotBeOpenedOrCreatedHasAStatusAndALogLine) {
  tt::ScratchDir dir;
  std::ofstream(dir / "text.wav") << "RIFF but not really";
  tt::ffmpeg("-f lavfi -i testsrc=d=1:r=5", dir / "silent.mp4");
  const std::pair<std::string, long> opens[] = {{dir / "missing.wav", kAudioFileNotFound},
                                                {dir.path().string(), kAudioFileNotFound},
                                                {dir / "text.wav", kAudioFileNotAudio},
                                                {dir / "silent.mp4", kAudioFileNotAudio}};
  for (const auto& [path, expected] : opens) {
    log::Capture capture;
    long status = 0;
    EXPECT_FALSE(RZExtAudioFile::openFile(path, &status));
    EXPECT_EQ(status, expected) << path;
    EXPECT_TRUE(capture.contains("ExtAudioFileOpenURL fail " + std::to_string(expected))) << path;
  }
  const AudioStreamDescription aac{44100, kFormatMPEG4AAC, 0, 0, 0, 0, 2, 0, 0};
  AudioStreamDescription nine = aac, odd = aac, alac = aac;
  nine.channelsPerFrame = 9;
  odd.sampleRate = 12345;
  alac.formatID = fourcc("alac");
  const std::tuple<std::string, FourCC, AudioStreamDescription, long> creates[] = {
      {dir / "a.m4a", fourcc("caff"), aac, kAudioFileUnsupported},
      {dir / "a.m4a", kFileTypeM4A, alac, kAudioFileUnsupported},
      {dir / "a.m4a", kFileTypeM4A, nine, kAudioFileUnsupported},
      {dir / "a.m4a", kFileTypeM4A, odd, kAudioFileUnsupported},
      {dir / "no/a.m4a", kFileTypeM4A, aac, kAudioFileCannotCreate},
      {dir.path().string(), kFileTypeM4A, aac, kAudioFileCannotCreate}};
  for (const auto& [path, type, format, expected] : creates) {
    log::Capture capture;
    long status = 0;
    EXPECT_FALSE(RZExtAudioFile::createFile(path, type, format, &status));
    EXPECT_EQ(status, expected) << path;
    EXPECT_TRUE(capture.contains("ExtAudioFileCreateWithURL fail " + std::to_string(expected))) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "a.m4a"));  // refused before anything was made
}

}  // namespace
}  // namespace corvane::audio
