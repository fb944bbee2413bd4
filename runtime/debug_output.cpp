#include "runtime/debug_output.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

namespace vorn {

namespace {

bool tracer_present() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::stol(line.substr(10)) != 0;
  }
  return false;
}

}  // namespace

// Reading /proc takes tens of microseconds and the channel is used on request paths (each
// placement under a new name, each message of a debug log target), so the answer is
// reused for a second: a debugger that attaches sees the output from then on.
bool debugger_attached() {
  using clock = std::chrono::steady_clock;
  static clock::time_point checked_at;
  static bool attached = false;
  const clock::time_point now = clock::now();
  if (checked_at == clock::time_point() || now - checked_at >= std::chrono::seconds(1)) {
    attached = tracer_present();
    checked_at = now;
  }
  return attached;
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
