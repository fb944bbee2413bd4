#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

// Who may reach a ticker's shared objects and how long they live; shared by the service and
// the renderer client library, which links no service code, hence header-only.
namespace orv::object_access {

// Members of this group may attach as renderers. Without it, the service's own group.
inline constexpr const char* renderer_group_name = "orvticker";
inline constexpr mode_t object_mode = 0660;
// The one byte a peer that may not attach reads from the request socket before it closes;
// resets are 0x00.
inline constexpr char refusal_byte = 0x15;

inline gid_t renderer_group() {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(4096);
  while (::getgrnam_r(renderer_group_name, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  return found ? found->gr_gid : ::getegid();
}

// Gives a newly created object its mode and group, whatever the umask. False with errno set
// when the system refuses.
inline bool grant(int fd) { return ::fchown(fd, static_cast<uid_t>(-1), renderer_group()) == 0 && ::fchmod(fd, object_mode) == 0; }

// The shared-memory path of each object of a ticker whose encoded name is given.
inline std::vector<std::string> ticker_object_paths(const std::string& encoded) {
  return {"/mem" + encoded, "/sections" + encoded, "/sectionmutex" + encoded};
}

// Whoever has a ticker's areas open holds a shared flock on its element area ("mem"); a
// non-blocking exclusive lock that succeeds therefore means nobody does.
inline bool take_hold(int element_fd) {
  while (::flock(element_fd, LOCK_SH | LOCK_NB) != 0)
    if (errno != EINTR) return false;
  return true;
}

// Whether fd is still the object under path: the last holder may have removed it between
// our open and our lock, and a hold on a removed object shares nothing.
inline bool still_linked(int fd, const std::string& path) {
  struct stat held {}, linked {};
  const int again = ::shm_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (again < 0) return false;
  const bool same = ::fstat(fd, &held) == 0 && ::fstat(again, &linked) == 0 && held.st_ino == linked.st_ino &&
                    held.st_dev == linked.st_dev;
  ::close(again);
  return same;
}

enum class removal { removed, held, refused };

// Removes a ticker's objects when nobody holds its element area; the exclusive lock is kept
// while they are unlinked, so nobody can take a hold on an object about to go. An element
// area that no longer exists holds nothing, so whatever is left of the others goes too.
// refused: the system would not unlink them (errno set), typically another user's objects.
inline removal remove_unheld(const std::string& encoded) {
  const auto paths = ticker_object_paths(encoded);
  const int fd = ::shm_open(paths[0].c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0 && errno != ENOENT) return removal::refused;
  if (fd >= 0) {
    int locked;
    while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) continue;
    if (locked != 0) {
      ::close(fd);
      return removal::held;
    }
  }
  removal result = removal::removed;
  int error = 0;
  for (const auto& path : paths)
    if (::shm_unlink(path.c_str()) != 0 && errno != ENOENT) {
      error = errno;
      result = removal::refused;
    }
  if (fd >= 0) ::close(fd);
  errno = error;
  return result;
}

}  // namespace orv::object_access
