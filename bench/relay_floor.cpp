#include "bench/relay_floor.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace orv::bench {

namespace {

// Blocking calls and nothing else in the children: no loop, no framing, so no bridge can relay faster.
bool send_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool receive_all(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Runs body in a child that dies with the bench, without the parent's descriptors in
// others: an end left open in a child would keep its peer from seeing the close.
template <class Body>
pid_t spawn(std::initializer_list<int> others, Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int fd : others) ::close(fd);
    body();
    ::_exit(0);
  }
  return pid;
}

// A byte in, a byte out, as the service answers a renderer's request.
void echo(int fd) {
  char byte;
  while (receive_all(fd, &byte, 1) && send_all(fd, &byte, 1)) {
  }
}

// A connected loopback TCP pair with Nagle off on both ends, as the page and the bridge have.
bool tcp_pair(int& client, int& server) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bool ok = listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener, 1) == 0 && ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  client = ok ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  ok = ok && client >= 0 && ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  server = ok ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  if (listener >= 0) ::close(listener);
  const int one = 1;
  return ok && server >= 0 && ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 &&
         ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

}  // namespace

struct relay_floor::parts {
  std::size_t reply_size;
  int echo_socket = -1;   // the bench's end of the direct echo
  int relay_socket = -1;  // the bench's end of the relay, over TCP
  std::vector<pid_t> children;
  std::string request = std::string(10, 'n');  // a page's "next" in its WebSocket frame
  std::vector<char> reply;
};

relay_floor::relay_floor(std::size_t reply_size) : parts_(std::make_unique<parts>()) {
  auto& p = *parts_;
  p.reply_size = reply_size;
  p.reply.resize(reply_size);
  int direct[2], behind[2], page = -1, relay = -1;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, direct) != 0) return;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, behind) != 0 || !tcp_pair(page, relay)) {
    for (int fd : {direct[0], direct[1], page, relay}) if (fd >= 0) ::close(fd);
    return;
  }
  p.children.push_back(spawn({direct[0], behind[0], behind[1], page, relay}, [&] { echo(direct[1]); }));
  p.children.push_back(spawn({direct[0], direct[1], behind[0], page, relay}, [&] { echo(behind[1]); }));
  p.children.push_back(spawn({direct[0], direct[1], behind[1], page}, [&] {
    std::vector<char> in(p.request.size()), out(reply_size, 'x');
    char byte;
    while (receive_all(relay, in.data(), in.size()) && send_all(behind[0], "n", 1) &&
           receive_all(behind[0], &byte, 1) && send_all(relay, out.data(), out.size())) {
    }
  }));
  for (int fd : {direct[1], behind[0], behind[1], relay}) ::close(fd);
  p.echo_socket = direct[0];
  p.relay_socket = page;
}

relay_floor::~relay_floor() {
  // The children end when their peers close.
  for (int fd : {parts_->echo_socket, parts_->relay_socket}) if (fd >= 0) ::close(fd);
  for (pid_t pid : parts_->children)
    if (pid > 0) ::waitpid(pid, nullptr, 0);
}

bool relay_floor::ready() const {
  for (pid_t pid : parts_->children)
    if (pid <= 0) return false;
  return parts_->children.size() == 3;
}

bool relay_floor::echo_round_trip() {
  char byte = 1;
  return send_all(parts_->echo_socket, &byte, 1) && receive_all(parts_->echo_socket, &byte, 1);
}

bool relay_floor::relayed_round_trip() {
  auto& p = *parts_;
  return send_all(p.relay_socket, p.request.data(), p.request.size()) &&
         receive_all(p.relay_socket, p.reply.data(), p.reply.size());
}

}  // namespace orv::bench
