#include "host/MediaTagAdaptor.h"

#include <sdbus-c++/sdbus-c++.h>

#include "platform/ipc/BusNames.h"
#include "platform/ipc/RecordCodec.h"

namespace corvane::host {

void MediaTagAdaptor::registerMethods(sdbus::IObject& object) {
  object.registerMethod("updateTagWithDictionary")
      .onInterface(std::string(ipc::kMediaTagInterface))
      .withInputParamNames("path", "record")
      .withOutputParamNames("written")
      .implementedAs([this](const std::string& path, const ipc::WireRecord& record) {
        // "" stands for no path: the writer then takes the record's FilePath.
        return shielded("updateTagWithDictionary",
                        [&] { return service_.updateTag(path, ipc::fromWire(record)); });
      });

  object.registerMethod("podcastInfo")
      .onInterface(std::string(ipc::kMediaTagInterface))
      .withInputParamNames("path")
      .withOutputParamNames("found", "info")
      .implementedAs([this](const std::string& path) {
        return shielded("podcastInfo", [&] {
          auto info = service_.podcastInfo(path);
          if (!info) return std::tuple(false, ipc::WireRecord{});
          media::MediaRecord record;
          for (const auto& [key, value] : *info) record.set(key, value);
          return std::tuple(true, ipc::toWire(record));
        });
      });
}

}  // namespace corvane::host
