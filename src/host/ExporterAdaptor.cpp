#include "host/ExporterAdaptor.h"

#include <exception>
#include <optional>
#include <string>

#include "platform/ipc/Connection.h"

namespace corvane::host {
namespace {

namespace contract = ipc::contract;

// A progress report that did not come back with an answer.
struct DelegateFailed : std::exception {
  std::string name, message;
  DelegateFailed(std::string errorName, std::string errorMessage)
      : name(std::move(errorName)), message(std::move(errorMessage)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

// The caller's delegate object, reached through the connection the request
// came in on. Throws DelegateFailed when a report gets no answer of its type.
class BusDelegate : public exporter::ProgressDelegate {
 public:
  BusDelegate(ipc::MethodCall& call, std::string path) : call_(call), path_(std::move(path)) {}

  bool MP4ExporterProgress(int32_t percent) override {
    ipc::Connection& connection = call_.connection();
    ipc::MessageWriter report = connection.newCall(contract::kProgress, call_.sender(), path_);
    ipc::Reply answer = connection.call(std::move(report.add(percent)));
    bool goOn = false;
    if (!answer.ok()) throw DelegateFailed(answer.errorName(), "progress delegate: " + answer.errorMessage());
    if (!answer.values().read(goOn).ok())
      throw DelegateFailed(ipc::kInvalidArgs, std::string("progress delegate: the answer is not ") +
                                                  contract::signatureOf(contract::kProgress.out));
    return goOn;
  }

 private:
  ipc::MethodCall& call_;
  std::string path_;
};

// Runs operation with the delegate at path ("/" for none) and answers with
// its status, or with the error of the report that failed.
template <typename Operation>
void answerWithStatus(ipc::MethodCall& call, const ipc::ObjectPath& path, Operation operation) {
  std::optional<BusDelegate> delegate;
  if (path.path != contract::kNoDelegate) delegate.emplace(call, path.path);
  try {
    call.reply().add(operation(delegate ? &*delegate : nullptr));
  } catch (const DelegateFailed& failed) {
    call.fail(failed.name, failed.message);
  }
}

}  // namespace

void ExporterAdaptor::addMethods(ipc::MethodTable& table) {
  table.on(contract::kExport, [this](ipc::MethodCall& call) {
    ipc::ObjectPath delegate;
    std::string source, target;
    if (!call.args().read(delegate, source, target).ok()) return;
    answerWithStatus(call, delegate, [&](exporter::ProgressDelegate* progress) {
      return service_.exportWithDelegate(progress, source, target);
    });
  });

  table.on(contract::kIsAlacAudio, [this](ipc::MethodCall& call) {
    std::string path;
    if (!call.args().read(path).ok()) return;
    call.reply().add(service_.isAlacAudio(path));
  });

  table.on(contract::kConvertToAac, [this](ipc::MethodCall& call) {
    ipc::ObjectPath delegate;
    std::string source, target;
    int32_t bitRate = 0;
    if (!call.args().read(delegate, source, target, bitRate).ok()) return;
    answerWithStatus(call, delegate, [&](exporter::ProgressDelegate* progress) {
      return service_.convertToAacWithDelegate(progress, source, target, bitRate);
    });
  });
}

}  // namespace corvane::host
