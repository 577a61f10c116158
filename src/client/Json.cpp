#include "client/Json.h"

#include <cmath>
#include <ctime>

#include "media/Log.h"
#include "media/Text.h"

namespace corvane::client {
namespace {

std::string isoDate(int64_t micros) {
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  return text;
}

std::string jsonNumber(double v) {
  if (!std::isfinite(v)) return "null";
  return log::format("%.17g", v);
}

std::string jsonValue(const media::MediaValue& value) {
  struct Encode {
    std::string operator()(const media::NullMarker&) const { return "null"; }
    std::string operator()(const std::string& s) const { return jsonString(s); }
    std::string operator()(int32_t n) const { return std::to_string(n); }
    std::string operator()(uint64_t n) const { return std::to_string(n); }
    std::string operator()(double d) const { return jsonNumber(d); }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(const media::Date& d) const { return jsonString(isoDate(d.micros)); }
    std::string operator()(const media::Bytes& b) const {
      return "{\"bytes\": " + std::to_string(b.size()) + "}";
    }
    std::string operator()(const media::Unsupported& u) const {
      return "{\"unsupported\": " + jsonString(u.signature) + "}";
    }
  };
  return std::visit(Encode{}, value);
}

}  // namespace

std::string jsonString(std::string_view raw) {
  const std::string text = media::toValidUtf8(raw);
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20)
          out += log::format("\\u%04x", static_cast<unsigned>(c));
        else
          out += c;
    }
  }
  return out + "\"";
}

std::string jsonObject(const media::MediaRecord& record) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, value] : record) {
    if (!first) out += ", ";
    first = false;
    out += jsonString(key) + ": " + jsonValue(value);
  }
  return out + "}";
}

}  // namespace corvane::client
