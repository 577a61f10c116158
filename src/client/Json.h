#pragma once

// JSON text for records as corvanectl prints them.

#include <string>
#include <string_view>

#include "platform/ipc/RecordCodec.h"

namespace corvane::client {

std::string jsonString(std::string_view text);

// A record as a JSON object: text as strings, numbers and truth values as
// such, dates as local ISO-8601 text, bytes as {"bytes": length}, the null
// marker as null.
std::string jsonObject(const ipc::WireRecord& record);

}  // namespace corvane::client
