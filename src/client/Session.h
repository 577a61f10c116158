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

#include "media/MediaRecord.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/NotificationCenter.h"

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

// A proxy for one service name, on a connection of its own. A call waits for
// the service to appear (the daemon may be starting) up to the start
// timeout, then fails as Unreachable; any other D-Bus error fails as Failed.
// An asynchronous call leaves that waiting to its caller (notThereYet(),
// notRunning()).
//
// The connection is the caller the service sees: an object the service is
// to call back during a request (a progress delegate) is exported on it, and
// the connection served, before the call. While served, a call waits without
// blocking the connection, so the object answers in the meantime.
class ServiceProxy {
 public:
  using Arguments = std::function<void(ipc::MessageWriter&)>;

  // callTimeout: how long one call may wait for its answer (the bus
  // library's 25 s by default).
  explicit ServiceProxy(const std::string& serviceName,
                        std::chrono::milliseconds startTimeout = std::chrono::seconds(10),
                        std::chrono::microseconds callTimeout = ipc::Connection::kDefaultTimeout);
  ~ServiceProxy();
  ServiceProxy(const ServiceProxy&) = delete;
  ServiceProxy& operator=(const ServiceProxy&) = delete;

  ipc::Connection& connection() { return *connection_; }
  const std::string& serviceName() const { return serviceName_; }
  // A request for method with its arguments, ready for connection().call()
  // or callAsync().
  ipc::MessageWriter request(const ipc::contract::Method& method, const Arguments& arguments);

  // Sends method and returns at once; onAnswer runs on the connection's
  // serving thread (started by the first such call) with the answer, or
  // here and now when the request cannot be sent. Dropping the slot cancels
  // the call. Any thread.
  ipc::SlotPtr callAsync(const ipc::contract::Method& method, const Arguments& arguments,
                         ipc::Connection::ReplyHandler onAnswer);
  // True when a failed answer says the service has not appeared yet.
  static bool notThereYet(const ipc::Reply& reply);
  // The errors a blocking call throws: for an answer that still said
  // notThereYet() when the start timeout ended, for any other failed
  // answer, and for an answer of the wrong types.
  ServiceError notRunning(const ipc::Reply& reply) const;
  ServiceError failure(const ipc::Reply& reply) const;
  ServiceError unexpectedAnswer(const ipc::contract::Method& method) const;

 protected:
  // Calls method and reads its answer into values; retries while the service
  // name has no owner yet.
  template <typename... Values>
  void call(const ipc::contract::Method& method, const Arguments& arguments, Values&... values) {
    ipc::Reply reply = send(method, arguments);
    if (!reply.values().read(values...).ok()) throw unexpectedAnswer(method);
  }
  // A (found, record) answer: the record, or none when found is false.
  std::optional<media::MediaRecord> foundRecord(const ipc::contract::Method& method,
                                                const Arguments& arguments);

 private:
  ipc::Reply send(const ipc::contract::Method& method, const Arguments& arguments);

  std::string serviceName_;
  std::string busName_, objectPath_;
  std::chrono::milliseconds startTimeout_;
  std::chrono::microseconds callTimeout_;
  std::unique_ptr<ipc::Connection> connection_;
};

// build: of any media info builder ("MP3Parser_Halvern", "ImageParser_Halvern", ...).
class MediaInfoBuilderClient : public ServiceProxy {
 public:
  explicit MediaInfoBuilderClient(const std::string& serviceName);
  // The media record, or none when the service could not read the file.
  std::optional<media::MediaRecord> build(const std::string& path);
};

class ImageInfoBuilderClient : public MediaInfoBuilderClient {
 public:
  ImageInfoBuilderClient();
  // {"data": TIFF bytes, "width", "height": the source's pixel size}, or none.
  std::optional<media::MediaRecord> makeThumbnail(const std::string& path, double maxWidth, double maxHeight);
  media::Bytes rotateImageDataByExif(const media::Bytes& picture);
};

class MediaTagClient : public ServiceProxy {
 public:
  MediaTagClient();
  // True when the tag was written. path "" means the record's FilePath.
  bool updateTag(const std::string& path, const media::MediaRecord& record);
  // {"kMediaTagPodcastEpisodeId": ..., "kMediaTagPodcastChannelUrl": ...}, or none.
  std::optional<media::MediaRecord> podcastInfo(const std::string& path);
};

class ExifExtractorClient : public ServiceProxy {
 public:
  ExifExtractorClient();
  // The EXIF record, or none when the file holds no readable EXIF block.
  std::optional<media::MediaRecord> extractExif(const std::string& path);
};

// "MP4Exporter_Halvern". Its calls wait without a time limit: an export may
// take many minutes, and another client's may hold the service's lock that
// long. A service that goes away still ends the wait (the bus answers for
// it).
//
// Progress: a handler given to exportMovie or convertToAac hears each
// percentage on this proxy's serving thread while the calling thread waits,
// and answers true to go on, false to stop. For that the proxy exports a
// delegate object on its connection for the length of the call. Without a
// handler the service reports nothing. A handler that throws fails the
// report, which ends the operation with an error (ServiceError::Failed).
class ExporterClient : public ServiceProxy {
 public:
  using Progress = std::function<bool(int32_t percent)>;

  ExporterClient();
  // The service's status: 0 exported; -128 stopped by the handler; else the
  // failure (see statusText).
  int32_t exportMovie(const std::string& source, const std::string& target, const Progress& progress = {});
  bool isAlacAudio(const std::string& path);
  // The service's status: 0 converted; -1 stopped by the handler; else the
  // failure (see statusText).
  int32_t convertToAac(const std::string& source, const std::string& target, int32_t bitRate,
                       const Progress& progress = {});

  // What a status of the service means, in words.
  static std::string statusText(int32_t status);

 private:
  int32_t withDelegate(const ipc::contract::Method& method, const Progress& progress,
                       const std::function<void(ipc::MessageWriter&)>& rest);
};

}  // namespace corvane::client
