#include "platform/ipc/ExifInfoCodec.h"

#include "media/Text.h"

namespace corvane::ipc {
namespace {

using image::RZExifInfo;
using Getter = RZExifInfo::Text (RZExifInfo::*)() const;
using Setter = void (RZExifInfo::*)(RZExifInfo::Text);

struct TextField {
  const char* key;
  Getter get;
  Setter set;
};

constexpr TextField kTextFields[] = {
    {"vendor", &RZExifInfo::vendor, &RZExifInfo::setVendor},
    {"model", &RZExifInfo::model, &RZExifInfo::setModel},
    {"orientation", &RZExifInfo::orientation, &RZExifInfo::setOrientation},
    {"maxAperture", &RZExifInfo::maxAperture, &RZExifInfo::setMaxAperture},
    {"focalLength", &RZExifInfo::focalLength, &RZExifInfo::setFocalLength},
    {"shutterSpeed", &RZExifInfo::shutterSpeed, &RZExifInfo::setShutterSpeed},
    {"F_value", &RZExifInfo::F_value, &RZExifInfo::setF_value},
    {"exposureBias", &RZExifInfo::exposureBias, &RZExifInfo::setExposureBias},
    {"exposureProgram", &RZExifInfo::exposureProgram, &RZExifInfo::setExposureProgram},
    {"meteringMode", &RZExifInfo::meteringMode, &RZExifInfo::setMeteringMode},
    {"iso", &RZExifInfo::iso, &RZExifInfo::setIso},
    {"whiteBalance", &RZExifInfo::whiteBalance, &RZExifInfo::setWhiteBalance},
    {"flash", &RZExifInfo::flash, &RZExifInfo::setFlash},
    {"flashMode", &RZExifInfo::flashMode, &RZExifInfo::setFlashMode},
    {"colorSpace", &RZExifInfo::colorSpace, &RZExifInfo::setColorSpace},
    {"sceneCaptureType", &RZExifInfo::sceneCaptureType, &RZExifInfo::setSceneCaptureType},
    {"version", &RZExifInfo::version, &RZExifInfo::setVersion},
    {"redEyeReduction", &RZExifInfo::redEyeReduction, &RZExifInfo::setRedEyeReduction},
};

constexpr const char* kVersionNumber = "versionNumber";
constexpr const char* kDate = "date";

// The entry under key when it holds signature, else nullptr.
const sdbus::Variant* entryOfType(const std::map<std::string, sdbus::Variant>& wire, const std::string& key,
                                  const char* signature) {
  const auto it = wire.find(key);
  if (it == wire.end() || it->second.isEmpty() || it->second.peekValueType() != signature) return nullptr;
  return &it->second;
}

}  // namespace

std::map<std::string, sdbus::Variant> toWire(const RZExifInfo& info) {
  std::map<std::string, sdbus::Variant> wire;
  for (const TextField& field : kTextFields) {
    if (const RZExifInfo::Text text = (info.*field.get)()) {
      wire.emplace(field.key, sdbus::Variant(media::toValidUtf8(*text)));
    }
  }
  wire.emplace(kVersionNumber, sdbus::Variant(info.versionNumber()));
  if (const auto date = info.date()) wire.emplace(kDate, sdbus::Variant(int64_t{date->micros}));
  return wire;
}

RZExifInfo exifInfoFromWire(const std::map<std::string, sdbus::Variant>& wire) {
  RZExifInfo info;
  for (const TextField& field : kTextFields) {
    if (const sdbus::Variant* value = entryOfType(wire, field.key, "s")) {
      (info.*field.set)(value->get<std::string>());
    }
  }
  if (const sdbus::Variant* value = entryOfType(wire, kVersionNumber, "i")) {
    info.setVersionNumber(value->get<int32_t>());
  }
  if (const sdbus::Variant* value = entryOfType(wire, kDate, "x")) {
    info.setDate(media::Date{value->get<int64_t>()});
  }
  return info;
}

}  // namespace corvane::ipc
