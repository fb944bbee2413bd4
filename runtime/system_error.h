#pragma once

#include <stdexcept>
#include <string>

namespace vorn {

// "(0x00000062) Address already in use": the code in hexadecimal, zero-padded to ten
// characters with its "0x", then the system's text for it. Only start-up, registration
// and the event server show the code; everything else shows the text alone.
std::string format_system_error(int code);

// "bind failed: (0x00000062) Address already in use".
std::string with_formatted_code(const std::string& message, int code);

// A failed system call: the message, ": " and the system's text for the error, the form
// clients see in error replies.
class win32_error : public std::runtime_error {
 public:
  // Takes the code from errno, so construct it right after the failing call.
  explicit win32_error(const std::string& message);
  win32_error(const std::string& message, int code);

  int code() const { return code_; }

 private:
  int code_;
};

}  // namespace vorn
