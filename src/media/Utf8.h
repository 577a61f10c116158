#pragma once

#include <string>
#include <string_view>

namespace corvane::media {

// True when text is well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF).
bool isValidUtf8(std::string_view text);

// text with every ill-formed sequence replaced by U+FFFD, so that it can
// travel as a D-Bus string.
std::string toValidUtf8(std::string_view text);

// ISO-8859-1 bytes as UTF-8.
std::string latin1ToUtf8(std::string_view text);

}  // namespace corvane::media
