#pragma once

#include <memory>

#include "runtime/asyncore.h"

namespace vorn {

// A file descriptor watched by the event loop: on_signalled runs on the loop thread each
// time the descriptor is readable, for as long as the object lives. on_signalled must
// consume what made it readable (read the eventfd, the pipe), or it is called again at once.
// The descriptor stays the caller's; the object must be destroyed before its asyncore.
// An urgent object is also served between other handlers (see event_dispatcher), so
// on_signalled must bear being called when the descriptor has nothing after all.
class waitable_object {
 public:
  waitable_object(event_dispatcher& dispatcher, int fd, bool urgent = false);
  virtual ~waitable_object();
  waitable_object(const waitable_object&) = delete;
  waitable_object& operator=(const waitable_object&) = delete;

  virtual void on_signalled() = 0;

 private:
  struct watch;
  std::shared_ptr<watch> watch_;
  event_dispatcher* urgent_in_ = nullptr;
};

}  // namespace vorn
