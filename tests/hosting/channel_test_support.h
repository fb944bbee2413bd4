#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "hosting/object_name.h"

namespace orv::testing {

// A ticker name no other test process uses; its shared objects are unlinked at the end.
class scratch_ticker {
 public:
  explicit scratch_ticker(const std::string& stem) {
    static std::atomic<int> counter{0};
    name_ = "h5test_" + stem + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  }
  ~scratch_ticker() {
    for (const char* prefix : {"mem", "sections", "sectionmutex"})
      ::shm_unlink(("/" + encode_object_name(prefix + name_)).c_str());
  }
  scratch_ticker(const scratch_ticker&) = delete;
  scratch_ticker& operator=(const scratch_ticker&) = delete;
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// Runs the loop until done() holds or the time is up; returns done().
inline bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool finished = done();  // asked once per round: done() may consume what it checks
  while (!finished && std::chrono::steady_clock::now() < deadline) {
    if (io.stopped()) io.restart();
    io.run_one_for(std::chrono::milliseconds(10));
    finished = done();
  }
  return finished;
}

// The renderer's end of a request event, written against the bare socket contract.
class raw_renderer {
 public:
  explicit raw_renderer(const std::string& ticker_name) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const std::string name = encode_object_name("event" + ticker_name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address),
                           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0;
  }
  ~raw_renderer() { ::close(fd_); }
  raw_renderer(const raw_renderer&) = delete;
  raw_renderer& operator=(const raw_renderer&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  bool ask(std::size_t requests = 1) {
    const std::string bytes(requests, '\x01');
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Reads what has arrived without waiting; -1 once the service closed the connection.
  int take_resets() {
    char buffer[256];
    int total = 0;
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0) return total > 0 ? total : -1;
      if (n < 0) return total;
      total += static_cast<int>(n);
    }
  }
  bool closed_by_service() const {
    char byte;
    pollfd readable{fd_, POLLIN, 0};
    return ::poll(&readable, 1, 0) == 1 && ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace orv::testing
