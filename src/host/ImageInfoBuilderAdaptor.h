#pragma once

#include "host/ServiceObject.h"
#include "image/UnifiedImageInfoBuilder.h"

namespace corvane::host {

// "ImageParser_Halvern": org.corvane.RZMediaInfoBuilder and
// org.corvane.RZImageInfoBuilder over UnifiedImageInfoBuilder.
class ImageInfoBuilderAdaptor : public ServiceObject {
 public:
  // The largest thumbnail box a caller may ask for, per side. A bigger one
  // would make the service allocate gigabytes for one answer.
  static constexpr double kMaxThumbnailSide = 16384;

  void addMethods(ipc::MethodTable& table) override;

 private:
  image::UnifiedImageInfoBuilder service_;
};

}  // namespace corvane::host
