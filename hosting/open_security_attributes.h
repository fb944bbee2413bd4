#pragma once

#include <sys/types.h>

#include <string>

namespace orv {

// Who may reach a ticker's objects: root, the service's own user and the members of the
// renderer group ("orvticker" when it exists, the service's own group otherwise). Shared areas
// are created 0660 in that group; the request socket checks each peer's credentials.
class open_security_attributes {
 public:
  static constexpr mode_t mode = 0660;

  open_security_attributes();

  // Gives a newly created object its mode and group. Throws win32_error
  // "Couldn't grant the renderer group access".
  void apply(int fd) const;

  // Empty when the peer of the connected local socket may attach; otherwise who it is, for
  // the log ("uid 1001 gid 1001").
  std::string refusal(int socket) const;

  gid_t group() const { return group_; }

 private:
  gid_t group_;
};

}  // namespace orv
