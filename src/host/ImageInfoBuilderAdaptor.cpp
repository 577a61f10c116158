#include "host/ImageInfoBuilderAdaptor.h"

#include <cmath>

#include "host/MediaInfoBuilderAdaptor.h"
#include "image/ExifRotation.h"

namespace corvane::host {
namespace {

bool usableSide(double side) {
  return std::isfinite(side) && side <= ImageInfoBuilderAdaptor::kMaxThumbnailSide;
}

}  // namespace

void ImageInfoBuilderAdaptor::addMethods(ipc::MethodTable& table) {
  addBuild(table, service_);

  table.on(ipc::contract::kMakeThumbnail, [this](ipc::MethodCall& call) {
    std::string path;
    double maxWidth = 0, maxHeight = 0;
    call.args().read(path, maxWidth, maxHeight);
    for (const auto& [side, name] : {std::pair{maxWidth, "maxWidth"}, std::pair{maxHeight, "maxHeight"}}) {
      if (!usableSide(side))
        return call.fail(ipc::kInvalidArgs,
                         std::string(name) + " must be a finite number of at most 16384 pixels");
    }
    auto thumbnail =
        service_.makeThumbnail(path, static_cast<float>(maxWidth), static_cast<float>(maxHeight));
    if (!thumbnail) return replyFound(call, std::nullopt);
    media::MediaRecord description;
    description.set("data", std::move(thumbnail->data));
    description.set("width", static_cast<double>(thumbnail->width));
    description.set("height", static_cast<double>(thumbnail->height));
    replyFound(call, description);
  });

  table.on(ipc::contract::kRotateImageDataByExif, [](ipc::MethodCall& call) {
    media::Bytes picture;
    call.args().read(picture);
    call.reply().add(image::rotateImageDataByExif(picture));
  });
}

}  // namespace corvane::host
