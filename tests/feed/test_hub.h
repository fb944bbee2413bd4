#pragma once

#include <utility>  // before Asio, whose coroutine header needs it under C++20

#include <boost/asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/quillmere_ticker_manager.h"
#include "runtime/asyncore.h"

namespace orv::testing {

// Keeps each document it is handed.
struct recording_subscriber : quillmere_subscriber {
  std::vector<std::string> documents;
  void receive(const std::string& document) override { documents.push_back(document); }
};

// Runs the loop until done() holds, at most limit of wall time.
inline bool run_until(vorn::asyncore& core, const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    core.process(50);
  }
  return true;
}

// A feed hub on loopback, served by the test's event loop: records each subscriber's
// request and lets the test push bytes or hang up.
class test_hub {
 public:
  struct subscriber {
    explicit subscriber(boost::asio::io_context& io) : socket(io) {}
    boost::asio::ip::tcp::socket socket;
    std::string request;  // up to and including the blank line
    bool request_complete = false;
    bool closed_by_peer = false;
  };

  explicit test_hub(boost::asio::io_context& io, unsigned short port = 0) : io_(io), acceptor_(io) { open(port); }
  ~test_hub() { stop(); }

  unsigned short port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // Listens again on the same port after stop().
  void open(unsigned short port) {
    using boost::asio::ip::tcp;
    const tcp::endpoint at(boost::asio::ip::make_address("127.0.0.1"), port);
    acceptor_.open(at.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(at);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    accept_next();
  }
  void restart() { open(port_); }

  // Hangs up on everyone and stops listening.
  void stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    for (auto& s : subscribers) s->socket.close(ignored);
  }

  void send(subscriber& to, std::string bytes) {
    auto held = std::make_shared<std::string>(std::move(bytes));
    boost::asio::async_write(to.socket, boost::asio::buffer(*held), [held](boost::system::error_code, std::size_t) {});
  }

  std::size_t requests() const {
    std::size_t n = 0;
    for (const auto& s : subscribers) n += s->request_complete ? 1 : 0;
    return n;
  }

  std::vector<std::shared_ptr<subscriber>> subscribers;

 private:
  void accept_next() {
    auto s = std::make_shared<subscriber>(io_);
    acceptor_.async_accept(s->socket, [this, s](boost::system::error_code ec) {
      if (ec) return;
      subscribers.push_back(s);
      read_request(s);
      accept_next();
    });
  }

  void read_request(const std::shared_ptr<subscriber>& s) {
    boost::asio::async_read_until(s->socket, boost::asio::dynamic_buffer(s->request), "\r\n\r\n",
                                  [this, s](boost::system::error_code ec, std::size_t) {
                                    if (ec) {
                                      s->closed_by_peer = true;
                                      return;
                                    }
                                    s->request_complete = true;
                                    watch_for_close(s);
                                  });
  }

  void watch_for_close(const std::shared_ptr<subscriber>& s) {
    auto scratch = std::make_shared<std::array<char, 256>>();
    s->socket.async_read_some(boost::asio::buffer(*scratch), [this, s, scratch](boost::system::error_code ec,
                                                                                std::size_t) {
      if (ec)
        s->closed_by_peer = true;
      else
        watch_for_close(s);
    });
  }

  boost::asio::io_context& io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  unsigned short port_ = 0;
};

}  // namespace orv::testing
