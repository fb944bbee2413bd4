#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/element_stream.h"
#include "engine/supplier_base.h"
#include "event_server/event_server_base.h"
#include "hosting/section_channel.h"
#include "runtime/asyncore.h"
#include "runtime/logger_base.h"

namespace orv {

// Serves one ticker's renderer: on each request it pulls the next element from the ticker's
// stream into the element area and keeps the upcoming section titles in the title area.
// The log message of a delivered element goes out one request later, as a delayed log line
// and a "run" message.
class supplier : public supplier_base, public ticker_endpoint {
 public:
  // Sends the tickertalk "run" message: run text, ticker name.
  using run_sender = std::function<void(const std::string& run_text, const std::string& ticker)>;

  // Creates the ticker's shared objects and starts serving requests on the dispatcher's loop.
  // Throws win32_error when an object cannot be created. events may be null.
  supplier(const std::string& name, vorn::event_dispatcher& dispatcher, std::shared_ptr<event_server_base> events,
           run_sender send_run, std::shared_ptr<vorn::logger_base> log);

  void set_stream(std::weak_ptr<element_stream> stream) override;
  void clear() override;
  void refresh_titles() override;

  // One renderer request; the endpoint writes the reset once it returns.
  void on_signalled();

  static constexpr const char* empty_text = "SCROLLER_EMPTY";

 private:
  bool log_at(int level) const { return log_->should_log(level); }
  // False when a renderer held the title mutex and nothing was written.
  bool write_titles(const std::vector<std::string>& titles);
  void write_element(const TickerElement& element);

  std::shared_ptr<vorn::logger_base> log_;
  std::shared_ptr<event_server_base> events_;
  run_sender send_run_;
  section_channel sections_;
  std::string pending_log_;
  std::string pending_log_ttl_;
  std::vector<std::string> pending_titles_;
  bool delivered_ = false;
  std::int32_t empty_countdown_ = 5;
  std::weak_ptr<element_stream> stream_;
  std::string name_;
};

}  // namespace orv
