#pragma once

#include "host/ServiceObject.h"
#include "tags/MediaTag.h"

namespace corvane::host {

// "MediaTagUpdater_Halvern": org.corvane.RZMediaTagBase over MediaTag.
class MediaTagAdaptor : public ServiceObject {
 protected:
  void registerMethods(sdbus::IObject& object) override;

 private:
  tags::MediaTag service_;
};

}  // namespace corvane::host
