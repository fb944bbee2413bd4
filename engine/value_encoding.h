#pragma once

#include <string>
#include <string_view>

namespace orv {

// Decodes base64, skipping every byte outside the alphabet ('=' padding, whitespace) and
// stopping at a NUL. A trailing partial group yields what its bits hold. The result ends
// at the first decoded zero byte.
std::string decode_base64(std::string_view text);

// UTF-8 to the single-byte host code page; unmapped characters become '?'. At most 65,535
// bytes. Invalid UTF-8 gives "".
std::string utf8_to_single_byte(std::string_view text);

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

}  // namespace orv
