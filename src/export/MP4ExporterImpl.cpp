#include "export/MP4ExporterImpl.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <optional>

#include "builders/CheckValidate.h"
#include "builders/MP3Parser.h"
#include "builders/MP4Parser.h"
#include "media/MediaDBKeys.h"
#include "media/PathNames.h"
#include "media/RZMediaTypeReader.h"
#include "platform/audio/RZExtAudioFile.h"
#include "platform/file/InputFile.h"
#include "platform/file/TempFile.h"
#include "platform/movie/MovieExport.h"
#include "tags/MediaTag.h"

namespace corvane::exporter {
namespace {

using audio::RZExtAudioFile;

std::mutex gExportLock;

// The export settings: a container header of zeros, then the atoms, each
// with id 1; children are indented under their parent.
// clang-format off
#define ATOM(size, type, children) "\x00\x00" size type "\x00\x00\x00\x01\x00\x00" children "\x00\x00\x00\x00"
constexpr char kMp4ExportSetting[] =
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    ATOM("\x04\x00", "sean", "\x00\x13")
      ATOM("\x01\x86", "vide", "\x00\x0e")
        ATOM("\x00\x22", "sptl", "\x00\x00") "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x03\x00"
        ATOM("\x00\x20", "tprl", "\x00\x00") "\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        ATOM("\x00\x24", "drat", "\x00\x00") "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x03\x00"
        ATOM("\x00\x15", "mpso", "\x00\x00") "\x00"
        ATOM("\x00\x18", "mfra", "\x00\x00") "\x00\x00\x00\x00"
        ATOM("\x00\x18", "psfr", "\x00\x00") "\x00\x00\x00\x00"
        ATOM("\x00\x15", "bfra", "\x00\x00") "\x00"
        ATOM("\x00\x16", "mpes", "\x00\x00") "\x00\x00"
        ATOM("\x00\x28", "hard", "\x00\x00") "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                                              "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        ATOM("\x00\x16", "ends", "\x00\x00") "\x00\x00"
        ATOM("\x00\x16", "cflg", "\x00\x00") "\x00\x44"
        ATOM("\x00\x18", "cmfr", "\x00\x00") "appl"
        ATOM("\x00\x14", "clut", "\x00\x00")
        ATOM("\x00\x1c", "vers", "\x00\x00") "\x00\x03\x00\x1c\x00\x01\x00\x00"
      ATOM("\x00\x5c", "isiz", "\x00\x03")
        ATOM("\x00\x18", "iwdt", "\x00\x00") "\x00\x00\x00\x00"
        ATOM("\x00\x18", "ihgt", "\x00\x00") "\x00\x00\x00\x00"
        ATOM("\x00\x18", "scam", "\x00\x00") "sp2p"
      ATOM("\x00\x8c", "soun", "\x00\x05")
        ATOM("\x00\x18", "ssct", "\x00\x00") "twos"
        ATOM("\x00\x18", "ssrt", "\x00\x00") "\xac\x44\x00\x00"
        ATOM("\x00\x16", "ssss", "\x00\x00") "\x00\x10"
        ATOM("\x00\x16", "sscc", "\x00\x00") "\x00\x01"
        ATOM("\x00\x1c", "vers", "\x00\x00") "\x00\x03\x00\x14\x00\x01\x00\x00"
      ATOM("\x00\x18", "ftyp", "\x00\x00") "mp42"
      ATOM("\x00\x18", "envi", "\x00\x00") "past"
      ATOM("\x00\x18", "enso", "\x00\x00") "past"
      ATOM("\x00\x18", "conf", "\x00\x00") "mpg4"
      ATOM("\x00\x18", "chan", "\x00\x00") "\x00\x00\x00\x01"
      ATOM("\x00\x18", "aqlt", "\x00\x00") "\x00\x00\x00\x60"
      ATOM("\x00\x18", "base", "\x00\x00") "\x00\x00\x00\x00"
      ATOM("\x00\x18", "txen", "\x00\x00") "\x00\x00\x00\x00"
      ATOM("\x00\x16", "rtxt", "\x00\x00") "\x00\x00"
      ATOM("\x00\x18", "hint", "\x00\x00") "\x00\x00\x00\x01"
      ATOM("\x00\x18", "psiz", "\x00\x00") "\x00\x00\x05\xaa"
      ATOM("\x00\x18", "pdur", "\x00\x00") "\x00\x00\x00\x64"
      ATOM("\x00\x18", "rsmk", "\x00\x00") "\x00\x00\x00\x00"
      ATOM("\x00\x18", "bfrm", "\x00\x00") "\x00\x00\x00\x00"
      ATOM("\x00\x18", "prof", "\x00\x00") "\x00\x00\x00\x00"
      ATOM("\x00\x18", "vrai", "\x00\x00") "\x00\x00\x00\x00";
#undef ATOM
// clang-format on
static_assert(sizeof kMp4ExportSetting - 1 == 1036);

bool sameFile(const struct stat& file, const std::string& path) {
  struct stat other {};
  return ::stat(path.c_str(), &other) == 0 && other.st_dev == file.st_dev && other.st_ino == file.st_ino;
}

// The file an operation writes: made beside the target path and moved over
// it only at the end.
class NewTarget {
 public:
  // Ready when the target is nothing or a writable regular file, in a
  // writable folder (read-only as the user means it: see file::writable).
  explicit NewTarget(const std::string& target) : target_(target) {
    struct stat st {};
    if (target.empty()) return;
    if (::stat(target.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode) || !file::mayWrite(target, st)) return;
      existed_ = true;
    } else if (errno != ENOENT) {
      return;
    }
    const std::string folder = file::folderOf(target);
    if (::stat(folder.c_str(), &st) != 0 || !file::mayWrite(folder, st)) return;
    file_.emplace(folder, ".corvane-export-", file::newFileMode());
  }

  bool ready() const { return file_ && file_->valid(); }
  // A file was at the target when the operation began.
  bool existed() const { return existed_; }
  const std::string& path() const { return file_->path(); }
  int fd() const { return file_->fd(); }
  bool moveIntoPlace() { return file_->moveTo(target_); }

  // An empty file at the target, where there is none yet.
  void claim() const {
    (void)file::FileDescriptor(::open(target_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  }

 private:
  std::string target_;
  bool existed_ = false;
  std::optional<file::TempFile> file_;
};

int32_t progressValue(movie::ExportMessage message, double fraction) {
  switch (message) {
    case movie::ExportMessage::Open:
      return 1;
    case movie::ExportMessage::Update:
      return std::clamp(static_cast<int32_t>(std::lround(fraction * 100)), 1, 99);
    case movie::ExportMessage::Close:
      return 100;
  }
  return 0;
}

// A source path that names nothing, as opposed to one that names something
// unreadable or no movie.
bool missing(const std::string& path, int error) {
  return path.empty() || error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP;
}

std::optional<media::MediaRecord> sourceRecord(const std::string& source) {
  switch (media::RZMediaTypeReader::type(source)) {
    case media::kMediaTypeM4A:
      return builders::MP4Parser().build(source);
    case media::kMediaTypeMP3:
      return builders::MP3Parser().build(source);
    default:
      return std::nullopt;
  }
}

// The conversion under the lock: its status; cancelled tells of a stop.
long convertLocked(ProgressDelegate* delegate, const std::string& source, const std::string& target,
                   uint32_t bitRate, bool& cancelled) {
  struct stat sourceStatus {};
  if (::stat(source.c_str(), &sourceStatus) == 0 && sameFile(sourceStatus, target)) {
    return audio::kAudioFileCannotCreate;
  }
  const std::optional<media::MediaRecord> record = sourceRecord(source);
  long status = 0;
  auto in = RZExtAudioFile::openFile(source, &status);
  if (!in) return status;
  NewTarget staged(target);
  if (!staged.ready()) return audio::kAudioFileCannotCreate;
  const audio::AudioStreamDescription client = in->canonicalDataFormat();
  in->setClientDataFormat(client);
  audio::AudioStreamDescription aac;
  aac.sampleRate = in->sampleRate();
  aac.formatID = audio::kFormatMPEG4AAC;
  aac.channelsPerFrame = in->numberChannels();
  auto out = RZExtAudioFile::createFile(staged.path(), audio::kFileTypeM4A, aac, &status);
  if (!out) return status;
  out->setClientDataFormat(client);
  out->setBitRate(bitRate);

  // Stops at the first failed read or write: a failed read gives no audio.
  const int64_t total = in->totalFrame();
  int64_t done = 0;
  int32_t sent = 0;
  for (media::Bytes block = in->readFrames(kConversionBlockFrames); in->lastError() == 0 && !block.empty();
       block = in->readFrames(kConversionBlockFrames)) {
    out->writeData(block);
    if (out->lastError() != 0) break;
    if (delegate == nullptr || total <= 0) continue;
    done += kConversionBlockFrames;
    // Scaled before the division, so that whole percents come out whole.
    const auto percent = static_cast<int32_t>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
    if (percent < 1 || percent > 99 || percent <= sent) continue;
    if (!delegate->MP4ExporterProgress(percent)) {
      cancelled = true;
      break;
    }
    sent = percent;
  }
  // Finished also after a failure: a partial file still plays.
  status = out->lastError();
  out->finish();
  if (status == 0) status = out->lastError();
  if (status == 0) status = in->lastError();
  out.reset();
  in.reset();

  if (status == 0 && record) {
    // The new file is an M4A whatever the source was: its tags go in as MP4 tags.
    media::MediaRecord tags = *record;
    tags.set(media::MediaDBCommonColumnMediaType, media::kMediaTypeM4A);
    (void)tags::MediaTag().updateTag(staged.path(), tags);
  }
  const bool converted = status == 0 && !cancelled;
  if ((converted || !staged.existed()) && !staged.moveIntoPlace() && converted) {
    status = audio::kAudioFileWriteFailed;
  }
  return status;
}

}  // namespace

media::ByteSpan mp4ExportSetting() {
  return {reinterpret_cast<const uint8_t*>(kMp4ExportSetting), sizeof kMp4ExportSetting - 1};
}

int32_t MP4ExporterImpl::exportWithDelegate(ProgressDelegate* delegate, const std::string& source,
                                            const std::string& target) {
  std::lock_guard lock(gExportLock);
  const auto input = file::InputFile::open(source);
  const int sourceError = input ? 0 : errno;
  if (input && sameFile(input->status(), target)) return movie::kExportParameterError;
  NewTarget staged(target);
  if (!staged.ready()) return movie::kExportParameterError;
  if (!staged.existed()) staged.claim();
  if (!input) return missing(source, sourceError) ? movie::kExportParameterError : movie::kExportNoMovie;

  const auto settings = movie::readExportSettings(mp4ExportSetting());
  if (!settings) return movie::kExportSettingsRefused;
  movie::OpenResult opened = movie::Movie::open(*input, media::lastPathComponent(source));
  if (!opened.movie) return opened.error ? movie::kExportDamagedMovie : movie::kExportNoMovie;
  const auto progress = [delegate](movie::ExportMessage message, double fraction) {
    return delegate == nullptr || delegate->MP4ExporterProgress(progressValue(message, fraction));
  };
  const int16_t status = movie::exportMpeg4(*opened.movie, *settings, staged.fd(), progress);
  if (status != movie::kExportOK) return status;
  return staged.moveIntoPlace() ? movie::kExportOK : movie::kExportWriteFailed;
}

bool MP4ExporterImpl::isAlacAudio(const std::string& path) {
  std::lock_guard lock(gExportLock);
  const auto input = file::InputFile::open(path);
  if (!input) return false;
  const movie::OpenResult opened = movie::Movie::open(*input, media::lastPathComponent(path));
  return opened.movie && builders::isAlacAudio(*opened.movie);
}

int32_t MP4ExporterImpl::convertToAacWithDelegate(ProgressDelegate* delegate, const std::string& source,
                                                  const std::string& target, int32_t bitRate) {
  if (bitRate < kMinAacBitRate || bitRate > kMaxAacBitRate) bitRate = kDefaultAacBitRate;
  bool cancelled = false;
  long status = 0;
  {
    std::lock_guard lock(gExportLock);
    status = convertLocked(delegate, source, target, static_cast<uint32_t>(bitRate), cancelled);
  }
  if (cancelled) return kConvertCancelled;
  if (status != 0) return static_cast<int32_t>(status);
  // Told once the lock is released.
  if (delegate != nullptr) (void)delegate->MP4ExporterProgress(100);
  return 0;
}

}  // namespace corvane::exporter
