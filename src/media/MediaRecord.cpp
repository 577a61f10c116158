#include "media/MediaRecord.h"

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

}  // namespace corvane::media
