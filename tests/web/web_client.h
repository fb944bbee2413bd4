#pragma once

// Clients of orv_ticker_web for the tests: a bridge process, raw HTTP exchanges and
// WebSocket pages, every wait bounded.

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "tests/support/child_process.h"

namespace orv::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
using asio::ip::tcp;

class bridge_process : public child_process {
 public:
  bridge_process(int service_port, std::vector<std::string> extra = {}, int port = free_port(),
                 const std::string& address = "127.0.0.1")
      : child_process(ORV_TICKER_WEB_EXE, arguments(service_port, std::move(extra), port, address)), port_(port) {}

  int port() const { return port_; }
  bool wait_listening() {
    return eventually([&] {
      asio::io_context io;
      tcp::socket s(io);
      boost::system::error_code ec;
      s.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)}, ec);
      return !ec || !running();
    }) && running();
  }

 private:
  static std::vector<std::string> arguments(int service_port, std::vector<std::string> extra, int port,
                                            const std::string& address) {
    std::vector<std::string> args{"--listen", address + ":" + std::to_string(port), "--service",
                                  "127.0.0.1:" + std::to_string(service_port), "--static", ORV_WEB_STATIC_DIR};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  int port_;
};

// Sends raw bytes and returns all the bridge answers until it closes or 5 s pass.
inline std::string http_exchange(int port, const std::string& request) {
  asio::io_context io;
  tcp::socket s(io);
  boost::system::error_code ec;
  s.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, ec);
  if (ec) return "no connection";
  asio::write(s, asio::buffer(request), ec);
  std::string answer;
  std::array<char, 4096> chunk;
  std::function<void()> read = [&] {
    s.async_read_some(asio::buffer(chunk), [&](const boost::system::error_code& e, std::size_t n) {
      answer.append(chunk.data(), n);
      if (!e) read();
    });
  };
  read();
  io.run_for(std::chrono::seconds(5));
  return answer;
}

// The status code of a GET of target.
inline int http_status(int port, const std::string& target, const std::string& headers = "") {
  const auto answer =
      http_exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "Connection: close\r\n\r\n");
  return answer.size() > 12 ? std::stoi(answer.substr(9, 3)) : 0;
}

// One page's WebSocket.
class page_socket {
 public:
  // Empty origin: none is sent.
  page_socket(int port, const std::string& target, const std::string& origin = "") : ws_(io_) {
    boost::system::error_code ec;
    beast::get_lowest_layer(ws_).connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, ec);
    if (ec) return;
    ws_.set_option(beast::websocket::stream_base::decorator([origin](beast::websocket::request_type& r) {
      if (!origin.empty()) r.set(beast::http::field::origin, origin);
    }));
    ws_.handshake(response_, "127.0.0.1:" + std::to_string(port), target, ec);
    open_ = !ec;
  }
  bool open() const { return open_; }

  void send(const std::string& text) {
    boost::system::error_code ec;
    ws_.write(asio::buffer(text), ec);
  }
  // The next message, or nothing when the socket closes or none comes within limit.
  std::optional<std::string> receive(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    if (!open_) return std::nullopt;
    bool done = false;
    boost::system::error_code error;
    ws_.async_read(buffer_, [&](const boost::system::error_code& e, std::size_t) {
      error = e;
      done = true;
    });
    io_.restart();
    io_.run_for(limit);
    if (!done) {
      beast::get_lowest_layer(ws_).cancel();
      io_.restart();
      io_.run();
      open_ = false;
      return std::nullopt;
    }
    if (error) {
      open_ = false;
      return std::nullopt;
    }
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    return text;
  }
  // Reads whatever comes until the bridge closes the page: the bytes read, or nothing when
  // it is still open after limit.
  std::optional<std::size_t> bytes_until_closed(std::chrono::milliseconds limit) {
    std::size_t bytes = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      bool done = false;
      boost::system::error_code error;
      std::array<char, 65536> chunk;
      beast::get_lowest_layer(ws_).async_read_some(asio::buffer(chunk), [&](const boost::system::error_code& e, std::size_t n) {
        error = e;
        bytes += n;
        done = true;
      });
      io_.restart();
      io_.run_for(std::chrono::milliseconds(500));
      if (!done) {
        beast::get_lowest_layer(ws_).cancel();
        io_.restart();
        io_.run();
      } else if (error) {
        return bytes;
      }
    }
    return std::nullopt;
  }
  // The first message holding every one of parts, skipping others.
  std::optional<std::string> receive_with(const std::vector<std::string>& parts,
                                          std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      auto m = receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
      if (!m) return std::nullopt;
      bool all = true;
      for (const auto& p : parts) all = all && m->find(p) != std::string::npos;
      if (all) return m;
    }
    return std::nullopt;
  }

 private:
  asio::io_context io_;
  beast::websocket::stream<tcp::socket> ws_;
  beast::websocket::response_type response_;
  beast::flat_buffer buffer_;
  bool open_ = false;
};

// A page request framed like a tickertalk message.
inline std::string framed(const std::vector<std::string>& fields) {
  std::string text;
  for (const auto& f : fields) text += (text.empty() ? "" : " ") + ("{" + std::to_string(f.size()) + "}") + f;
  return text + "\n";
}

}  // namespace orv::testing
