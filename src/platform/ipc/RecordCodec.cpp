// Records as a{sv}, straight from and into media::MediaRecord.

#include <cerrno>
#include <string_view>

#include "platform/ipc/Message.h"

namespace corvane::ipc {

void MessageWriter::addValue(const media::MediaValue& value) {
  struct Encode {
    MessageWriter& out;
    void operator()(const media::NullMarker&) const { out.open('v', "av").open('a', "v").close().close(); }
    void operator()(const std::string& text) const { out.open('v', "s").add(text).close(); }
    void operator()(int32_t number) const { out.open('v', "i").add(number).close(); }
    void operator()(uint64_t size) const { out.open('v', "t").add(size).close(); }
    void operator()(double number) const { out.open('v', "d").add(number).close(); }
    void operator()(bool flag) const { out.open('v', "b").add(flag).close(); }
    void operator()(const media::Date& date) const { out.open('v', "x").add(int64_t{date.micros}).close(); }
    void operator()(const media::Bytes& bytes) const { out.open('v', "ay").add(bytes).close(); }
    // Never produced by the service; sent as an empty text should it ever be.
    void operator()(const media::Unsupported&) const { out.open('v', "s").add("").close(); }
  };
  std::visit(Encode{*this}, value);
}

MessageWriter& MessageWriter::add(const media::MediaRecord& record) {
  open('a', "{sv}");
  for (const auto& [key, value] : record) {
    open('e', "sv").add(key);
    addValue(value);
    close();
  }
  return close();
}

media::MediaValue MessageReader::readValue(const char* signature) {
  // A basic type is one letter; "ay" and "av" are the containers a record holds.
  switch (signature[0] != '\0' && signature[1] == '\0' ? signature[0] : '\0') {
    case 's': {
      std::string text;
      read(text);
      return text;
    }
    case 'i': {
      int32_t number = 0;
      read(number);
      return number;
    }
    case 't': {
      uint64_t size = 0;
      read(size);
      return size;
    }
    case 'd': {
      double number = 0;
      read(number);
      return number;
    }
    case 'b': {
      bool flag = false;
      read(flag);
      return flag;
    }
    case 'x': {
      int64_t micros = 0;
      read(micros);
      return media::Date{micros};
    }
    default:
      break;
  }
  const std::string_view type(signature);
  if (type == "ay") {
    media::Bytes bytes;
    read(bytes);
    return bytes;
  }
  if (type == "av") {
    // Only an empty one is the null marker.
    check(sd_bus_message_enter_container(message_, 'a', "v"));
    const bool empty = ok() && sd_bus_message_at_end(message_, 0) > 0;
    if (ok() && !empty) check(sd_bus_message_skip(message_, nullptr));
    if (ok()) check(sd_bus_message_exit_container(message_));
    if (empty) return media::NullMarker{};
  } else {
    check(sd_bus_message_skip(message_, signature));
  }
  return media::Unsupported{std::string(type)};
}

MessageReader& MessageReader::read(media::MediaRecord& record) {
  if (!ok() || !check(sd_bus_message_enter_container(message_, 'a', "{sv}")).ok()) return *this;
  media::MediaRecord values;
  for (size_t entries = 0;; ++entries) {
    const int entry = sd_bus_message_enter_container(message_, 'e', "sv");
    if (entry == 0) break;  // no more entries
    if (entries == kMaxRecordEntries) return check(-E2BIG);
    std::string key;
    char type = 0;
    const char* contents = nullptr;
    if (!check(entry).read(key).ok() || !check(sd_bus_message_peek_type(message_, &type, &contents)).ok() ||
        !check(sd_bus_message_enter_container(message_, 'v', contents)).ok())
      return *this;
    media::MediaValue value = readValue(contents);
    if (ok()) check(sd_bus_message_exit_container(message_));  // the variant
    if (ok()) check(sd_bus_message_exit_container(message_));  // the entry
    if (!ok()) return *this;
    values.add(std::move(key), std::move(value));  // a repeated key keeps its first value
  }
  if (check(sd_bus_message_exit_container(message_)).ok()) record = std::move(values);
  return *this;
}

}  // namespace corvane::ipc
