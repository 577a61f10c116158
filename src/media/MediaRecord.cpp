#include "media/MediaRecord.h"

#include <cmath>

namespace corvane::media {

Date Date::now() {
  using namespace std::chrono;
  return Date{duration_cast<microseconds>(system_clock::now().time_since_epoch()).count()};
}

Date Date::fromSeconds(int64_t seconds, int64_t nanos) { return Date{seconds * 1000000 + nanos / 1000}; }

const MediaValue* MediaRecord::find(const std::string& key) const {
  auto it = values_.find(key);
  return it == values_.end() ? nullptr : &it->second;
}

std::optional<int64_t> integerValue(const MediaValue& value, Overflow textOverflow) {
  if (const auto* i = std::get_if<int32_t>(&value)) return *i;
  if (const auto* u = std::get_if<uint64_t>(&value)) return static_cast<int64_t>(*u & 0xFFFFFFFF);
  if (const auto* b = std::get_if<bool>(&value)) return *b ? 1 : 0;
  if (const auto* d = std::get_if<double>(&value)) {
    if (!std::isfinite(*d) || std::fabs(*d) > 9.0e18) return 0;
    return static_cast<int64_t>(*d);
  }
  if (const auto* s = std::get_if<std::string>(&value)) return leadingInteger(*s, textOverflow);
  return std::nullopt;
}

}  // namespace corvane::media
