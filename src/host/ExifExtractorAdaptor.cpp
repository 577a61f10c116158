#include "host/ExifExtractorAdaptor.h"

#include <sdbus-c++/sdbus-c++.h>

#include "platform/ipc/BusNames.h"
#include "platform/ipc/ExifInfoCodec.h"
#include "platform/ipc/RecordCodec.h"

namespace corvane::host {

void ExifExtractorAdaptor::registerMethods(sdbus::IObject& object) {
  object.registerMethod("extractExif")
      .onInterface(std::string(ipc::kExifExtractorInterface))
      .withInputParamNames("path")
      .withOutputParamNames("found", "record")
      .implementedAs([this](const std::string& path) {
        return shielded("extractExif", [&] {
          auto info = service_.extractExif(path);
          if (!info) return std::tuple(false, ipc::WireRecord{});
          return std::tuple(true, ipc::toWire(*info));
        });
      });
}

}  // namespace corvane::host
