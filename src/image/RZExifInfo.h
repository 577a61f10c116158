#pragma once

// The EXIF record that the EXIF extractor service hands out: twenty camera and
// exposure properties, most of them as libexif's display texts.
//
// Each accessor reads or writes its one field indivisibly, so a field may be
// read on one thread while another thread sets it. Nothing locks several
// fields together: a reader may see some fields of an older and some of a
// newer state.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "media/MediaRecord.h"

namespace corvane::image {

class RZExifInfo {
 public:
  using Text = std::optional<std::string>;
  using OptionalDate = std::optional<media::Date>;

  RZExifInfo() = default;
  RZExifInfo(const RZExifInfo& other);
  RZExifInfo& operator=(const RZExifInfo& other);

  Text vendor() const { return get(fields_.vendor); }
  Text model() const { return get(fields_.model); }
  Text orientation() const { return get(fields_.orientation); }
  Text maxAperture() const { return get(fields_.maxAperture); }
  Text focalLength() const { return get(fields_.focalLength); }
  Text shutterSpeed() const { return get(fields_.shutterSpeed); }
  Text F_value() const { return get(fields_.F_value); }
  Text exposureBias() const { return get(fields_.exposureBias); }
  Text exposureProgram() const { return get(fields_.exposureProgram); }
  Text meteringMode() const { return get(fields_.meteringMode); }
  Text iso() const { return get(fields_.iso); }
  Text whiteBalance() const { return get(fields_.whiteBalance); }
  Text flash() const { return get(fields_.flash); }
  Text flashMode() const { return get(fields_.flashMode); }  // from FlashEnergy
  Text colorSpace() const { return get(fields_.colorSpace); }
  Text sceneCaptureType() const { return get(fields_.sceneCaptureType); }
  Text version() const { return get(fields_.version); }
  Text redEyeReduction() const { return get(fields_.redEyeReduction); }
  int32_t versionNumber() const { return get(fields_.versionNumber); }
  OptionalDate date() const { return get(fields_.date); }

  void setVendor(Text value) { put(fields_.vendor, std::move(value)); }
  void setModel(Text value) { put(fields_.model, std::move(value)); }
  void setOrientation(Text value) { put(fields_.orientation, std::move(value)); }
  void setMaxAperture(Text value) { put(fields_.maxAperture, std::move(value)); }
  void setFocalLength(Text value) { put(fields_.focalLength, std::move(value)); }
  void setShutterSpeed(Text value) { put(fields_.shutterSpeed, std::move(value)); }
  void setF_value(Text value) { put(fields_.F_value, std::move(value)); }
  void setExposureBias(Text value) { put(fields_.exposureBias, std::move(value)); }
  void setExposureProgram(Text value) { put(fields_.exposureProgram, std::move(value)); }
  void setMeteringMode(Text value) { put(fields_.meteringMode, std::move(value)); }
  void setIso(Text value) { put(fields_.iso, std::move(value)); }
  void setWhiteBalance(Text value) { put(fields_.whiteBalance, std::move(value)); }
  void setFlash(Text value) { put(fields_.flash, std::move(value)); }
  void setFlashMode(Text value) { put(fields_.flashMode, std::move(value)); }
  void setColorSpace(Text value) { put(fields_.colorSpace, std::move(value)); }
  void setSceneCaptureType(Text value) { put(fields_.sceneCaptureType, std::move(value)); }
  void setVersion(Text value) { put(fields_.version, std::move(value)); }
  void setRedEyeReduction(Text value) { put(fields_.redEyeReduction, std::move(value)); }
  void setVersionNumber(int32_t value) { put(fields_.versionNumber, value); }
  void setDate(OptionalDate value) { put(fields_.date, value); }

  // Copies all twenty fields of other into this record, field by field
  // through other's getters and this record's setters.
  void setValues(const RZExifInfo& other);

  // Field-by-field equality of two consistent snapshots.
  bool operator==(const RZExifInfo& other) const;

 private:
  // Declared order of the record.
  struct Fields {
    Text vendor, model, orientation, maxAperture, focalLength, shutterSpeed, F_value, exposureBias,
        exposureProgram, meteringMode, iso, whiteBalance, flash, flashMode, colorSpace, sceneCaptureType,
        version, redEyeReduction;
    int32_t versionNumber = 0;
    OptionalDate date;
    bool operator==(const Fields&) const = default;
  };

  template <typename T>
  T get(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  template <typename T>
  void put(T& field, T value) {
    std::lock_guard lock(mutex_);
    field = std::move(value);
  }
  Fields snapshot() const {
    std::lock_guard lock(mutex_);
    return fields_;
  }

  mutable std::mutex mutex_;
  Fields fields_;
};

}  // namespace corvane::image
