#pragma once

// Records on the wire: every record travels as a{sv}, one D-Bus type per value
// kind, so a client can tell the kind from the type alone.

#include <sdbus-c++/Types.h>

#include <map>
#include <string>

#include "media/MediaRecord.h"

namespace corvane::ipc {

using WireRecord = std::map<std::string, sdbus::Variant>;

// Text values are sent as valid UTF-8 whatever bytes they hold.
WireRecord toWire(const media::MediaRecord& record);

// Never fails: a value of a type no key uses becomes media::Unsupported.
media::MediaRecord fromWire(const WireRecord& wire);

sdbus::Variant toWire(const media::MediaValue& value);
media::MediaValue fromWire(const sdbus::Variant& value);

}  // namespace corvane::ipc
