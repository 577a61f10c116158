#include "platform/ipc/RecordCodec.h"

#include "media/Text.h"

namespace corvane::ipc {

using namespace corvane::media;

sdbus::Variant toWire(const MediaValue& value) {
  struct Encode {
    sdbus::Variant operator()(const NullMarker&) const {
      return sdbus::Variant(std::vector<sdbus::Variant>{});
    }
    sdbus::Variant operator()(const std::string& s) const { return sdbus::Variant(toValidUtf8(s)); }
    sdbus::Variant operator()(int32_t v) const { return sdbus::Variant(v); }
    sdbus::Variant operator()(uint64_t v) const { return sdbus::Variant(v); }
    sdbus::Variant operator()(double v) const { return sdbus::Variant(v); }
    sdbus::Variant operator()(bool v) const { return sdbus::Variant(v); }
    sdbus::Variant operator()(const Date& d) const { return sdbus::Variant(static_cast<int64_t>(d.micros)); }
    sdbus::Variant operator()(const Bytes& b) const { return sdbus::Variant(b); }
    // Never produced by the service; sent as an empty string should it ever be.
    sdbus::Variant operator()(const Unsupported&) const { return sdbus::Variant(std::string()); }
  };
  return std::visit(Encode{}, value);
}

MediaValue fromWire(const sdbus::Variant& value) {
  const std::string type = value.peekValueType();
  try {
    if (type == "s") return value.get<std::string>();
    if (type == "i") return value.get<int32_t>();
    if (type == "t") return value.get<uint64_t>();
    if (type == "d") return value.get<double>();
    if (type == "b") return value.get<bool>();
    if (type == "x") return Date{value.get<int64_t>()};
    if (type == "ay") return value.get<std::vector<uint8_t>>();
    if (type == "av" && value.get<std::vector<sdbus::Variant>>().empty()) return NullMarker{};
  } catch (const sdbus::Error&) {
    // Falls through: a value that cannot be read is of no usable kind.
  }
  return Unsupported{type};
}

WireRecord toWire(const MediaRecord& record) {
  WireRecord wire;
  for (const auto& [key, value] : record) wire.emplace(toValidUtf8(key), toWire(value));
  return wire;
}

MediaRecord fromWire(const WireRecord& wire) {
  MediaRecord record;
  for (const auto& [key, value] : wire) record.set(key, fromWire(value));
  return record;
}

}  // namespace corvane::ipc
