#pragma once

// The EXIF record on the wire: a{sv} keyed by the record's field names. Texts
// travel as "s" (always valid UTF-8), versionNumber as "i", date as "x"
// (microseconds since the epoch). A field that holds none is left out.

#include <sdbus-c++/Types.h>

#include <map>
#include <string>

#include "image/RZExifInfo.h"

namespace corvane::ipc {

std::map<std::string, sdbus::Variant> toWire(const image::RZExifInfo& info);

// Never fails: unknown keys and entries of a wrong type are ignored, and the
// field keeps its initial value.
image::RZExifInfo exifInfoFromWire(const std::map<std::string, sdbus::Variant>& wire);

}  // namespace corvane::ipc
