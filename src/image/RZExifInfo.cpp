#include "image/RZExifInfo.h"

namespace corvane::image {

RZExifInfo::RZExifInfo(const RZExifInfo& other) : fields_(other.snapshot()) {}

RZExifInfo& RZExifInfo::operator=(const RZExifInfo& other) {
  if (this != &other) {
    // Take the copy before locking this record, so two records assigned to
    // each other on two threads never hold both locks.
    Fields copy = other.snapshot();
    std::lock_guard lock(mutex_);
    fields_ = std::move(copy);
  }
  return *this;
}

void RZExifInfo::setValues(const RZExifInfo& other) {
  setVendor(other.vendor());
  setModel(other.model());
  setOrientation(other.orientation());
  setMaxAperture(other.maxAperture());
  setFocalLength(other.focalLength());
  setShutterSpeed(other.shutterSpeed());
  setF_value(other.F_value());
  setExposureBias(other.exposureBias());
  setExposureProgram(other.exposureProgram());
  setMeteringMode(other.meteringMode());
  setIso(other.iso());
  setWhiteBalance(other.whiteBalance());
  setFlash(other.flash());
  setFlashMode(other.flashMode());
  setColorSpace(other.colorSpace());
  setSceneCaptureType(other.sceneCaptureType());
  setVersion(other.version());
  setRedEyeReduction(other.redEyeReduction());
  setVersionNumber(other.versionNumber());
  setDate(other.date());
}

bool RZExifInfo::operator==(const RZExifInfo& other) const {
  if (this == &other) return true;
  return snapshot() == other.snapshot();
}

}  // namespace corvane::image
