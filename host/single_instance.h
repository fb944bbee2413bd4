#pragma once

#include <memory>
#include <string>

namespace orv {

// A machine-wide name held by one process at a time: an abstract-namespace local socket
// bound to it. The kernel releases the name when the process ends, however it ends, so a
// crashed instance never blocks the next start.
class single_instance {
 public:
  // Empty when the name is held already (or cannot be bound).
  static std::unique_ptr<single_instance> acquire(const std::string& name);

  ~single_instance();
  single_instance(const single_instance&) = delete;
  single_instance& operator=(const single_instance&) = delete;

 private:
  explicit single_instance(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace orv
