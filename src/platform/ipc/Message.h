#pragma once

// Writing and reading the arguments of one bus message, and the answer to a
// call.
//
// A writer or reader belongs to one thread at a time. Both keep their first
// failure: later steps do nothing, and ok() is checked once at the end (a
// writer that failed is never sent; a reader that failed means the message
// did not hold what was asked for). Neither throws.
//
// Byte arrays travel as one block, also inside variants. Records travel as
// a{sv} with one D-Bus type per value kind:
//   text s, whole number i, file size t, floating point d, truth value b,
//   date x (microseconds since 1970-01-01T00:00:00Z), bytes ay,
//   null marker av holding no element.
// Texts are always sent as valid UTF-8. A received value of any other type
// becomes media::Unsupported (carrying its signature); reading never fails on
// it. When a key repeats, its first value counts.

#include <cstdint>
#include <string>
#include <string_view>

#include "media/Bytes.h"
#include "media/MediaRecord.h"
#include "platform/ipc/Handles.h"

namespace corvane::ipc {

// Error names the layer itself answers with.
inline constexpr const char* kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr const char* kNoReply = "org.freedesktop.DBus.Error.NoReply";
// A message too large to send, or a record with too many entries.
inline constexpr const char* kLimitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";
// A handler that failed inside (a library exception, memory exhaustion).
inline constexpr const char* kFailed = "org.corvane.Error.Failed";

// The most a message written here may hold. D-Bus lets no array in a message
// exceed 64 MiB, and the bus daemon disconnects a sender that tries (which
// for a service ends its connection, not just the call), so a writer refuses
// to grow past it: it fails with -EMSGSIZE instead.
inline constexpr size_t kMaxMessageBytes = size_t{64} << 20;
// The most entries a record read from a message may have; a reader meeting
// more fails with -E2BIG without reading them. Records the service makes
// hold a few dozen.
inline constexpr size_t kMaxRecordEntries = 4096;
// What a message over kMaxMessageBytes, or a record over kMaxRecordEntries,
// is told.
std::string limitText(int error);

// The text of a negative errno.
std::string errorText(int error);

// A D-Bus object path ("o"), kept apart from plain text.
struct ObjectPath {
  std::string path;
};

class MessageWriter {
 public:
  MessageWriter() = default;  // writes nothing; not ok()
  explicit MessageWriter(MessagePtr message) : message_(std::move(message)) {}
  static MessageWriter failed(int error);  // a writer whose message could not be made

  MessageWriter& add(bool value);
  MessageWriter& add(int32_t value);
  MessageWriter& add(uint32_t value);
  MessageWriter& add(int64_t value);
  MessageWriter& add(uint64_t value);
  MessageWriter& add(double value);
  MessageWriter& add(const std::string& text);
  MessageWriter& add(std::string_view text);
  MessageWriter& add(const char* text) { return add(std::string_view(text)); }
  MessageWriter& add(const ObjectPath& path);
  MessageWriter& add(media::ByteSpan bytes);  // ay, one block
  MessageWriter& add(const media::Bytes& bytes) { return add(media::ByteSpan(bytes)); }
  MessageWriter& add(const media::MediaRecord& record);  // a{sv}
  // Any other type is a compile error, not a silent conversion.
  template <typename T>
  MessageWriter& add(const T&) = delete;
  template <typename A, typename B, typename... Rest>
  MessageWriter& add(const A& a, const B& b, const Rest&... rest) {
    add(a);
    return add(b, rest...);
  }

  // Raw containers, for shapes the typed adds do not cover: type 'a', 'v',
  // 'e' or 'r' with the signature of what goes inside.
  MessageWriter& open(char type, const char* contents);
  MessageWriter& close();

  bool ok() const { return message_ && error_ == 0; }
  int error() const;  // a negative errno; 0 when ok()
  sd_bus_message* get() const { return message_.get(); }

 private:
  MessageWriter& check(int result);
  // Counts bytes more of the message; false, failing the writer with
  // -EMSGSIZE, when they would take it past kMaxMessageBytes.
  bool reserve(size_t bytes);
  MessageWriter& addText(const char* text, size_t length);
  void addValue(const media::MediaValue& value);

  MessagePtr message_;
  int error_ = 0;
  size_t size_ = 1024;  // an upper bound of the bytes written so far, header included
};

// Reads a message that stays owned elsewhere (by a Reply, or by the library
// while a handler runs) and must outlive the reader.
class MessageReader {
 public:
  MessageReader() = default;  // reads nothing; not ok()
  explicit MessageReader(sd_bus_message* message) : message_(message) {}

  MessageReader& read(bool& value);
  MessageReader& read(int32_t& value);
  MessageReader& read(uint32_t& value);
  MessageReader& read(int64_t& value);
  MessageReader& read(uint64_t& value);
  MessageReader& read(double& value);
  MessageReader& read(std::string& text);
  MessageReader& read(ObjectPath& path);
  MessageReader& read(media::Bytes& bytes);         // ay, one block
  MessageReader& read(media::MediaRecord& record);  // a{sv}
  template <typename T>
  MessageReader& read(T&) = delete;
  template <typename A, typename B, typename... Rest>
  MessageReader& read(A& a, B& b, Rest&... rest) {
    read(a);
    return read(b, rest...);
  }

  bool ok() const { return message_ && error_ == 0; }
  int error() const { return error_; }  // the first failure's negative errno

 private:
  template <typename T>
  MessageReader& readBasic(char type, T& value);
  MessageReader& check(int result);  // 0 (nothing left to read) fails too
  media::MediaValue readValue(const char* signature);

  sd_bus_message* message_ = nullptr;
  int error_ = 0;
};

// The answer to a call: the reply's values, or the error it ended with (an
// error reply from the peer, a timeout, a lost connection, a request that
// could not be written).
class Reply {
 public:
  static Reply failure(std::string name, std::string message);
  static Reply failure(int error, std::string_view what);  // a negative errno
  explicit Reply(MessagePtr message);                      // a method return or an error reply

  bool ok() const { return errorName_.empty(); }
  const std::string& errorName() const { return errorName_; }
  const std::string& errorMessage() const { return errorMessage_; }
  // "name: message", for logs and error texts.
  std::string errorText() const { return errorName_ + ": " + errorMessage_; }
  MessageReader& values() { return reader_; }  // not ok() when the call failed

 private:
  Reply() = default;

  MessagePtr message_;
  MessageReader reader_;
  std::string errorName_;
  std::string errorMessage_;
};

}  // namespace corvane::ipc
