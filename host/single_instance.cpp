#include "host/single_instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace orv {

std::unique_ptr<single_instance> single_instance::acquire(const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A leading zero byte puts the name in the abstract namespace: no file, no clean-up.
  if (name.size() + 1 > sizeof address.sun_path) return nullptr;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<single_instance>(new single_instance(fd));
}

single_instance::~single_instance() { ::close(fd_); }

}  // namespace orv
