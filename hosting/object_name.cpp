#include "hosting/object_name.h"

namespace orv {

std::string encode_object_name(std::string_view name) {
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
