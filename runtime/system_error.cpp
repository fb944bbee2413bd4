#include "runtime/system_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn {

std::string format_system_error(int code) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "(0x%08x) ", static_cast<unsigned>(code));
  std::string text(prefix);
  text += std::strerror(code);
  return text;
}

std::string with_formatted_code(const std::string& message, int code) {
  return message + ": " + format_system_error(code);
}

win32_error::win32_error(const std::string& message) : win32_error(message, errno) {}

win32_error::win32_error(const std::string& message, int code)
    : std::runtime_error(message + ": " + std::strerror(code)), code_(code) {}

}  // namespace vorn
