#pragma once

#include <string>

namespace orv {

// Where the supplier hands the delayed log of each delivered element.
class event_server_base {
 public:
  virtual ~event_server_base() = default;
  // line goes to plain listeners, ttl_line (with its time-to-live suffix) to TTL listeners.
  virtual void send_delayed_log(const std::string& line, const std::string& ttl_line) = 0;
};

}  // namespace orv
