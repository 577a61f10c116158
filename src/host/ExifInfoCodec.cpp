#include "host/ExifInfoCodec.h"

namespace corvane::host {
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

}  // namespace

media::MediaRecord exifRecord(const RZExifInfo& info) {
  media::MediaRecord record;
  for (const TextField& field : kTextFields) {
    if (RZExifInfo::Text text = (info.*field.get)()) record.set(field.key, std::move(*text));
  }
  record.set(kVersionNumber, info.versionNumber());
  if (const auto date = info.date()) record.set(kDate, *date);
  return record;
}

RZExifInfo exifInfoFromRecord(const media::MediaRecord& record) {
  RZExifInfo info;
  for (const TextField& field : kTextFields) {
    if (const std::string* text = record.get<std::string>(field.key)) (info.*field.set)(*text);
  }
  if (const int32_t* number = record.get<int32_t>(kVersionNumber)) info.setVersionNumber(*number);
  if (const media::Date* date = record.get<media::Date>(kDate)) info.setDate(*date);
  return info;
}

}  // namespace corvane::host
