#pragma once

#include <sys/types.h>

namespace orv {

// Access for every ticker object: anyone may open it, read it and write it, whatever the
// creating process's umask, so a renderer running as another user can share it.
class open_security_attributes {
 public:
  static constexpr mode_t mode = 0666;

  // Gives a newly created object the open mode. Throws win32_error
  // "Couldn't grant everyone access".
  void apply(int fd) const;
};

}  // namespace orv
