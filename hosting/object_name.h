#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orv {

// Longest name a ticker's shared objects may have once encoded.
inline constexpr std::size_t max_object_name_size = 250;

// The name under which the system knows a ticker object: "/", "%", NUL and the other control
// bytes become "%" and two upper-case hex digits, so any ticker name maps to one flat name
// that a path or a socket address can hold, and no two names meet. Header-only: the renderer
// library shares it without linking any service code.
inline std::string encode_object_name(std::string_view name) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(name.size());
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '%' || byte < 0x20 || byte == 0x7F) {
      encoded += '%';
      encoded += hex[byte >> 4];
      encoded += hex[byte & 0x0F];
    } else {
      encoded += c;
    }
  }
  return encoded;
}

}  // namespace orv
