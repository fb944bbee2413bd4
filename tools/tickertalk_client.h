#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace orv {

// A blocking tickertalk client for tools and tests: one connection, every wait bounded by
// the timeout given at construction (zero waits without limit).
class tickertalk_client {
 public:
  using field_list = std::vector<std::string>;

  explicit tickertalk_client(std::chrono::milliseconds timeout);
  ~tickertalk_client();

  void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

  // False when no connection could be made.
  bool connect(const std::string& host, const std::string& port);
  // Renders the fields as one message; false when the connection refused them.
  bool send(const field_list& fields);
  // Exactly these bytes, framing included.
  bool send_raw(std::string_view bytes);
  // The next complete message; empty when none arrives in time, the connection ends or the
  // incoming framing is malformed.
  std::optional<field_list> receive();
  // The next message whose first field is tag, skipping others.
  std::optional<field_list> receive_reply(const std::string& tag);

  // False once the peer closed, a read or write failed, or the framing was malformed.
  bool is_open() const;
  void close();

 private:
  class reader;
  template <class Done>
  bool run_until(const Done& done);

  std::chrono::milliseconds timeout_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  std::unique_ptr<reader> reader_;
  std::deque<field_list> inbox_;
  std::array<char, 65536> chunk_;
  bool open_ = false;
};

}  // namespace orv
