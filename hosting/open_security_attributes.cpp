#include "hosting/open_security_attributes.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "hosting/object_access.h"
#include "runtime/system_error.h"

namespace orv {

open_security_attributes::open_security_attributes() : group_(object_access::renderer_group()) {}

void open_security_attributes::apply(int fd) const {
  if (!object_access::grant(fd)) throw vorn::win32_error("Couldn't grant the renderer group access");
}

std::string open_security_attributes::refusal(int socket) const {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return "a peer of unknown credentials";
  if (peer.uid == 0 || peer.uid == ::geteuid() || peer.gid == group_) return {};
  // The supplementary groups; their count is learnt from the first call's ERANGE.
  std::vector<gid_t> groups(64);
  for (;;) {
    size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) break;
    if (errno != ERANGE || groups.size() >= 65536) {
      size = 0;
      break;
    }
    groups.resize(size / sizeof(gid_t) + 1);
  }
  groups.resize(size / sizeof(gid_t));
  if (std::find(groups.begin(), groups.end(), group_) != groups.end()) return {};
  return "uid " + std::to_string(peer.uid) + " gid " + std::to_string(peer.gid) + " pid " + std::to_string(peer.pid);
}

}  // namespace orv
