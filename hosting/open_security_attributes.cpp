#include "hosting/open_security_attributes.h"

#include <sys/stat.h>

#include "runtime/system_error.h"

namespace orv {

void open_security_attributes::apply(int fd) const {
  // The umask trims the mode given at creation; fchmod does not.
  if (::fchmod(fd, mode) != 0) throw vorn::win32_error("Couldn't grant everyone access");
}

}  // namespace orv
