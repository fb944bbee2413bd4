#include "hosting/named_mapping.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hosting/object_name.h"
#include "hosting/open_security_attributes.h"
#include "runtime/system_error.h"

namespace orv {

shared_object::shared_object(const std::string& name, const std::string& failure_message) {
  const std::string encoded = encode_object_name(name);
  if (encoded.size() > max_object_name_size) throw vorn::win32_error(failure_message, ENAMETOOLONG);
  const std::string path = "/" + encoded;
  // A renderer may create or unlink the object between our two calls; a few rounds settle it.
  for (int attempt = 0; attempt < 3; ++attempt) {
    fd_ = ::shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, open_security_attributes::mode);
    if (fd_ >= 0) {
      try {
        open_security_attributes{}.apply(fd_);
      } catch (...) {
        ::close(fd_);
        throw;
      }
      return;
    }
    if (errno != EEXIST) break;
    fd_ = ::shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd_ >= 0) return;
    if (errno != ENOENT) break;
  }
  throw vorn::win32_error(failure_message);
}

shared_object::~shared_object() { ::close(fd_); }

named_mapping::named_mapping(const std::string& name, std::size_t size)
    : object_(name, "Couldn't create mapping named " + name), size_(size) {
  struct stat status {};
  if (::fstat(object_.fd(), &status) != 0) throw vorn::win32_error("Couldn't create mapping named " + name);
  if (static_cast<std::size_t>(status.st_size) < size && ::ftruncate(object_.fd(), static_cast<off_t>(size)) != 0)
    throw vorn::win32_error("Couldn't create mapping named " + name);
  view_ = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, object_.fd(), 0);
  if (view_ == MAP_FAILED) throw vorn::win32_error("Couldn't map view");
}

named_mapping::~named_mapping() { ::munmap(view_, size_); }

}  // namespace orv
