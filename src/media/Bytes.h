#pragma once

// Bytes as every layer passes them: an owned buffer, and a view of one.

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::media {

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

}  // namespace corvane::media
