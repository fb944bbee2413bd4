#pragma once

#include <grp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "hosting/object_name.h"
#include "tests/support/child_process.h"

namespace orv::testing {

// A ticker name no other test process uses; the shared objects a ticker of that name leaves
// behind are unlinked at the end.
struct scratch_ticker {
  explicit scratch_ticker(const std::string& stem) {
    static std::atomic<int> counter{0};
    name = "orvtest_" + stem + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  }
  ~scratch_ticker() {
    for (const char* prefix : {"mem", "sections", "sectionmutex"})
      ::shm_unlink(("/" + encode_object_name(prefix + name)).c_str());
  }
  std::string name;
};

// A renderer written against the bare socket contract.
struct raw_renderer {
  explicit raw_renderer(const std::string& ticker) : fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const std::string name = encode_object_name("event" + ticker);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address),
                          static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0;
  }
  ~raw_renderer() { ::close(fd); }
  bool ask(std::size_t requests = 1) {
    const std::string bytes(requests, '\x01');
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Resets that have arrived, without waiting; -1 once the service has closed the connection.
  int take_resets() {
    char buffer[256];
    int total = 0;
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) != 0; total += static_cast<int>(n))
      if (n < 0) return total;
    return total > 0 ? total : -1;
  }

  int fd;
  bool connected;
};

// Runs checks in a child process as user and group nobody (65534), serving io meanwhile;
// the child's exit code, or -1 when this process may not change user (not root).
inline int as_stranger(boost::asio::io_context& io, const std::function<int()>& checks) {
  if (::geteuid() != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
    ::_exit(checks());
  }
  int status = 0;
  run_until(io, [&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(20));
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

}  // namespace orv::testing
