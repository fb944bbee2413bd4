#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orv {

// Decodes base64, skipping every byte outside the alphabet ('=' padding, whitespace) and
// stopping at a NUL. A trailing partial group yields what its bits hold. The result ends
// at the first decoded zero byte.
std::string decode_base64(std::string_view text);
// Standard base64 with '=' padding.
std::string encode_base64(std::string_view bytes);

// UTF-8 to the single-byte host code page; unmapped characters become '?'. At most 65,535
// bytes. Invalid UTF-8 gives "".
std::string utf8_to_single_byte(std::string_view text);

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// Value text as read from XML: base64 first, then "uft8single", else unchanged.
std::string decode_value(std::string text, bool base64, bool single_byte);

// Strips line feeds, carriage returns, tabs and blanks at both ends.
std::string trim_blanks(std::string_view text);

// Leading decimal integer as atoi reads it (0 when there is none), clamped to 32 bits.
std::int32_t loose_int(const std::string& text);

}  // namespace orv
