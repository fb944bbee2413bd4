#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orv {

// Longest name a ticker's shared objects may have once encoded.
inline constexpr std::size_t max_object_name_size = 250;

// The name under which the system knows a ticker object: every "/" becomes "%2F" and every
// "%" "%25", so any ticker name maps to one flat name and back. Header-only: the renderer
// library shares it without linking any service code.
inline std::string encode_object_name(std::string_view name) {
  std::string encoded;
  encoded.reserve(name.size());
  for (char c : name) {
    if (c == '/')
      encoded += "%2F";
    else if (c == '%')
      encoded += "%25";
    else
      encoded += c;
  }
  return encoded;
}

}  // namespace orv
