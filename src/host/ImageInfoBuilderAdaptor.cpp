#include "host/ImageInfoBuilderAdaptor.h"

#include <sdbus-c++/sdbus-c++.h>

#include <cmath>

#include "host/MediaInfoBuilderAdaptor.h"
#include "image/ExifRotation.h"
#include "platform/ipc/BusNames.h"
#include "platform/ipc/RecordCodec.h"

namespace corvane::host {
namespace {

float boxSide(double side, const char* name) {
  if (!std::isfinite(side) || side > ImageInfoBuilderAdaptor::kMaxThumbnailSide)
    throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs",
                       std::string(name) + " must be a finite number of at most 16384 pixels");
  return static_cast<float>(side);
}

}  // namespace

void ImageInfoBuilderAdaptor::registerMethods(sdbus::IObject& object) {
  registerBuild(object, service_);

  object.registerMethod("makeThumbnailWithMaxSize")
      .onInterface(std::string(ipc::kImageInfoBuilderInterface))
      .withInputParamNames("path", "maxWidth", "maxHeight")
      .withOutputParamNames("found", "description")
      .implementedAs([this](const std::string& path, double maxWidth, double maxHeight) {
        const float width = boxSide(maxWidth, "maxWidth"), height = boxSide(maxHeight, "maxHeight");
        return shielded("makeThumbnailWithMaxSize", [&] {
          auto thumbnail = service_.makeThumbnail(path, width, height);
          if (!thumbnail) return std::tuple(false, ipc::WireRecord{});
          ipc::WireRecord description;
          description.emplace("data", sdbus::Variant(thumbnail->data));
          description.emplace("width", sdbus::Variant(static_cast<double>(thumbnail->width)));
          description.emplace("height", sdbus::Variant(static_cast<double>(thumbnail->height)));
          return std::tuple(true, description);
        });
      });

  object.registerMethod("rotateImageDataByExif")
      .onInterface(std::string(ipc::kImageInfoBuilderInterface))
      .withInputParamNames("picture")
      .withOutputParamNames("result")
      .implementedAs([](const std::vector<uint8_t>& picture) {
        return shielded("rotateImageDataByExif", [&] { return image::rotateImageDataByExif(picture); });
      });
}

}  // namespace corvane::host
