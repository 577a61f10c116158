// The bus layer on a private bus, without the daemon: a service that calls
// its caller back while the caller waits (in a blocking call or with several
// calls in flight), a clean stop, timeouts and a lost bus.

#include <atomic>
#include <future>
#include <stdexcept>

#include "unit/TestSupport.h"

using namespace corvane;
using namespace corvane::test;
namespace contract = ipc::contract;

namespace {

const char* const kService = "BusLayerTest";

// A service on a connection of its own, answering with table's handlers.
struct Service {
  explicit Service(ipc::MethodTable table) {
    object = connection->exportObject(contract::objectPath(kService), std::move(table));
    EXPECT_TRUE(object && connection->requestName(contract::busName(kService)) == 0 && connection->serve());
  }
  std::unique_ptr<ipc::Connection> connection = ipc::Connection::openSession();
  std::unique_ptr<ipc::ExportedObject> object;
};

template <typename... Args>
ipc::MessageWriter request(ipc::Connection& client, const contract::Method& method, const Args&... args) {
  ipc::MessageWriter message = client.newCall(method, kService);
  (message.add(args), ...);
  return message;
}

bool waitUntil(const std::atomic<bool>& flag) {
  for (int i = 0; i < 5000 && !flag; ++i) std::this_thread::sleep_for(1ms);
  return flag;
}

class BusLayer : public ::testing::Test {
 protected:
  PrivateBus bus;
  std::unique_ptr<ipc::Connection> client = ipc::Connection::openSession();
};

// The export call's shape: the service asks the caller's delegate, on the
// caller's own connection, before it answers.
TEST_F(BusLayer, AServiceCallsTheCallerBackWhileTheCallerWaitsInItsCall) {
  ipc::MethodTable service;
  service.on(contract::kExport, [](ipc::MethodCall& call) {
    ipc::ObjectPath delegate;
    std::string source, target;
    call.args().read(delegate, source, target);
    ipc::MessageWriter progress =
        call.connection().newCall(contract::kProgress, call.sender(), delegate.path);
    ipc::Reply answer = call.connection().call(std::move(progress.add(int32_t{50})));
    bool goOn = false;
    if (!answer.values().read(goOn).ok()) return call.fail(answer.errorName(), answer.errorMessage());
    call.reply().add(int32_t{goOn ? 0 : 1});
  });
  service.on(contract::kIsAlacAudio, [](ipc::MethodCall&) { throw std::runtime_error("out of luck"); });
  Service exporter(std::move(service));

  std::thread::id answeredOn;
  ipc::MethodTable delegate;
  delegate.on(contract::kProgress, [&](ipc::MethodCall& call) {
    int32_t percent = 0;
    call.args().read(percent);
    answeredOn = std::this_thread::get_id();
    call.reply().add(percent == 50);
  });
  auto object = client->exportObject("/progress", std::move(delegate));
  ASSERT_TRUE(object && client->serve());
  const auto exportVia = [&](const char* path) {
    return request(*client, contract::kExport, ipc::ObjectPath{path}, std::string("in.mov"),
                   std::string("out"));
  };

  ipc::Reply reply = client->call(exportVia("/progress"), 5s);
  int32_t status = -1;
  ASSERT_TRUE(reply.values().read(status).ok()) << reply.errorText();
  EXPECT_EQ(status, 0);
  EXPECT_NE(answeredOn, std::this_thread::get_id());  // the client's serving thread answered
  // A handler that throws answers with an error and the service goes on.
  const ipc::Reply thrown = client->call(request(*client, contract::kIsAlacAudio, "x"));
  EXPECT_EQ(thrown.errorText(), std::string(ipc::kFailed) + ": isAlacAudio: out of luck");
  // A delegate that is not there fails the callback, and the call with it.
  EXPECT_EQ(client->call(exportVia("/nobody"), 5s).errorName(), "org.freedesktop.DBus.Error.UnknownObject");

  // Several calls in flight from this one thread, each called back meanwhile.
  std::vector<std::future<int32_t>> statuses;
  std::vector<ipc::SlotPtr> inFlight;
  for (const char* path : {"/progress", "/nobody", "/progress"}) {
    auto status = std::make_shared<std::promise<int32_t>>();
    statuses.push_back(status->get_future());
    inFlight.push_back(client->callAsync(exportVia(path), [status](ipc::Reply reply) {
      int32_t value = -1;
      status->set_value(reply.values().read(value).ok() ? value : -1);
    }));
  }
  for (const int32_t expected : {0, -1, 0}) {
    ASSERT_EQ(statuses.front().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(statuses.front().get(), expected);
    statuses.erase(statuses.begin());
  }
}

// A stop waits for the request in progress, whose answer still goes out; a
// call that outlives its timeout or its bus fails instead of hanging.
TEST_F(BusLayer, StopFinishesTheRequestInProgressAndWaitingCallsAlwaysEnd) {
  std::atomic<bool> started{false}, finished{false}, release{false};
  const auto slow = [&] {
    ipc::MethodTable table;
    table.on(contract::kIsAlacAudio, [&](ipc::MethodCall& call) {
      started = true;
      for (int i = 0; i < 500 && !release; ++i) std::this_thread::sleep_for(10ms);
      finished = true;
      call.reply().add(true);
    });
    return table;
  };
  auto service = std::make_unique<Service>(slow());
  std::promise<void> lost;
  ASSERT_TRUE(client->serve([&](const std::string&) { lost.set_value(); }));

  auto first = std::async(std::launch::async,
                          [&] { return client->call(request(*client, contract::kIsAlacAudio, "a")); });
  ASSERT_TRUE(waitUntil(started));
  std::thread releaser([&] {
    std::this_thread::sleep_for(100ms);
    release = true;
  });
  service->connection->stop();
  EXPECT_TRUE(finished);
  releaser.join();
  EXPECT_TRUE(first.get().ok());

  service.reset();  // gives the name back
  service = std::make_unique<Service>(slow());
  started = finished = release = false;
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(client->call(request(*client, contract::kIsAlacAudio, "b"), 100ms).ok());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);

  auto stranded = std::async(std::launch::async,
                             [&] { return client->call(request(*client, contract::kIsAlacAudio, "c")); });
  ASSERT_TRUE(waitUntil(started));
  bus.stop();
  ASSERT_EQ(stranded.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(stranded.get().ok());
  EXPECT_EQ(lost.get_future().wait_for(5s), std::future_status::ready);  // and the loss is reported
  release = true;
}

}  // namespace
