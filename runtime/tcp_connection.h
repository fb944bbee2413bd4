#pragma once

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "runtime/logger_base.h"
#include "runtime/memory_budget.h"
#include "runtime/protocol.h"

namespace vorn::detail {

inline void log_line(const std::shared_ptr<logger_base>& logger, int level, const std::string& text) {
  if (logger && logger->should_log(level)) logger->stream(level) << text << std::endl;
}

// One established TCP connection and its protocol. Pending reads and writes keep it alive;
// once closed, the protocol is told and released from a fresh handler, so a protocol that
// closes its own connection is never destroyed while one of its hooks is running.
// When the peer ends its input, the messages it completed are answered and everything
// queued is sent before the connection closes.
class tcp_connection : public transport,
                       public memory_budget::holder,
                       public std::enable_shared_from_this<tcp_connection> {
 public:
  using closed_callback = std::function<void(const std::string& reason)>;

  tcp_connection(boost::asio::ip::tcp::socket socket, std::shared_ptr<base_protocol> protocol,
                 std::shared_ptr<logger_base> logger, closed_callback on_closed, memory_budget* budget);
  ~tcp_connection() override;

  // Attaches the protocol (connection_made) and starts reading.
  void start();

  bool write(std::string_view bytes) override;
  bool write_parts(std::vector<std::string>&& parts) override;
  void close(std::string_view reason) override;
  bool is_open() const override { return open_; }
  void evict(const std::string& reason) override { close(reason); }

 private:
  void read_next();
  void on_read(const boost::system::error_code& ec, std::size_t n);
  void hand_over(std::string_view bytes);
  std::vector<boost::asio::const_buffer> gathered() const;
  void write_queued();
  std::string queue_entry(std::string_view bytes) const;
  bool room_for(std::size_t bytes);
  void queue(std::string_view bytes);
  bool queued(std::size_t bytes);
  void flush_later();
  void on_written(const boost::system::error_code& ec, std::size_t n);
  void shut(const std::string& reason, int level);
  void finish(const std::string& reason);
  using executor = boost::asio::ip::tcp::socket::executor_type;
  static void release_in_turns(std::shared_ptr<base_protocol> protocol, std::deque<std::string> unsent,
                               const executor& on);
  void account();

  boost::asio::ip::tcp::socket socket_;
  std::shared_ptr<base_protocol> protocol_;
  std::shared_ptr<logger_base> logger_;
  closed_callback on_closed_;
  memory_budget* budget_;
  std::string peer_;
  bool open_ = true;
  bool in_turn_ = false;
  bool flush_posted_ = false;
  bool input_ended_ = false;  // the peer shut its sending side; close once all is sent

  std::string held_back_;  // input the protocol has not taken yet, while it yields
  std::deque<std::string> queue_;  // push_back keeps earlier entries in place for the writer
  std::size_t unsent_ = 0;
  std::size_t in_flight_ = 0;      // entries of queue_ handed to the current write
  std::size_t accounted_ = 0;      // what the budget was last told this connection holds
  std::array<char, 2048> inbox_;   // the pending read's bytes; a batch of short commands fits
};

}  // namespace vorn::detail
