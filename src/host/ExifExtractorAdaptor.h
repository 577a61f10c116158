#pragma once

#include "host/ServiceObject.h"
#include "image/ExifExtractor.h"

namespace corvane::host {

// "ExifExtractor_Halvern": org.corvane.RZExifExtractorBase over ExifExtractor.
class ExifExtractorAdaptor : public ServiceObject {
 public:
  void addMethods(ipc::MethodTable& table) override;

 private:
  image::ExifExtractor service_;
};

}  // namespace corvane::host
