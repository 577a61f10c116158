#pragma once

// EXIF through libexif: the owner of a parsed block, loading it from an open
// file or from bytes, and reading entries the way every service shows them.
// Loading from a file reads it in small chunks from its descriptor and stops
// as soon as libexif has the block (it sits near the start of a JPEG), so a
// huge picture is never read whole for its EXIF.
//
// Each ExifData belongs to the thread that loaded it. Nothing here fails
// loudly: no readable block is a null pointer, an unusable value is none.

#include <libexif/exif-data.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "media/MediaRecord.h"
#include "platform/file/InputFile.h"

namespace corvane::exif {

struct ExifDataUnref {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};
using ExifDataPtr = std::unique_ptr<ExifData, ExifDataUnref>;

// The EXIF block of the open file (a JPEG, or a bare block starting
// "Exif\0\0"), with libexif's default options; null when there is none or a
// read fails.
ExifDataPtr load(const file::InputFile& file);

// The same for bytes in memory.
ExifDataPtr load(std::span<const uint8_t> bytes);

// The block in bytes with its entries as stored, for copying them on:
// without the default loading's fix-ups, which add every entry the standard
// calls mandatory, with made-up values.
ExifDataPtr loadAsStored(std::span<const uint8_t> bytes);

// The entry's value as libexif renders it for display (at most 1023 bytes);
// none when that text is not valid UTF-8.
std::optional<std::string> valueText(ExifEntry* entry);

// A DateTime text, "yyyy:MM:dd HH:mm:ss", as a time in the local time zone.
// Read strictly: every field two or four digits within its range (a day the
// month has), nothing before or after; none for anything else.
std::optional<media::Date> parseDateTime(std::string_view text);

}  // namespace corvane::exif
