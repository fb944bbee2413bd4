#include "hosting/named_mapping.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hosting/object_access.h"
#include "hosting/object_name.h"
#include "hosting/open_security_attributes.h"
#include "runtime/system_error.h"

namespace orv {

namespace {

// An object found in place is shared only when it is as the service or a renderer allowed
// to attach would have made it: anyone else could write what goes on air.
bool trusted(int fd, const open_security_attributes& access) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  const bool allowed_owner = status.st_uid == 0 || status.st_uid == ::geteuid() || status.st_gid == access.group();
  return allowed_owner && (status.st_mode & 0007) == 0;
}

// Creates the object or opens the existing one; -1 with errno set when neither works. An
// untrusted object is removed (its holders keep only their own copy) and made anew.
int create_or_open(const std::string& path) {
  const open_security_attributes access;
  // A renderer may create or remove the object between our two calls; a few rounds settle it.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, open_security_attributes::mode);
    if (fd >= 0) {
      try {
        access.apply(fd);
      } catch (...) {
        ::close(fd);
        throw;
      }
      return fd;
    }
    if (errno != EEXIST) return -1;
    const int existing = ::shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (existing < 0 && errno != ENOENT) return -1;
    if (existing < 0) continue;
    if (trusted(existing, access)) return existing;
    ::close(existing);
    if (::shm_unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
  }
  return -1;
}

}  // namespace

shared_object::shared_object(const std::string& name, const std::string& failure_message, bool hold) {
  const std::string encoded = encode_object_name(name);
  if (encoded.size() > max_object_name_size) throw vorn::win32_error(failure_message, ENAMETOOLONG);
  const std::string path = "/" + encoded;
  for (int attempt = 0; attempt < 3; ++attempt) {
    fd_ = create_or_open(path);
    if (fd_ < 0) throw vorn::win32_error(failure_message);
    // The last renderer to let go may have removed it before our hold took: start again.
    if (!hold || (object_access::take_hold(fd_) && object_access::still_linked(fd_, path))) return;
    const int error = errno;
    ::close(fd_);
    errno = error;
  }
  throw vorn::win32_error(failure_message);
}

shared_object::~shared_object() { ::close(fd_); }

named_mapping::named_mapping(const std::string& name, std::size_t size, bool hold)
    : object_(name, "Couldn't create mapping named " + name, hold), size_(size) {
  struct stat status {};
  if (::fstat(object_.fd(), &status) != 0) throw vorn::win32_error("Couldn't create mapping named " + name);
  if (static_cast<std::size_t>(status.st_size) < size && ::ftruncate(object_.fd(), static_cast<off_t>(size)) != 0)
    throw vorn::win32_error("Couldn't create mapping named " + name);
  view_ = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, object_.fd(), 0);
  if (view_ == MAP_FAILED) throw vorn::win32_error("Couldn't map view");
}

named_mapping::~named_mapping() { ::munmap(view_, size_); }

}  // namespace orv
