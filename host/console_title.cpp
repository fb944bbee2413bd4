#include "host/console_title.h"

#include <unistd.h>

#include <cerrno>

namespace orv {

namespace {

// Terminals keep titles short, and a control byte from the settings file would end the
// escape sequence early.
constexpr std::size_t max_title_length = 259;

std::string printable_title(const std::string& title) {
  std::string shown;
  for (unsigned char c : title)
    if (c >= 0x20 && c != 0x7f && shown.size() < max_title_length) shown += static_cast<char>(c);
  return shown;
}

}  // namespace

std::string console_title(const std::string& version) { return "Orv Ticker Service version " + version; }

void set_console_title(const std::string& title, vorn::logger_base& log) {
  if (!::isatty(STDOUT_FILENO)) return;
  const std::string sequence = "\033]0;" + printable_title(title) + "\a";
  if (::write(STDOUT_FILENO, sequence.data(), sequence.size()) != static_cast<ssize_t>(sequence.size()) &&
      log.should_log(20))
    log.stream(20) << "SetConsoleTitle failed" << errno << std::endl;
}

}  // namespace orv
