#pragma once

// org.corvane.RZMediaInfoBuilder over any builder with
// std::optional<media::MediaRecord> build(const std::string&).

#include <sdbus-c++/sdbus-c++.h>

#include "host/ServiceObject.h"
#include "platform/ipc/BusNames.h"
#include "platform/ipc/RecordCodec.h"

namespace corvane::host {

template <typename Builder>
void registerBuild(sdbus::IObject& object, Builder& builder) {
  object.registerMethod("build")
      .onInterface(std::string(ipc::kMediaInfoBuilderInterface))
      .withInputParamNames("path")
      .withOutputParamNames("found", "record")
      .implementedAs([&builder](const std::string& path) {
        return shielded("build", [&] {
          auto record = builder.build(path);
          if (!record) return std::tuple(false, ipc::WireRecord{});
          return std::tuple(true, ipc::toWire(*record));
        });
      });
}

template <typename Builder>
class MediaInfoBuilderAdaptor : public ServiceObject {
 protected:
  void registerMethods(sdbus::IObject& object) override { registerBuild(object, service_); }

 private:
  Builder service_;
};

}  // namespace corvane::host
