#include "media/RZMediaTypeReader.h"

#include <array>

#include "media/Log.h"
#include "media/Text.h"

namespace corvane::media {
namespace {

struct TypeRow {
  std::string_view extension;  // lower case
  int32_t code;
  std::string_view name;
};

// Tried in this order; the first equal extension wins.
constexpr std::array<TypeRow, 35> kTypes{{
    {"mov", kMediaTypeMOV, "MOV"},    {"avi", kMediaTypeAVI, "AVI"},    {"mp4", kMediaTypeMP4, "MP4"},
    {"m4v", kMediaTypeM4V, "M4V"},    {"3gp", kMediaType3GP, "3GP"},    {"mpg", kMediaTypeMPG, "MPG"},
    {"mpeg", kMediaTypeMPEG, "MPEG"}, {"svi", kMediaTypeSVI, "SVI"},    {"smf", kMediaTypeSMF, "SMF"},
    {"wmv", kMediaTypeWMV, "WMV"},    {"asf", kMediaTypeASF, "ASF"},    {"mp3", kMediaTypeMP3, "MP3"},
    {"m4a", kMediaTypeM4A, "M4A"},    {"wav", kMediaTypeWAV, "WAV"},    {"aac", kMediaTypeAAC, "AAC"},
    {"amr", kMediaTypeAMR, "AMR"},    {"ogg", kMediaTypeOGG, "OGG"},    {"flac", kMediaTypeFLAC, "FLAC"},
    {"flc", kMediaTypeFLAC, "FLAC"},  {"mid", kMediaTypeMID, "MID"},    {"imy", kMediaTypeIMY, "IMY"},
    {"3ga", kMediaType3GA, "3GA"},    {"wma", kMediaTypeWMA, "WMA"},    {"smp", kMediaTypeSMP, "SMP"},
    {"dcf", kMediaTypeDCF, "DCF"},    {"cda", kMediaTypeCDA, "CDA"},    {"rm", kMediaTypeRM, "RM"},
    {"jpg", kMediaTypeJPG, "JPG"},    {"jpeg", kMediaTypeJPEG, "JPEG"}, {"png", kMediaTypePNG, "PNG"},
    {"gif", kMediaTypeGIF, "GIF"},    {"bmp", kMediaTypeBMP, "BMP"},    {"wbmp", kMediaTypeWBMP, "WBMP"},
    {"tif", kMediaTypeTIF, "TIF"},    {"tiff", kMediaTypeTIFF, "TIFF"},
}};

}  // namespace

std::string_view RZMediaTypeReader::extension(std::string_view path) {
  // A trailing separator does not start an empty last component.
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  const std::string_view component = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = component.rfind('.');
  return dot == std::string_view::npos ? std::string_view{} : component.substr(dot + 1);
}

int32_t RZMediaTypeReader::type(std::string_view path) {
  const std::string ext = asciiLower(extension(path));
  for (const TypeRow& row : kTypes)
    if (row.extension == ext) return row.code;
  // A fixed line number keeps the text of this line stable when the file changes.
  log::located("RZMediaTypeReader", "+[RZMediaTypeReader type:]", 93,
               "Unknown extension: " + log::shown(ext));
  return kMediaTypeUnknown;
}

std::string RZMediaTypeReader::typeName(int32_t code) {
  for (const TypeRow& row : kTypes)
    if (row.code == code) return std::string(row.name);
  return "UNKNOWN";
}

}  // namespace corvane::media
