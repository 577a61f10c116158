#include "client/Session.h"

#include <sdbus-c++/sdbus-c++.h>

#include <thread>

#include "platform/ipc/BusNames.h"

namespace corvane::client {
namespace {

bool nameNotThereYet(const sdbus::Error& e) {
  return e.getName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         e.getName() == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
         // An activated daemon that was asked for a name it had not yet taken.
         e.getName() == "org.freedesktop.DBus.Error.UnknownObject";
}

}  // namespace

Session::Session(std::string appId) : appId_(std::move(appId)) {
  try {
    center_ = std::make_unique<ipc::NotificationCenter>();
    center_->addObserver(std::string(ipc::kNotificationLaunched), [this](const ipc::Notification&) {
      center_->post(std::string(ipc::kNotificationAppRegister), appId_);
    });
    center_->post(std::string(ipc::kNotificationAppRegister), appId_);
    center_->start();
  } catch (const sdbus::Error& e) {
    throw ServiceError(ServiceError::Kind::Unreachable, "cannot reach the session bus: " + e.getMessage());
  }
}

Session::~Session() {
  center_->stop();
  try {
    center_->post(std::string(ipc::kNotificationShouldExit), appId_);
  } catch (const sdbus::Error&) {
    // The bus went away; there is nobody left to tell.
  }
}

ServiceProxy::ServiceProxy(const std::string& serviceName, std::chrono::milliseconds startTimeout)
    : serviceName_(serviceName), startTimeout_(startTimeout) {
  try {
    // The session bus, whoever runs the client (root included).
    proxy_ = sdbus::createProxy(sdbus::createSessionBusConnection(), ipc::busName(serviceName),
                                ipc::objectPath(serviceName));
  } catch (const sdbus::Error& e) {
    throw ServiceError(ServiceError::Kind::Unreachable, "cannot reach the session bus: " + e.getMessage());
  }
}

ServiceProxy::~ServiceProxy() = default;

void ServiceProxy::call(const std::function<void(sdbus::IProxy&)>& invoke) {
  const auto deadline = std::chrono::steady_clock::now() + startTimeout_;
  for (;;) {
    try {
      invoke(*proxy_);
      return;
    } catch (const sdbus::Error& e) {
      if (!nameNotThereYet(e))
        throw ServiceError(ServiceError::Kind::Failed,
                           serviceName_ + ": " + e.getName() + ": " + e.getMessage());
      if (std::chrono::steady_clock::now() >= deadline)
        throw ServiceError(ServiceError::Kind::Unreachable, "the service " + ipc::busName(serviceName_) +
                                                                " is not running: " + e.getMessage());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

MediaInfoBuilderClient::MediaInfoBuilderClient(const std::string& serviceName) : ServiceProxy(serviceName) {}

std::optional<ipc::WireRecord> MediaInfoBuilderClient::build(const std::string& path) {
  bool found = false;
  ipc::WireRecord record;
  call([&](sdbus::IProxy& proxy) {
    proxy.callMethod("build")
        .onInterface(std::string(ipc::kMediaInfoBuilderInterface))
        .withArguments(path)
        .storeResultsTo(found, record);
  });
  if (!found) return std::nullopt;
  return record;
}

ImageInfoBuilderClient::ImageInfoBuilderClient() : MediaInfoBuilderClient("ImageParser_Halvern") {}

std::optional<ipc::WireRecord> ImageInfoBuilderClient::makeThumbnail(const std::string& path, double maxWidth,
                                                                     double maxHeight) {
  bool found = false;
  ipc::WireRecord description;
  call([&](sdbus::IProxy& proxy) {
    proxy.callMethod("makeThumbnailWithMaxSize")
        .onInterface(std::string(ipc::kImageInfoBuilderInterface))
        .withArguments(path, maxWidth, maxHeight)
        .storeResultsTo(found, description);
  });
  if (!found) return std::nullopt;
  return description;
}

std::vector<uint8_t> ImageInfoBuilderClient::rotateImageDataByExif(const std::vector<uint8_t>& picture) {
  std::vector<uint8_t> result;
  call([&](sdbus::IProxy& proxy) {
    proxy.callMethod("rotateImageDataByExif")
        .onInterface(std::string(ipc::kImageInfoBuilderInterface))
        .withArguments(picture)
        .storeResultsTo(result);
  });
  return result;
}

MediaTagClient::MediaTagClient() : ServiceProxy("MediaTagUpdater_Halvern") {}

bool MediaTagClient::updateTag(const std::string& path, const ipc::WireRecord& record) {
  bool written = false;
  call([&](sdbus::IProxy& proxy) {
    proxy.callMethod("updateTagWithDictionary")
        .onInterface(std::string(ipc::kMediaTagInterface))
        .withArguments(path, record)
        .storeResultsTo(written);
  });
  return written;
}

std::optional<ipc::WireRecord> MediaTagClient::podcastInfo(const std::string& path) {
  bool found = false;
  ipc::WireRecord info;
  call([&](sdbus::IProxy& proxy) {
    proxy.callMethod("podcastInfo")
        .onInterface(std::string(ipc::kMediaTagInterface))
        .withArguments(path)
        .storeResultsTo(found, info);
  });
  if (!found) return std::nullopt;
  return info;
}

ExifExtractorClient::ExifExtractorClient() : ServiceProxy("ExifExtractor_Halvern") {}

std::optional<ipc::WireRecord> ExifExtractorClient::extractExif(const std::string& path) {
  bool found = false;
  ipc::WireRecord record;
  call([&](sdbus::IProxy& proxy) {
    proxy.callMethod("extractExif")
        .onInterface(std::string(ipc::kExifExtractorInterface))
        .withArguments(path)
        .storeResultsTo(found, record);
  });
  if (!found) return std::nullopt;
  return record;
}

}  // namespace corvane::client
