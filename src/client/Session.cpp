#include "client/Session.h"

#include <cerrno>
#include <thread>

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

ServiceProxy::ServiceProxy(const std::string& serviceName, std::chrono::milliseconds startTimeout)
    : serviceName_(serviceName),
      busName_(contract::busName(serviceName)),
      objectPath_(contract::objectPath(serviceName)),
      startTimeout_(startTimeout) {
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
    ipc::Reply reply = connection_->call(request(method, arguments));
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

}  // namespace corvane::client
