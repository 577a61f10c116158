#include "client/Session.h"

#include <atomic>
#include <cerrno>
#include <thread>

#include "export/MP4ExporterImpl.h"
#include "platform/audio/AudioFileStatus.h"
#include "platform/movie/ExportStatus.h"

namespace corvane::client {
namespace {

namespace contract = ipc::contract;

}  // namespace

Session::Session(std::string appId)
    : appId_(std::move(appId)), center_(std::make_unique<ipc::NotificationCenter>()) {
  if (!center_->connected())
    throw ServiceError(ServiceError::Kind::Unreachable, "cannot reach the session bus: " + center_->error());
  center_->addObserver(contract::kLaunched.member, [this](const ipc::Notification&) {
    center_->post(contract::kAppRegister.member, appId_);
  });
  center_->post(contract::kAppRegister.member, appId_);
  center_->start();
}

Session::~Session() {
  center_->stop();
  // Without a bus there is nobody left to tell.
  center_->post(contract::kShouldExit.member, appId_);
}

ServiceProxy::ServiceProxy(const std::string& serviceName, std::chrono::milliseconds startTimeout,
                           std::chrono::microseconds callTimeout)
    : serviceName_(serviceName),
      busName_(contract::busName(serviceName)),
      objectPath_(contract::objectPath(serviceName)),
      startTimeout_(startTimeout),
      callTimeout_(callTimeout) {
  std::string error;
  connection_ = ipc::Connection::openSession(&error);
  if (!connection_)
    throw ServiceError(ServiceError::Kind::Unreachable, "cannot reach the session bus: " + error);
}

ServiceProxy::~ServiceProxy() = default;

ipc::MessageWriter ServiceProxy::request(const contract::Method& method, const Arguments& arguments) {
  ipc::MessageWriter message = connection_->newCall(method, busName_, objectPath_);
  arguments(message);
  return message;
}

ipc::SlotPtr ServiceProxy::callAsync(const contract::Method& method, const Arguments& arguments,
                                     ipc::Connection::ReplyHandler onAnswer) {
  if (!connection_->serving() && !connection_->serve()) {
    onAnswer(ipc::Reply::failure(-EAGAIN, "no thread could be started for the answers"));
    return {};
  }
  return connection_->callAsync(request(method, arguments), std::move(onAnswer));
}

ipc::Reply ServiceProxy::send(const contract::Method& method, const Arguments& arguments) {
  const auto deadline = std::chrono::steady_clock::now() + startTimeout_;
  for (;;) {
    ipc::Reply reply = connection_->call(request(method, arguments), callTimeout_);
    if (reply.ok()) return reply;
    if (!notThereYet(reply)) throw failure(reply);
    if (std::chrono::steady_clock::now() >= deadline) throw notRunning(reply);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool ServiceProxy::notThereYet(const ipc::Reply& reply) {
  const std::string& name = reply.errorName();
  return name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
         // A daemon that holds the name but has not yet exported its object.
         name == "org.freedesktop.DBus.Error.UnknownObject";
}

ServiceError ServiceProxy::notRunning(const ipc::Reply& reply) const {
  return ServiceError(ServiceError::Kind::Unreachable,
                      "the service " + busName_ + " is not running: " + reply.errorMessage());
}

ServiceError ServiceProxy::failure(const ipc::Reply& reply) const {
  return ServiceError(ServiceError::Kind::Failed, serviceName_ + ": " + reply.errorText());
}

ServiceError ServiceProxy::unexpectedAnswer(const contract::Method& method) const {
  return ServiceError(ServiceError::Kind::Failed, serviceName_ + ": the answer to " + method.member +
                                                      " is not " + contract::signatureOf(method.out));
}

std::optional<media::MediaRecord> ServiceProxy::foundRecord(const contract::Method& method,
                                                            const Arguments& arguments) {
  bool found = false;
  media::MediaRecord record;
  call(method, arguments, found, record);
  if (!found) return std::nullopt;
  return record;
}

MediaInfoBuilderClient::MediaInfoBuilderClient(const std::string& serviceName) : ServiceProxy(serviceName) {}

std::optional<media::MediaRecord> MediaInfoBuilderClient::build(const std::string& path) {
  return foundRecord(contract::kBuild, [&](ipc::MessageWriter& args) { args.add(path); });
}

ImageInfoBuilderClient::ImageInfoBuilderClient() : MediaInfoBuilderClient(contract::kImageParserService) {}

std::optional<media::MediaRecord> ImageInfoBuilderClient::makeThumbnail(const std::string& path,
                                                                        double maxWidth, double maxHeight) {
  return foundRecord(contract::kMakeThumbnail,
                     [&](ipc::MessageWriter& args) { args.add(path, maxWidth, maxHeight); });
}

media::Bytes ImageInfoBuilderClient::rotateImageDataByExif(const media::Bytes& picture) {
  const auto arguments = [&](ipc::MessageWriter& args) { args.add(picture); };
  media::Bytes result;
  call(contract::kRotateImageDataByExif, arguments, result);
  return result;
}

MediaTagClient::MediaTagClient() : ServiceProxy(contract::kMediaTagService) {}

bool MediaTagClient::updateTag(const std::string& path, const media::MediaRecord& record) {
  const auto arguments = [&](ipc::MessageWriter& args) { args.add(path, record); };
  bool written = false;
  call(contract::kUpdateTag, arguments, written);
  return written;
}

std::optional<media::MediaRecord> MediaTagClient::podcastInfo(const std::string& path) {
  return foundRecord(contract::kPodcastInfo, [&](ipc::MessageWriter& args) { args.add(path); });
}

ExifExtractorClient::ExifExtractorClient() : ServiceProxy(contract::kExifExtractorService) {}

std::optional<media::MediaRecord> ExifExtractorClient::extractExif(const std::string& path) {
  return foundRecord(contract::kExtractExif, [&](ipc::MessageWriter& args) { args.add(path); });
}

// Without a limit in practice: a deadline hundreds of millennia away.
ExporterClient::ExporterClient()
    : ServiceProxy(contract::kExporterService, std::chrono::seconds(10), std::chrono::microseconds::max()) {}

int32_t ExporterClient::withDelegate(const contract::Method& method, const Progress& progress,
                                     const std::function<void(ipc::MessageWriter&)>& rest) {
  static std::atomic<unsigned> serial{0};
  std::string path = contract::kNoDelegate;
  std::unique_ptr<ipc::ExportedObject> object;
  if (progress) {
    path = "/org/corvane/client/ProgressDelegate" + std::to_string(++serial);
    ipc::MethodTable table;
    table.on(contract::kProgress, [&progress](ipc::MethodCall& report) {
      int32_t percent = 0;
      if (report.args().read(percent).ok()) report.reply().add(progress(percent));
    });
    int error = 0;
    object = connection().exportObject(path, std::move(table), &error);
    if (!object)
      throw ServiceError(ServiceError::Kind::Failed,
                         "cannot offer a progress delegate: " + ipc::errorText(error));
    // Served, so that the delegate answers while this thread waits.
    if (!connection().serve())
      throw ServiceError(ServiceError::Kind::Failed, "cannot serve the progress delegate");
  }
  int32_t status = 0;
  call(
      method, [&](ipc::MessageWriter& args) { rest(args.add(ipc::ObjectPath{path})); }, status);
  return status;
}

int32_t ExporterClient::exportMovie(const std::string& source, const std::string& target,
                                    const Progress& progress) {
  return withDelegate(contract::kExport, progress,
                      [&](ipc::MessageWriter& args) { args.add(source, target); });
}

bool ExporterClient::isAlacAudio(const std::string& path) {
  bool alac = false;
  call(
      contract::kIsAlacAudio, [&](ipc::MessageWriter& args) { args.add(path); }, alac);
  return alac;
}

int32_t ExporterClient::convertToAac(const std::string& source, const std::string& target, int32_t bitRate,
                                     const Progress& progress) {
  return withDelegate(contract::kConvertToAac, progress,
                      [&](ipc::MessageWriter& args) { args.add(source, target, bitRate); });
}

std::string ExporterClient::statusText(int32_t status) {
  switch (status) {
    case 0:
      return "done";
    case exporter::kConvertCancelled:
    case movie::kExportCancelled:
      return "stopped on request";
    case movie::kExportParameterError:
      return "a path cannot be used (missing source, target folder missing or read-only, a directory at the "
             "target, or the source itself as target)";
    case movie::kExportNoMovie:
      return "the source cannot be read or is not a movie";
    case movie::kExportDamagedMovie:
      return "the movie is damaged";
    case movie::kExportNotPassable:
      return "the movie has no track an MPEG-4 file can hold as it is";
    case movie::kExportSettingsRefused:
      return "the export settings were refused";
    case movie::kExportWriteFailed:
      return "the target could not be written";
    case audio::kAudioFileNotFound:
      return "the source is missing or unreadable";
    case audio::kAudioFileNotAudio:
      return "the source holds no audio";
    case audio::kAudioFileDamaged:
      return "the source is damaged";
    case audio::kAudioFileUnsupported:
      return "the audio's coding, rate or channels are not supported";
    case audio::kAudioFileCannotCreate:
      return "the target cannot be created (folder missing or read-only, a directory in the way, or the "
             "source itself)";
    case audio::kAudioFileWriteFailed:
      return "the target could not be written";
    case audio::kAudioFileNotPermitted:
      return "the audio file refused the operation";
    default:
      return "failed with status " + std::to_string(status);
  }
}

}  // namespace corvane::client
