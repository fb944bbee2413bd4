#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace orv {

// A named shared-memory object ("/" + encoded name, under /dev/shm), created for the service
// and its renderers (open_security_attributes) or, when it already exists, opened and shared.
// Owns its descriptor.
class shared_object {
 public:
  // Throws win32_error with failure_message when the object can be neither created nor opened,
  // or when its encoded name is too long. With hold, the object is held (object_access.h)
  // for as long as this lives.
  shared_object(const std::string& name, const std::string& failure_message, bool hold = false);
  ~shared_object();
  shared_object(const shared_object&) = delete;
  shared_object& operator=(const shared_object&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// A shared-memory area of a fixed size mapped for reading and writing. An existing object
// smaller than the size is grown; a larger one is shared as it is.
class named_mapping {
 public:
  // Throws win32_error "Couldn't create mapping named " + name, or "Couldn't map view".
  named_mapping(const std::string& name, std::size_t size, bool hold = false);
  ~named_mapping();
  named_mapping(const named_mapping&) = delete;
  named_mapping& operator=(const named_mapping&) = delete;

  std::span<char> view() const { return {static_cast<char*>(view_), size_}; }

 private:
  shared_object object_;
  std::size_t size_;
  void* view_;
};

}  // namespace orv
