#pragma once

// Text as the service meets it in files: UTF-8 that may be ill-formed,
// UTF-16 in either byte order, 8-bit text in code page 949 or ISO-8859-1,
// and numbers written as text. Every text that leaves the service is valid
// UTF-8; these are the one place that makes it so.
//
// Pure functions of their arguments: any thread, any time.

#include <cstdint>
#include <optional>
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

// Code page 949 bytes as UTF-8, strictly: none on any invalid or cut sequence.
std::optional<std::string> cp949ToUtf8(std::string_view bytes);

// 8-bit text of unknown code page, as tags from Korean and Western tools
// hold it: up to the first zero byte, read as code page 949 when that reads
// it whole to something non-empty, else as ISO-8859-1.
std::string legacy8BitToUtf8(std::string_view bytes);

// text with ASCII letters folded to lower / upper case; every other byte
// stays (folding more could split a UTF-8 sequence).
std::string asciiLower(std::string_view text);
std::string asciiUpper(std::string_view text);

enum class ByteOrder { LittleEndian, BigEndian };

// What a UTF-16 decoder does with an unpaired surrogate.
enum class BadSurrogate {
  Replace,  // it becomes U+FFFD
  Reject,   // the whole text is none
};

// UTF-16 bytes as UTF-8. A leading byte-order mark names the order (and is
// dropped); without one, order is taken. Decoding stops at the first zero
// unit; an odd last byte is ignored.
std::optional<std::string> utf16ToUtf8(std::string_view bytes, ByteOrder order, BadSurrogate bad);

// UTF-8 as UTF-16 code units; ill-formed sequences become U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);

// Appends code point c as UTF-8 (c must be a scalar value).
void appendUtf8(std::string& out, char32_t c);

// What a leading-integer reader does with digits past the 32-bit range.
enum class Overflow {
  Saturate,  // the value sticks at INT32_MAX / INT32_MIN, as strtol-style readers do
  Wrap,      // the magnitude keeps its low 32 bits, as a 32-bit accumulator does
};

// The leading decimal integer of text: optional blanks (space, \t \n \v \f
// \r) and a sign, then digits up to the first other character; 0 when there
// are no digits. With Saturate the result lies in the int32 range; with Wrap
// it is the sign applied to the magnitude modulo 2^32.
int64_t leadingInteger(std::string_view text, Overflow overflow);

}  // namespace corvane::media
