// The shipped introspection XML and the contract the code is built from
// cannot drift apart: what the running daemon says about its objects (and,
// for the interfaces it does not serve yet, an object exported here from the
// same contract) must read exactly like the XML files.

#include <regex>

#include "unit/TestSupport.h"

using namespace corvane;
using namespace corvane::test;
namespace contract = ipc::contract;

namespace {

// interface -> "method build" / "signal Launched" -> {"in path s", "out found b", ...}
using Interfaces = std::map<std::string, std::map<std::string, std::vector<std::string>>>;

void parseInto(Interfaces& out, const std::string& xml) {
  static const std::regex tag("<(interface|method|signal|arg)\\b([^>]*)>");
  static const std::regex attribute("(\\w+)=\"([^\"]*)\"");
  std::string interface, member;
  for (std::sregex_iterator it(xml.begin(), xml.end(), tag), end; it != end; ++it) {
    const std::string kind = (*it)[1], attributes = (*it)[2];
    std::map<std::string, std::string> a;
    for (std::sregex_iterator at(attributes.begin(), attributes.end(), attribute); at != end; ++at)
      a[(*at)[1]] = (*at)[2];
    if (kind == "interface") {
      interface = a["name"];
    } else if (kind != "arg") {
      member = kind + " " + a["name"];
      out[interface][member];
    } else {
      const bool isSignal = member.starts_with("signal");
      const std::string direction = isSignal ? "out" : a.count("direction") ? a["direction"] : "in";
      out[interface][member].push_back(direction + " " + a["name"] + " " + a["type"]);
    }
  }
}

std::string introspect(ipc::Connection& connection, const std::string& destination, const std::string& path) {
  ipc::Reply reply = connection.call(
      connection.newCall(destination, path, "org.freedesktop.DBus.Introspectable", "Introspect"));
  std::string xml;
  EXPECT_TRUE(reply.values().read(xml).ok()) << destination << path << ": " << reply.errorText();
  return xml;
}

TEST(Contract, TheDaemonAndTheShippedXmlDescribeTheSameInterfaces) {
  Interfaces shipped;
  for (const auto& file : std::filesystem::directory_iterator(CORVANE_INTERFACES_DIR)) {
    std::ifstream in(file.path());
    std::stringstream text;
    text << in.rdbuf();
    parseInto(shipped, text.str());
  }

  PrivateBus bus;
  DaemonProcess daemon;
  ASSERT_TRUE(bus.waitForOwner(contract::busName(contract::kExifExtractorService), true)) << daemon.log();
  auto connection = ipc::Connection::openSession();
  ASSERT_TRUE(connection && connection->serve());
  Interfaces seen;
  for (const contract::Service& service : contract::kServices) {
    if (!bus.hasOwner(contract::busName(service.name))) continue;  // not in this build yet
    Interfaces found;
    parseInto(found,
              introspect(*connection, contract::busName(service.name), contract::objectPath(service.name)));
    for (const char* name : service.interfaces) {
      ASSERT_TRUE(found.count(name)) << service.name << " does not export " << name;
      seen[name] = found[name];
    }
  }
  ipc::MethodTable rest;
  for (const contract::Method* method : contract::kMethods) {
    if (!seen.count(method->interface)) rest.on(*method, [](ipc::MethodCall&) {});
  }
  auto object = connection->exportObject("/contract", std::move(rest));
  ASSERT_TRUE(object);
  Interfaces here;
  parseInto(here, introspect(*connection, connection->uniqueName(), "/contract"));
  for (const auto& [name, members] : here) {
    if (name.starts_with("org.corvane.")) seen[name] = members;
  }
  for (const contract::Signal* signal : contract::kSignals) {
    auto& args = seen[signal->interface][std::string("signal ") + signal->member];
    for (const contract::Arg& arg : signal->args)
      args.push_back(std::string("out ") + arg.name + " " + arg.type);
  }
  EXPECT_EQ(seen, shipped);
}

}  // namespace
