#pragma once

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace orv::testing {

// A listener of the log event server on loopback, greeting it as it connects.
struct log_listener {
  log_listener(std::uint16_t port, const std::string& greeting, int receive_buffer = 0)
      : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::send(fd, greeting.data(), greeting.size(), 0), ssize_t(greeting.size()));
  }
  ~log_listener() { close(); }

  // Everything that has arrived so far, without waiting.
  const std::string& received() {
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) text.append(buffer, n);
    ended = n == 0;
    return text;
  }
  // The next line, for a listener served by another process: waits up to five seconds.
  std::string line() {
    pollfd ready{fd, POLLIN, 0};
    std::size_t end;
    while ((end = received().find('\n')) == std::string::npos)
      if (ended || ::poll(&ready, 1, 5000) <= 0) return "(nothing)";
    std::string line = text.substr(0, end);
    text.erase(0, end + 1);
    return line;
  }
  // With reset set the server gets a reset instead of an orderly close.
  void close(bool reset = false) {
    if (fd < 0) return;
    linger abort{1, 0};
    if (reset) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
    fd = -1;
  }

  int fd;
  std::string text;
  bool ended = false;
};

}  // namespace orv::testing
