#include "host/ExifExtractorAdaptor.h"

#include "host/ExifInfoCodec.h"

namespace corvane::host {

void ExifExtractorAdaptor::addMethods(ipc::MethodTable& table) {
  table.on(ipc::contract::kExtractExif, [this](ipc::MethodCall& call) {
    std::string path;
    call.args().read(path);
    const auto info = service_.extractExif(path);
    replyFound(call, info ? std::optional(exifRecord(*info)) : std::nullopt);
  });
}

}  // namespace corvane::host
