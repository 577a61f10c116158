#pragma once

#include "host/ServiceObject.h"
#include "tags/MediaTag.h"

namespace corvane::host {

// "MediaTagUpdater_Halvern": org.corvane.RZMediaTagBase over MediaTag.
class MediaTagAdaptor : public ServiceObject {
 public:
  void addMethods(ipc::MethodTable& table) override;

 private:
  tags::MediaTag service_;
};

}  // namespace corvane::host
