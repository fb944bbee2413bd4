#include "stress/stress_clients.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <functional>
#include <random>

#include "runtime/plaintalk.h"

namespace orv::stress {

namespace asio = boost::asio;
using error_code = boost::system::error_code;

namespace {

struct unused_transport : vorn::transport {
  bool write(std::string_view) override { return true; }
  void close(std::string_view) override { open = false; }
  bool is_open() const override { return open; }
  bool open = true;
};

// Cuts replies out of the bytes read, with the service's own framing.
class reply_reader : public vorn::plaintalk_protocol {
 public:
  using handler = std::function<void(const std::vector<std::string>&)>;
  explicit reply_reader(handler on_message) : vorn::plaintalk_protocol(nullptr), on_message_(std::move(on_message)) {
    attach_transport(wire_);
  }
  ~reply_reader() override { detach_transport(); }
  void connection_made() override { install_message_parser(std::make_shared<vorn::message_accumulator>(*this)); }
  void message_received(const std::vector<std::string>& fields) override { on_message_(fields); }
  void feed(const char* data, std::size_t length) { data_received(data, length); }

 private:
  unused_transport wire_;
  handler on_message_;
};

// A peer that does not read should not have the kernel soak up megabytes on its behalf:
// the point is to see what the service does once its own output backs up.
void shrink_receive_buffer(tcp::socket& socket) {
  error_code ignored;
  socket.open(tcp::v4(), ignored);
  socket.set_option(asio::socket_base::receive_buffer_size(4096), ignored);
}

class talk_client : public std::enable_shared_from_this<talk_client> {
 public:
  talk_client(asio::io_context& io, const std::vector<std::vector<std::string>>& commands, int count, int depth,
              talk_totals& totals)
      : socket_(io),
        commands_(commands),
        count_(count),
        depth_(depth),
        totals_(totals),
        sent_at_(static_cast<std::size_t>(count)),
        reader_([this](const std::vector<std::string>& fields) { on_reply(fields); }) {}

  void start(const tcp::endpoint& service) {
    socket_.async_connect(service, [self = shared_from_this()](const error_code& ec) {
      if (ec) return self->fail();
      self->send_more();
      self->read();
    });
  }

 private:
  void send_more() {
    while (sent_ < count_ && sent_ - answered_ < depth_) {
      std::vector<std::string> fields{std::to_string(sent_)};
      const auto& command = commands_[static_cast<std::size_t>(sent_) % commands_.size()];
      fields.insert(fields.end(), command.begin(), command.end());
      outgoing_ += render(fields);
      sent_at_[static_cast<std::size_t>(sent_++)] = clock::now();
      ++totals_.sent;
    }
    write();
  }

  void write() {
    if (writing_ || outgoing_.empty() || done_) return;
    writing_ = true;
    in_flight_.swap(outgoing_);
    outgoing_.clear();
    asio::async_write(socket_, asio::buffer(in_flight_), [self = shared_from_this()](const error_code& ec, std::size_t) {
      self->writing_ = false;
      if (ec) return self->fail();
      self->write();
    });
  }

  void read() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const error_code& ec, std::size_t n) {
      if (self->done_) return;
      if (ec) return self->fail();
      self->reader_.feed(self->buffer_.data(), n);
      if (!self->done_) self->read();
    });
  }

  void on_reply(const std::vector<std::string>& fields) {
    if (done_) return;
    if (fields.empty() || fields[0] != std::to_string(answered_)) ++totals_.out_of_order;
    if (fields.size() > 1 && fields[1] == "error") ++totals_.error_replies;
    const auto waited = clock::now() - sent_at_[static_cast<std::size_t>(answered_)];
    totals_.latencies_ms.push_back(std::chrono::duration<double, std::milli>(waited).count());
    ++totals_.answered;
    if (++answered_ == count_) {
      done_ = true;
      ++totals_.finished;
      close();
      return;
    }
    send_more();
  }

  void fail() {
    if (done_) return;
    done_ = true;
    ++totals_.lost;
    close();
  }

  void close() {
    error_code ignored;
    socket_.close(ignored);
  }

  tcp::socket socket_;
  const std::vector<std::vector<std::string>>& commands_;
  const int count_;
  const int depth_;
  talk_totals& totals_;
  int sent_ = 0;
  int answered_ = 0;
  bool done_ = false;
  bool writing_ = false;
  std::string outgoing_;
  std::string in_flight_;
  std::vector<clock::time_point> sent_at_;
  std::array<char, 16384> buffer_;
  reply_reader reader_;
};

// Sends its payload, then (unless it vanishes) waits a while without reading, and at last
// reads whatever is there to learn whether the service has closed the connection.
class fault_client : public std::enable_shared_from_this<fault_client> {
 public:
  fault_client(asio::io_context& io, const std::string& ticker, fault_kind kind, std::uint32_t seed,
               fault_totals& totals)
      : socket_(io), timer_(io), kind_(kind), totals_(totals), payload_(make_payload(ticker, kind, seed)) {}

  void start(const tcp::endpoint& service) {
    ++totals_.started;
    if (kind_ == fault_kind::never_reads) shrink_receive_buffer(socket_);
    socket_.async_connect(service, [self = shared_from_this()](const error_code& ec) {
      if (ec) return;
      asio::async_write(self->socket_, asio::buffer(self->payload_), [self](const error_code& ec, std::size_t n) {
        self->totals_.bytes_sent += static_cast<std::int64_t>(n);
        if (ec) {  // refused mid-write: the service has closed already
          ++self->totals_.closed_by_service;
          return;
        }
        if (self->kind_ == fault_kind::vanish) {
          error_code ignored;
          self->socket_.close(ignored);
          return;
        }
        self->timer_.expires_after(std::chrono::seconds(self->kind_ == fault_kind::never_reads ? 5 : 1));
        self->timer_.async_wait([self](const error_code&) { self->drain(); });
      });
    });
  }

 private:
  static std::string make_payload(const std::string& ticker, fault_kind kind, std::uint32_t seed) {
    switch (kind) {
      case fault_kind::garbage: {
        std::mt19937 random(seed);
        std::string bytes(64 * 1024, '\0');
        for (char& c : bytes) c = static_cast<char>(random() % 7 == 0 ? '\n' : random() & 0xff);
        return bytes;
      }
      case fault_kind::oversize_field:
        return "1 on_ticker " + ticker + " GetGroups {17000000}" + std::string(256 * 1024, 'x');
      case fault_kind::vanish:
        return "1 on_ticker " + ticker + " GetGroups {100}abc";
      case fault_kind::never_reads: {
        // Replies of many kilobytes each, far more of them than the service may hold back.
        std::string commands;
        for (int i = 0; i < 2000; ++i) commands += std::to_string(i) + " on_ticker " + ticker + " GetGroupsWithContent\r\n";
        return commands;
      }
    }
    return {};
  }

  // Reads until the service closes (counted) or stays silent for two seconds.
  void drain() {
    timer_.expires_after(std::chrono::seconds(2));
    timer_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (ec) return;
      error_code ignored;
      self->socket_.close(ignored);
    });
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const error_code& ec, std::size_t) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        ++self->totals_.closed_by_service;
        self->timer_.cancel();
        return;
      }
      self->drain();
    });
  }

  tcp::socket socket_;
  asio::steady_timer timer_;
  fault_kind kind_;
  fault_totals& totals_;
  std::string payload_;
  std::array<char, 65536> buffer_;
};

class log_listener : public std::enable_shared_from_this<log_listener> {
 public:
  log_listener(asio::io_context& io, bool reads, listener_totals& totals)
      : socket_(io), timer_(io), reads_(reads), totals_(totals) {}

  void start(const tcp::endpoint& events) {
    if (!reads_) shrink_receive_buffer(socket_);
    socket_.async_connect(events, [self = shared_from_this()](const error_code& ec) {
      if (ec) return;
      asio::async_write(self->socket_, asio::buffer(greeting, 1), [self](const error_code& ec, std::size_t) {
        if (ec) return;
        if (self->reads_) return self->read();
        // Long enough for the service's queue for it to fill.
        self->timer_.expires_after(std::chrono::seconds(10));
        self->timer_.async_wait([self](const error_code& ec) {
          if (!ec) self->check_dropped();
        });
      });
    });
  }

  void stop() {
    error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
  }

 private:
  static constexpr char greeting[] = "\n";

  void read() {
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const error_code& ec, std::size_t n) {
      if (ec) return;
      for (std::size_t i = 0; i < n; ++i) self->totals_.lines_read += self->buffer_[i] == '\n';
      self->read();
    });
  }

  // Reads what was queued for it; an end of stream means the service gave up on it.
  void check_dropped() {
    timer_.expires_after(std::chrono::seconds(2));
    timer_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->stop();
    });
    socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](const error_code& ec, std::size_t) {
      if (ec == asio::error::operation_aborted) return;
      if (ec) {
        self->totals_.silent_dropped = true;
        self->timer_.cancel();
        return;
      }
      self->check_dropped();
    });
  }

  tcp::socket socket_;
  asio::steady_timer timer_;
  bool reads_;
  listener_totals& totals_;
  std::array<char, 65536> buffer_;
};

}  // namespace

std::string render(const std::vector<std::string>& fields) {
  vorn::message message;
  message.start(fields.at(0));
  for (std::size_t i = 1; i < fields.size(); ++i) message.add_field(fields[i]);
  return message.text() + "\r\n";
}

void start_talk_client(asio::io_context& io, const tcp::endpoint& service,
                       const std::vector<std::vector<std::string>>& commands, int count, int depth,
                       talk_totals& totals) {
  std::make_shared<talk_client>(io, commands, count, depth, totals)->start(service);
}

void start_fault_client(asio::io_context& io, const tcp::endpoint& service, const std::string& ticker,
                        fault_kind kind, std::uint32_t seed, fault_totals& totals) {
  std::make_shared<fault_client>(io, ticker, kind, seed, totals)->start(service);
}

std::function<void()> start_log_listeners(asio::io_context& io, const tcp::endpoint& events,
                                          listener_totals& totals) {
  auto reading = std::make_shared<log_listener>(io, true, totals);
  auto silent = std::make_shared<log_listener>(io, false, totals);
  reading->start(events);
  silent->start(events);
  return [reading, silent] {
    reading->stop();
    silent->stop();
  };
}

std::vector<std::string> talk_once(const tcp::endpoint& service, const std::vector<std::string>& command) {
  asio::io_context io;
  tcp::socket socket(io);
  error_code ec;
  socket.connect(service, ec);
  if (ec) return {};
  // A service that stopped answering must not hang the run.
  const timeval limit{10, 0};
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::vector<std::string> fields{"0"};
  fields.insert(fields.end(), command.begin(), command.end());
  asio::write(socket, asio::buffer(render(fields)), ec);
  std::vector<std::string> reply;
  reply_reader reader([&](const std::vector<std::string>& message) {
    if (reply.empty()) reply = message;
  });
  std::array<char, 16384> buffer;
  while (!ec && reply.empty()) {
    const std::size_t n = socket.read_some(asio::buffer(buffer), ec);
    reader.feed(buffer.data(), n);
  }
  return reply;
}

}  // namespace orv::stress
