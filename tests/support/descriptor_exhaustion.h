#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace orv::testing {

// Uses up this process's descriptors: a lower soft limit, then copies of /dev/null until
// none is left. free_one gives one back; the rest go, and the limit returns, on destruction.
class descriptor_exhaustion {
 public:
  descriptor_exhaustion() {
    ::getrlimit(RLIMIT_NOFILE, &previous_);
    rlimit lower = previous_;
    lower.rlim_cur = std::min<rlim_t>(previous_.rlim_cur, 512);
    ::setrlimit(RLIMIT_NOFILE, &lower);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held_.push_back(fd);
  }
  ~descriptor_exhaustion() {
    for (int fd : held_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &previous_);
  }
  descriptor_exhaustion(const descriptor_exhaustion&) = delete;
  descriptor_exhaustion& operator=(const descriptor_exhaustion&) = delete;

  void free_one() {
    ::close(held_.back());
    held_.pop_back();
  }

 private:
  rlimit previous_{};
  std::vector<int> held_;
};

}  // namespace orv::testing
