#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "runtime/asyncore.h"
#include "runtime/logger_base.h"

namespace orv {

// A ticker's request event: a stream socket in the abstract namespace under the encoded name.
// A renderer connects and writes one byte to ask for the next element; each byte is served
// in turn on the event loop and answered with one byte, the reset, once the answer is in
// place. Only root, the service's user and the renderer group may attach; up to 64 renderers
// at once. Destruction closes the socket and every connection.
class named_event {
 public:
  using request_handler = std::function<void()>;

  // Listens at once. Throws win32_error "Couldn't create event named " + name.
  explicit named_event(const std::string& name);
  ~named_event();
  named_event(const named_event&) = delete;
  named_event& operator=(const named_event&) = delete;

  // From here on, the dispatcher's loop accepts renderers and runs on_request for every
  // request byte. A renderer that stops reading its resets is disconnected, never waited for.
  void serve(vorn::event_dispatcher& dispatcher, request_handler on_request,
             std::shared_ptr<vorn::logger_base> log);

  const std::string& name() const;
  std::size_t connection_count() const;

 private:
  struct state;
  std::shared_ptr<state> state_;
};

}  // namespace orv
