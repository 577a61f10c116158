#pragma once

// Owners of the bus library's handles, one alias per handle type.
//
// A bus connection and everything that refers to it (messages, slots) share
// reference counts and lists that the library does not guard. Each owner
// therefore carries its connection's lock and releases its handle under it,
// whichever thread drops it; the lock outlives the connection when a handle
// does.

#include <systemd/sd-bus.h>

#include <memory>
#include <mutex>

namespace corvane::ipc {

// Held while any thread works on a connection; recursive because handlers,
// which run under it, may call and send on their own connection.
using BusLock = std::recursive_mutex;

template <typename Handle, Handle* (*Unref)(Handle*)>
struct ReleaseUnderLock {
  std::shared_ptr<BusLock> lock;
  void operator()(Handle* handle) const {
    if (!lock) {
      Unref(handle);
      return;
    }
    std::lock_guard guard(*lock);
    Unref(handle);
  }
};

using BusPtr = std::unique_ptr<sd_bus, ReleaseUnderLock<sd_bus, sd_bus_flush_close_unref>>;
using MessagePtr = std::unique_ptr<sd_bus_message, ReleaseUnderLock<sd_bus_message, sd_bus_message_unref>>;
using SlotPtr = std::unique_ptr<sd_bus_slot, ReleaseUnderLock<sd_bus_slot, sd_bus_slot_unref>>;

// The library's error record, freed on every path.
struct BusError {
  sd_bus_error error{};  // no name, no message: unset
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
};

}  // namespace corvane::ipc
