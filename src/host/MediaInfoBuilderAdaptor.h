#pragma once

// org.corvane.RZMediaInfoBuilder over any builder with
// std::optional<media::MediaRecord> build(const std::string&).

#include <string>

#include "host/ServiceObject.h"

namespace corvane::host {

template <typename Builder>
void addBuild(ipc::MethodTable& table, Builder& builder) {
  table.on(ipc::contract::kBuild, [&builder](ipc::MethodCall& call) {
    std::string path;
    call.args().read(path);
    replyFound(call, builder.build(path));
  });
}

template <typename Builder>
class MediaInfoBuilderAdaptor : public ServiceObject {
 public:
  void addMethods(ipc::MethodTable& table) override { addBuild(table, service_); }

 private:
  Builder service_;
};

}  // namespace corvane::host
