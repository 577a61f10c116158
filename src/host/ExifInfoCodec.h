#pragma once

// The EXIF record as it travels: a record keyed by the EXIF record's field
// names, texts as text, versionNumber as a whole number, date as a date. A
// field that holds none is left out. On the wire that is a{sv} with s, i and
// x values, like every record.

#include "image/RZExifInfo.h"
#include "media/MediaRecord.h"

namespace corvane::host {

media::MediaRecord exifRecord(const image::RZExifInfo& info);

// Never fails: unknown keys and entries of a wrong kind are ignored, and the
// field keeps its initial value.
image::RZExifInfo exifInfoFromRecord(const media::MediaRecord& record);

}  // namespace corvane::host
