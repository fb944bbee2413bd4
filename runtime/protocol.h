#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/logger_base.h"

namespace vorn {

class connector;

// The connection a protocol writes through. The library's TCP connections implement it;
// a test can attach its own.
class transport {
 public:
  virtual ~transport() = default;
  // Queues bytes for sending; false when refused (closing, or the unsent output would pass
  // the protocol's cap, which closes the connection).
  virtual bool write(std::string_view bytes) = 0;
  // One message in parts, taken over rather than copied (a reply of many megabytes); the
  // cap counts it as one write.
  virtual bool write_parts(std::vector<std::string>&& parts) {
    for (const std::string& part : parts)
      if (!write(part)) return false;
    return true;
  }
  // Closes at once; unsent output is dropped. A non-empty reason is logged.
  virtual void close(std::string_view reason) = 0;
  virtual bool is_open() const = 0;
};

// Received bytes a protocol has not consumed yet: [read_position, fill_position) of a block
// of capacity() bytes. Appending moves the unread bytes to the front when that makes room.
class receive_buffer {
 public:
  std::string_view unread() const { return {bytes_.get() + read_, fill_ - read_}; }
  void consume(std::size_t n);
  void append(const char* data, std::size_t length);
  // Moves the unread bytes to the front: read_position() becomes 0.
  void compact();

  std::size_t read_position() const { return read_; }
  std::size_t fill_position() const { return fill_; }
  std::size_t capacity() const { return capacity_; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t capacity_ = 0;
  std::size_t read_ = 0;
  std::size_t fill_ = 0;
};

// One side of one connection. The library holds it by shared handle while the connection
// lives and releases it once the connection is gone. Every hook runs on the loop thread.
class base_protocol {
 public:
  static constexpr std::size_t default_max_unsent_output = std::size_t{8} << 20;
  static constexpr std::size_t max_buffered_input = std::size_t{16} << 20;

  base_protocol() = default;
  virtual ~base_protocol() = default;
  base_protocol(const base_protocol&) = delete;
  base_protocol& operator=(const base_protocol&) = delete;

  virtual int default_port() const { return 0; }
  // What the loop's turn record calls this protocol's work ("tickertalk"); a literal.
  virtual const char* kind() const { return "connection"; }
  // The transport is ready; writing is possible from here on.
  virtual void connection_made() {}
  // One chunk as it arrived; returns how many of its bytes were taken. Fewer than length
  // means the protocol yields its turn: the transport reads nothing new and hands over the
  // rest once the loop has run other work. By default all is appended to buffer() (a
  // connection holding more than max_buffered_input unread bytes is closed) and
  // received_data_added_to_buffer() is called.
  virtual std::size_t data_received(const char* data, std::size_t length);
  virtual void received_data_added_to_buffer() {}
  // Input bytes kept for messages not complete yet; they count against the loop's memory budget.
  virtual std::size_t held_input() const { return buffer_.unread().size(); }
  // The transport is gone: the peer closed, an error occurred, or close_connection ran.
  virtual void connection_lost() {}
  // After connection_lost: gives back part of what the protocol holds; true while more is
  // left. The transport calls it once per loop turn until it returns false, so a protocol
  // holding many megabytes does not spend one turn freeing them all.
  virtual bool release_some() { return false; }
  // Work of its own is left for a later turn although all input handed over was taken: the
  // transport then reads nothing new and, once the loop has run other work, calls
  // data_received again, with no bytes when it holds none back.
  virtual bool has_work_left() const { return false; }

  // Queues bytes for sending; false when there is no open transport.
  bool write(std::string_view bytes);
  bool write_parts(std::vector<std::string>&& parts);
  bool has_transport() const;
  // Closes the connection; the reason, when given, is logged. The protocol is released
  // after the current callback returns, never inside it.
  void close_connection(std::string_view reason = {});

  // Past this many unsent bytes the peer counts as not reading and is disconnected.
  std::size_t max_unsent_output() const { return max_unsent_output_; }
  void set_max_unsent_output(std::size_t bytes) { max_unsent_output_ = bytes; }

  // Called by transports: attach calls connection_made, detach calls connection_lost.
  void attach_transport(transport& t);
  void detach_transport();

 protected:
  receive_buffer& buffer() { return buffer_; }
  // A transport was attached and has been closed since; further input is moot.
  bool transport_closed() const { return transport_ && !transport_->is_open(); }

 private:
  transport* transport_ = nullptr;
  receive_buffer buffer_;
  std::size_t max_unsent_output_ = default_max_unsent_output;
};

// Makes the protocol for each accepted connection.
class protocol_factory_interface {
 public:
  virtual ~protocol_factory_interface() = default;
  // An empty handle refuses the connection.
  virtual std::shared_ptr<base_protocol> create_protocol() = 0;
  // Connection events of this factory's connections are logged here.
  virtual std::shared_ptr<logger_base> get_logger() = 0;
};

class protocol_factory_base : public virtual protocol_factory_interface {
 public:
  explicit protocol_factory_base(std::shared_ptr<logger_base> logger) : logger_(std::move(logger)) {}
  std::shared_ptr<logger_base> get_logger() override { return logger_; }

 protected:
  std::shared_ptr<logger_base> logger_;
};

// The outgoing side: also told when an attempt fails or an established connection is lost.
// Neither retries by itself; call c->connect() to start a new, paced attempt.
class client_factory_interface : public virtual protocol_factory_interface {
 public:
  virtual void connection_failed(const std::shared_ptr<connector>& c, const std::string& reason) = 0;
  virtual void connection_lost(const std::shared_ptr<connector>& c, const std::string& reason) = 0;
};

class client_factory_base : public protocol_factory_base, public client_factory_interface {
 public:
  using protocol_factory_base::protocol_factory_base;
};

}  // namespace vorn
