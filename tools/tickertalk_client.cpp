#include "tools/tickertalk_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include "runtime/plaintalk.h"
#include "runtime/protocol.h"

namespace orv {

namespace asio = boost::asio;
using asio::ip::tcp;

// Cuts incoming bytes into messages with the library's own framing. It is attached to a
// transport of its own so that a malformed stream, which the framing answers by closing,
// shows up here as a closed connection.
class tickertalk_client::reader : public vorn::plaintalk_protocol {
 public:
  explicit reader(std::deque<field_list>& inbox) : vorn::plaintalk_protocol(nullptr), inbox_(inbox) {
    attach_transport(closing_);
  }
  ~reader() override { detach_transport(); }

  void connection_made() override { install_message_parser(std::make_shared<vorn::message_accumulator>(*this)); }
  void message_received(const std::vector<std::string>& fields) override { inbox_.push_back(fields); }
  bool garbled() const { return !closing_.is_open(); }

 private:
  // Sends nothing (the client writes to its socket itself); only remembers being closed.
  struct closing_transport : vorn::transport {
    bool write(std::string_view) override { return open; }
    void close(std::string_view) override { open = false; }
    bool is_open() const override { return open; }
    bool open = true;
  };

  std::deque<field_list>& inbox_;
  closing_transport closing_;
};

tickertalk_client::tickertalk_client(std::chrono::milliseconds timeout)
    : timeout_(timeout), socket_(io_), reader_(std::make_unique<reader>(inbox_)) {}

tickertalk_client::~tickertalk_client() = default;

// Runs the loop until done() holds or the timeout passes; pending operations are then
// cancelled and their handlers run, so nothing refers to this call's locals afterwards.
template <class Done>
bool tickertalk_client::run_until(const Done& done) {
  io_.restart();
  if (timeout_.count() == 0) {
    while (!done() && io_.run_one() > 0) {
    }
  } else {
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (!done() && io_.run_one_until(deadline) > 0) {
    }
  }
  if (done()) return true;
  boost::system::error_code ignored;
  socket_.cancel(ignored);
  io_.restart();
  io_.run();
  return false;
}

bool tickertalk_client::connect(const std::string& host, const std::string& port) {
  boost::system::error_code error;
  tcp::resolver resolver(io_);
  auto endpoints = resolver.resolve(host, port, error);
  if (error) return false;
  bool finished = false;
  asio::async_connect(socket_, endpoints, [&](const boost::system::error_code& e, const tcp::endpoint&) {
    error = e;
    finished = true;
  });
  open_ = run_until([&] { return finished; }) && !error;
  if (open_) socket_.set_option(tcp::no_delay(true), error);
  return open_;
}

bool tickertalk_client::send(const field_list& fields) {
  if (fields.empty()) return false;
  vorn::message request;
  request.start(fields.front());
  for (std::size_t i = 1; i < fields.size(); ++i) request.add_field(fields[i]);
  request.end_line();
  return send_raw(request.text());
}

bool tickertalk_client::send_raw(std::string_view bytes) {
  if (!open_) return false;
  boost::system::error_code error;
  bool finished = false;
  asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()),
                    [&](const boost::system::error_code& e, std::size_t) {
                      error = e;
                      finished = true;
                    });
  if (!run_until([&] { return finished; }) || error) open_ = false;
  return open_;
}

std::optional<tickertalk_client::field_list> tickertalk_client::receive() {
  while (inbox_.empty()) {
    if (!open_) return std::nullopt;
    boost::system::error_code error;
    std::size_t received = 0;
    bool finished = false;
    socket_.async_read_some(asio::buffer(chunk_), [&](const boost::system::error_code& e, std::size_t n) {
      error = e;
      received = n;
      finished = true;
    });
    if (!run_until([&] { return finished; })) return std::nullopt;
    if (error) {
      open_ = false;
      continue;
    }
    reader_->data_received(chunk_.data(), received);
    if (reader_->garbled()) open_ = false;
  }
  auto message = std::move(inbox_.front());
  inbox_.pop_front();
  return message;
}

std::optional<tickertalk_client::field_list> tickertalk_client::receive_reply(const std::string& tag) {
  while (auto message = receive())
    if (!message->empty() && message->front() == tag) return message;
  return std::nullopt;
}

bool tickertalk_client::is_open() const { return open_; }

void tickertalk_client::close() {
  boost::system::error_code ignored;
  socket_.close(ignored);
  open_ = false;
}

}  // namespace orv
