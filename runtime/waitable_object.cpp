#include "runtime/waitable_object.h"

#include <boost/asio/posix/stream_descriptor.hpp>

namespace vorn {

// Shared with the pending wait so that a wait completing after the object is gone finds
// no owner instead of a dangling one.
struct waitable_object::watch {
  watch(boost::asio::io_context& io, int fd, waitable_object* o) : descriptor(io, fd), owner(o) {}

  void arm(const std::shared_ptr<watch>& self) {
    descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                          [self](const boost::system::error_code& ec) {
                            if (ec || !self->owner) return;
                            self->owner->on_signalled();
                            if (self->owner) self->arm(self);
                          });
  }

  boost::asio::posix::stream_descriptor descriptor;
  waitable_object* owner;
};

waitable_object::waitable_object(event_dispatcher& dispatcher, int fd, bool urgent)
    : watch_(std::make_shared<watch>(dispatcher.io_context(), fd, this)) {
  watch_->arm(watch_);
  if (!urgent) return;
  urgent_in_ = &dispatcher;
  dispatcher.add_urgent(fd, [this] { on_signalled(); });
}

waitable_object::~waitable_object() {
  if (urgent_in_) urgent_in_->remove_urgent(watch_->descriptor.native_handle());
  watch_->owner = nullptr;
  // Cancels the pending wait and leaves the descriptor open: it belongs to the caller.
  watch_->descriptor.release();
}

}  // namespace vorn
