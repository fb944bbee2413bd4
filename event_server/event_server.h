#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "event_server/event_server_base.h"
#include "runtime/asyncore.h"
#include "runtime/logger_base.h"

namespace orv {

// The log event server: TCP listeners on every IPv4 address receive one line per delayed
// log, in the time-to-live form when their greeting asked for "TTL". Everything runs on the
// event loop and no send ever waits for a listener.
class event_server_instance : public event_server_base,
                              public std::enable_shared_from_this<event_server_instance> {
 public:
  struct settings {
    std::uint16_t port = 6300;  // 0: the system picks one
    // A listener that has sent no greeting by then is taken as plain.
    std::chrono::steady_clock::duration greeting_wait = std::chrono::seconds(2);
    // Unsent bytes a listener may have queued; one that falls further behind is dropped.
    // Also what a listener awaiting its greeting may have held for it, in both forms.
    std::size_t max_queued_bytes = 256 * 1024;
    // Listeners connected at once, greeted or not; one more is told so and closed.
    std::size_t max_listeners = 256;
  };

  // When the port cannot be opened, writes "Could not start event server: " and the error to
  // standard error; the server then stays without listeners.
  event_server_instance(std::shared_ptr<vorn::asyncore> loop, std::shared_ptr<vorn::logger_base> logger);
  event_server_instance(std::shared_ptr<vorn::asyncore> loop, std::shared_ptr<vorn::logger_base> logger,
                        settings config);
  ~event_server_instance() override;

  void send_delayed_log(const std::string& line, const std::string& ttl_line) override;

  bool listening() const { return core_ != nullptr; }
  // Why the server is not listening; empty while it is.
  const std::string& failure() const { return failure_; }
  // The bound port; 0 when not listening.
  std::uint16_t port() const;
  std::size_t listener_count() const;

 private:
  class event_server_core;
  std::shared_ptr<event_server_core> core_;
  std::shared_ptr<vorn::logger_base> logger_;
  std::string failure_;
};

}  // namespace orv
