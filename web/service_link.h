#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/asyncore.h"
#include "runtime/tcp_connector.h"

namespace orv::web {

using fields = std::vector<std::string>;

// The bridge's one tickertalk connection, with events on. Requests are tagged and answered
// in order; a lost connection answers every open request with no fields and is retried at
// the connector's pace, so callers only see "unreachable" until it is back.
class service_link : public vorn::client_factory_base, public std::enable_shared_from_this<service_link> {
 public:
  static constexpr std::size_t max_open_requests = 4096;
  using reply_handler = std::function<void(const fields& reply)>;  // reply without its tag

  service_link(vorn::asyncore& loop, std::shared_ptr<vorn::logger_base> logger, std::string host, std::string port);
  void start();
  bool connected() const { return protocol_.lock() != nullptr; }

  // Sends tag + request; handler gets the reply's fields after the tag, or none when the
  // service is unreachable or too many requests are open.
  void request(const fields& request, reply_handler handler);

  std::function<void(const fields& event)> on_event;  // an event message, without its "*"
  std::function<void(bool up)> on_connection;

  std::shared_ptr<vorn::base_protocol> create_protocol() override;
  void connection_failed(const std::shared_ptr<vorn::connector>& c, const std::string& reason) override;
  void connection_lost(const std::shared_ptr<vorn::connector>& c, const std::string& reason) override;

 private:
  class protocol;
  void received(const fields& message);
  void fail_open_requests();

  vorn::asyncore& loop_;
  std::string host_;
  std::string port_;
  std::shared_ptr<vorn::connector> connector_;
  std::weak_ptr<protocol> protocol_;
  std::deque<std::pair<std::string, reply_handler>> open_;
  unsigned long next_tag_ = 1;
};

// Lines of the log event server as they come, in their plain form; reconnects like the link.
class log_feed : public vorn::client_factory_base, public std::enable_shared_from_this<log_feed> {
 public:
  static constexpr std::size_t max_line = 65536;

  log_feed(vorn::asyncore& loop, std::shared_ptr<vorn::logger_base> logger, std::string host, std::string port);
  void start();
  std::function<void(const std::string& line)> on_line;

  std::shared_ptr<vorn::base_protocol> create_protocol() override;
  void connection_failed(const std::shared_ptr<vorn::connector>& c, const std::string& reason) override;
  void connection_lost(const std::shared_ptr<vorn::connector>& c, const std::string& reason) override;

 private:
  class protocol;
  vorn::asyncore& loop_;
  std::string host_;
  std::string port_;
  std::shared_ptr<vorn::connector> connector_;
};

}  // namespace orv::web
