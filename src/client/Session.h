#pragma once

// The client side of the service: a registered client application and typed
// proxies for the services.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ipc/NotificationCenter.h"
#include "platform/ipc/RecordCodec.h"

namespace sdbus {
class IProxy;
}

namespace corvane::client {

// A failure to talk to the service (not a file the service found nothing in).
class ServiceError : public std::runtime_error {
 public:
  enum class Kind { Unreachable, Failed };
  ServiceError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Registered with the service while it lives: posts "AppRegister" when made
// (and again whenever the service announces "Launched"), "ShouldExit" when
// destroyed.
class Session {
 public:
  explicit Session(std::string appId);  // throws ServiceError(Unreachable) without a session bus
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& appId() const { return appId_; }

 private:
  std::string appId_;
  std::unique_ptr<ipc::NotificationCenter> center_;
};

// A proxy for one service name. A call waits for the service to appear (the
// daemon may be starting) up to the start timeout, then fails as Unreachable;
// any other D-Bus error fails as Failed.
class ServiceProxy {
 public:
  explicit ServiceProxy(const std::string& serviceName,
                        std::chrono::milliseconds startTimeout = std::chrono::seconds(10));
  ~ServiceProxy();
  ServiceProxy(const ServiceProxy&) = delete;
  ServiceProxy& operator=(const ServiceProxy&) = delete;

 protected:
  // Runs invoke(proxy), retrying while the service name has no owner yet.
  void call(const std::function<void(sdbus::IProxy&)>& invoke);

 private:
  std::string serviceName_;
  std::chrono::milliseconds startTimeout_;
  std::unique_ptr<sdbus::IProxy> proxy_;
};

// build: of any media info builder ("MP3Parser_Halvern", "ImageParser_Halvern", ...).
class MediaInfoBuilderClient : public ServiceProxy {
 public:
  explicit MediaInfoBuilderClient(const std::string& serviceName);
  // The media record, or none when the service could not read the file.
  std::optional<ipc::WireRecord> build(const std::string& path);
};

class ImageInfoBuilderClient : public MediaInfoBuilderClient {
 public:
  ImageInfoBuilderClient();
  // {"data": TIFF bytes, "width", "height": the source's pixel size}, or none.
  std::optional<ipc::WireRecord> makeThumbnail(const std::string& path, double maxWidth, double maxHeight);
  std::vector<uint8_t> rotateImageDataByExif(const std::vector<uint8_t>& picture);
};

class MediaTagClient : public ServiceProxy {
 public:
  MediaTagClient();
  // True when the tag was written. path "" means the record's FilePath.
  bool updateTag(const std::string& path, const ipc::WireRecord& record);
  // {"kMediaTagPodcastEpisodeId": ..., "kMediaTagPodcastChannelUrl": ...}, or none.
  std::optional<ipc::WireRecord> podcastInfo(const std::string& path);
};

class ExifExtractorClient : public ServiceProxy {
 public:
  ExifExtractorClient();
  // The EXIF record, or none when the file holds no readable EXIF block.
  std::optional<ipc::WireRecord> extractExif(const std::string& path);
};

}  // namespace corvane::client
