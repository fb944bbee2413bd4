#include "runtime/system_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn {

std::string format_system_error(int code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%#010x", static_cast<unsigned>(code));
  // %#x drops the prefix for zero; keep the width and the "0x" regardless.
  std::string text = code == 0 ? "0x00000000" : hex;
  return "(" + text + ") " + std::strerror(code);
}

win32_error::win32_error(const std::string& message) : win32_error(message, errno) {}

win32_error::win32_error(const std::string& message, int code)
    : std::runtime_error(message + ": " + format_system_error(code)), code_(code) {}

}  // namespace vorn
