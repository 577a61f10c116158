#pragma once

// The flat record every builder returns and the tag writers take: keys are the
// MediaDB column keys, values one of a few kinds.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "media/Bytes.h"
#include "media/Text.h"

namespace corvane::media {

// "Clear this field", as a caller of the tag writers says it.
struct NullMarker {
  bool operator==(const NullMarker&) const = default;
};

// A value of a type no key can use (it came over the wire as something else).
// Kept in the record so that it is not mistaken for an absent entry.
struct Unsupported {
  std::string signature;
  bool operator==(const Unsupported&) const = default;
};

// A point in time, microseconds since 1970-01-01T00:00:00Z.
struct Date {
  int64_t micros = 0;

  static Date now();
  static Date fromSeconds(int64_t seconds, int64_t nanos = 0);
  bool operator==(const Date&) const = default;
};

using MediaValue =
    std::variant<NullMarker, std::string, int32_t, uint64_t, double, bool, Date, Bytes, Unsupported>;

class MediaRecord {
 public:
  using Map = std::map<std::string, MediaValue>;

  void set(const std::string& key, MediaValue value) { values_[key] = std::move(value); }
  // Puts value under key unless key already has one; false then.
  bool add(std::string key, MediaValue value) {
    return values_.try_emplace(std::move(key), std::move(value)).second;
  }
  void erase(const std::string& key) { values_.erase(key); }
  bool contains(const std::string& key) const { return values_.count(key) != 0; }
  const MediaValue* find(const std::string& key) const;

  // The value under key when it is of kind T, else nullptr.
  template <typename T>
  const T* get(const std::string& key) const {
    const MediaValue* v = find(key);
    return v ? std::get_if<T>(v) : nullptr;
  }
  bool isNull(const std::string& key) const { return get<NullMarker>(key) != nullptr; }

  size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  const Map& values() const { return values_; }
  Map::const_iterator begin() const { return values_.begin(); }
  Map::const_iterator end() const { return values_.end(); }

  bool operator==(const MediaRecord&) const = default;

 private:
  Map values_;
};

// The whole number a value holds, the way the record's producers mean it:
// whole numbers as they are (a file size by its low 32 bits), truth values
// as 0/1, floating point truncated (0 when not finite or beyond 9e18), text
// by its leading integer under the caller's overflow rule. none for the
// kinds that carry no number (the null marker, dates, bytes).
std::optional<int64_t> integerValue(const MediaValue& value, Overflow textOverflow);

}  // namespace corvane::media
