#include "platform/ipc/Message.h"

#include <cerrno>
#include <cstring>

#include "media/Text.h"

namespace corvane::ipc {

std::string errorText(int error) {
  char buffer[256];
  return strerror_r(-error, buffer, sizeof buffer);  // the GNU form: returns the text
}

std::string limitText(int error) {
  if (error == -E2BIG) return "a record may hold at most " + std::to_string(kMaxRecordEntries) + " entries";
  return "the message would exceed " + std::to_string(kMaxMessageBytes) +
         " bytes, the most a D-Bus message can carry here";
}

MessageWriter MessageWriter::failed(int error) {
  MessageWriter writer;
  writer.error_ = error < 0 ? error : -EINVAL;
  return writer;
}

int MessageWriter::error() const {
  if (error_ != 0) return error_;
  return message_ ? 0 : -ENOMSG;
}

MessageWriter& MessageWriter::check(int result) {
  if (result < 0 && error_ == 0) error_ = result;
  return *this;
}

bool MessageWriter::reserve(size_t bytes) {
  if (!ok()) return false;
  // Length fields, terminators and alignment take less than 16 bytes per item.
  size_ += 16;
  if (bytes > kMaxMessageBytes || size_ + bytes > kMaxMessageBytes) {
    error_ = -EMSGSIZE;
    return false;
  }
  size_ += bytes;
  return true;
}

MessageWriter& MessageWriter::add(bool value) {
  const int flag = value;  // the library's truth value is an int
  return reserve(8) ? check(sd_bus_message_append_basic(get(), 'b', &flag)) : *this;
}

MessageWriter& MessageWriter::add(int32_t value) {
  return reserve(8) ? check(sd_bus_message_append_basic(get(), 'i', &value)) : *this;
}

MessageWriter& MessageWriter::add(uint32_t value) {
  return reserve(8) ? check(sd_bus_message_append_basic(get(), 'u', &value)) : *this;
}

MessageWriter& MessageWriter::add(int64_t value) {
  return reserve(8) ? check(sd_bus_message_append_basic(get(), 'x', &value)) : *this;
}

MessageWriter& MessageWriter::add(uint64_t value) {
  return reserve(8) ? check(sd_bus_message_append_basic(get(), 't', &value)) : *this;
}

MessageWriter& MessageWriter::add(double value) {
  return reserve(8) ? check(sd_bus_message_append_basic(get(), 'd', &value)) : *this;
}

MessageWriter& MessageWriter::addText(const char* text, size_t length) {
  return reserve(length) ? check(sd_bus_message_append_basic(get(), 's', text)) : *this;
}

MessageWriter& MessageWriter::add(const std::string& text) {
  // Text from files may be ill-formed; the bus takes only valid UTF-8.
  if (media::isValidUtf8(text)) return addText(text.c_str(), text.size());
  const std::string valid = media::toValidUtf8(text);
  return addText(valid.c_str(), valid.size());
}

MessageWriter& MessageWriter::add(std::string_view text) {
  const std::string valid = media::toValidUtf8(text);
  return addText(valid.c_str(), valid.size());
}

MessageWriter& MessageWriter::add(const ObjectPath& path) {
  return reserve(path.path.size()) ? check(sd_bus_message_append_basic(get(), 'o', path.path.c_str()))
                                   : *this;
}

MessageWriter& MessageWriter::add(media::ByteSpan bytes) {
  return reserve(bytes.size()) ? check(sd_bus_message_append_array(get(), 'y', bytes.data(), bytes.size()))
                               : *this;
}

MessageWriter& MessageWriter::open(char type, const char* contents) {
  return reserve(std::strlen(contents)) ? check(sd_bus_message_open_container(get(), type, contents)) : *this;
}

MessageWriter& MessageWriter::close() { return ok() ? check(sd_bus_message_close_container(get())) : *this; }

MessageReader& MessageReader::check(int result) {
  if (result <= 0 && error_ == 0) error_ = result < 0 ? result : -ENXIO;
  return *this;
}

template <typename T>
MessageReader& MessageReader::readBasic(char type, T& value) {
  return ok() ? check(sd_bus_message_read_basic(message_, type, &value)) : *this;
}

MessageReader& MessageReader::read(bool& value) {
  int flag = 0;
  if (readBasic('b', flag).ok()) value = flag != 0;
  return *this;
}

MessageReader& MessageReader::read(int32_t& value) { return readBasic('i', value); }
MessageReader& MessageReader::read(uint32_t& value) { return readBasic('u', value); }
MessageReader& MessageReader::read(int64_t& value) { return readBasic('x', value); }
MessageReader& MessageReader::read(uint64_t& value) { return readBasic('t', value); }
MessageReader& MessageReader::read(double& value) { return readBasic('d', value); }

MessageReader& MessageReader::read(std::string& text) {
  const char* chars = nullptr;
  if (readBasic('s', chars).ok()) text = chars;
  return *this;
}

MessageReader& MessageReader::read(ObjectPath& path) {
  const char* chars = nullptr;
  if (readBasic('o', chars).ok()) path.path = chars;
  return *this;
}

MessageReader& MessageReader::read(media::Bytes& bytes) {
  const void* data = nullptr;
  size_t size = 0;
  if (ok() && check(sd_bus_message_read_array(message_, 'y', &data, &size)).ok()) {
    const auto* first = static_cast<const uint8_t*>(data);
    bytes.assign(first, first + size);
  }
  return *this;
}

Reply Reply::failure(std::string name, std::string message) {
  Reply reply;
  reply.errorName_ = name.empty() ? kFailed : std::move(name);
  reply.errorMessage_ = std::move(message);
  return reply;
}

Reply Reply::failure(int error, std::string_view what) {
  if (error == -EMSGSIZE) return failure(kLimitsExceeded, std::string(what) + ": " + limitText(error));
  BusError named;
  sd_bus_error_set_errno(&named.error, error);
  return failure(named.error.name ? named.error.name : kFailed,
                 std::string(what) + ": " + ipc::errorText(error));
}

Reply::Reply(MessagePtr message) : message_(std::move(message)), reader_(message_.get()) {
  if (!message_) {
    errorName_ = kNoReply;
    errorMessage_ = "no answer";
  } else if (const sd_bus_error* error = sd_bus_message_get_error(message_.get())) {
    errorName_ = error->name ? error->name : kFailed;
    errorMessage_ = error->message ? error->message : "";
  }
  if (!ok()) reader_ = MessageReader();
}

}  // namespace corvane::ipc
