#pragma once

// JSON text for records as corvanectl prints them.

#include <string>
#include <string_view>

#include "media/MediaRecord.h"

namespace corvane::client {

std::string jsonString(std::string_view text);

// A record as a JSON object: text as strings, numbers and truth values as
// such, dates as local ISO-8601 text, bytes as {"bytes": length}, the null
// marker as null.
std::string jsonObject(const media::MediaRecord& record);

}  // namespace corvane::client
