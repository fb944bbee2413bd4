#include "runtime/debug_output.h"

#include <unistd.h>

#include <fstream>
#include <string>

namespace vorn {

bool debugger_attached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::stol(line.substr(10)) != 0;
  }
  return false;
}

void debug_output(std::string_view text) {
  if (!debugger_attached()) return;
  // One write call per message keeps messages from different sources whole.
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace vorn
