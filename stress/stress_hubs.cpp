#include "stress/stress_hubs.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <chrono>

#include <array>
#include <list>
#include <string>

namespace orv::stress {

namespace asio = boost::asio;
using asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

constexpr char header[] = "HTTP/1.0 200 OK\r\n\r\n";
constexpr char separator[] = "\r\n---QuillmereSeparator---\r\n";

std::string security(std::int64_t n) {
  return "<SECURITY id=\"e" + std::to_string(n % 1000) + "\"><NAME>endless " + std::to_string(n) + "</NAME></SECURITY>";
}

}  // namespace

struct fault_hub::state : std::enable_shared_from_this<state> {
  state(asio::io_context& io, hub_kind k) : acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)), kind(k) {}

  void accept() {
    auto socket = std::make_shared<tcp::socket>(acceptor.get_executor());
    acceptor.async_accept(*socket, [self = shared_from_this(), socket](const error_code& ec) {
      if (ec) return;
      if (self->paused) {
        error_code ignored;
        socket->close(ignored);
        return self->accept();
      }
      ++self->totals.connections;
      self->sockets.push_back(socket);
      self->serve(socket);
      self->accept();
    });
  }

  void serve(const std::shared_ptr<tcp::socket>& socket) {
    if (kind == hub_kind::silent) return;
    if (kind == hub_kind::flapping) {
      auto reply = std::make_shared<std::string>(
          std::string(header) +
          "<GROUP id=\"flap\"><SECURITIES><SECURITY id=\"f1\"><NAME>flap</NAME></SECURITY></SECURITIES></GROUP>" +
          separator);
      asio::async_write(*socket, asio::buffer(*reply), [self = shared_from_this(), socket, reply](const error_code&, std::size_t n) {
        self->totals.bytes_sent += static_cast<std::int64_t>(n);
        error_code ignored;
        socket->close(ignored);
      });
      return;
    }
    if (kind == hub_kind::large) {
      asio::async_write(*socket, asio::buffer(header, sizeof header - 1), [self = shared_from_this(), socket](const error_code& ec, std::size_t n) {
        self->totals.bytes_sent += static_cast<std::int64_t>(n);
        if (!ec) self->send_large(socket, 0);
      });
      return;
    }
    auto opening = std::make_shared<std::string>(std::string(header) + "<GROUP id=\"endless\"><SECURITIES>");
    asio::async_write(*socket, asio::buffer(*opening), [self = shared_from_this(), socket, opening](const error_code& ec, std::size_t n) {
      self->totals.bytes_sent += static_cast<std::int64_t>(n);
      if (!ec) self->go_on(socket, 0);
    });
  }

  // Writes on as fast as the service reads, until it hangs up.
  void go_on(const std::shared_ptr<tcp::socket>& socket, std::int64_t next) {
    auto chunk = std::make_shared<std::string>();
    while (chunk->size() < 64 * 1024) *chunk += security(next++);
    asio::async_write(*socket, asio::buffer(*chunk), [self = shared_from_this(), socket, chunk, next](const error_code& ec, std::size_t n) {
      self->totals.bytes_sent += static_cast<std::int64_t>(n);
      if (!ec && !self->stopped && !self->paused) self->go_on(socket, next);
    });
  }

  // Every security's values change from one document to the next.
  void send_large(const std::shared_ptr<tcp::socket>& socket, int version) {
    auto document = std::make_shared<std::string>("<GROUP id=\"large\"><SECURITIES>");
    for (int i = 0; i < 5000; ++i)
      *document += "<SECURITY id=\"l" + std::to_string(i) + "\"><NAME>Large " + std::to_string(i) + "</NAME><PRICE>" +
                   std::to_string(version) + "." + std::to_string(i % 100) + "</PRICE><CHANGE>+" +
                   std::to_string(i % 7) + "</CHANGE><VOLUME>" + std::to_string(i * 1000 + version) +
                   "</VOLUME><TIME>17:00:00</TIME><active>1</active></SECURITY>";
    *document += std::string("</SECURITIES></GROUP>") + separator;
    asio::async_write(*socket, asio::buffer(*document), [self = shared_from_this(), socket, document, version](const error_code& ec, std::size_t n) {
      self->totals.bytes_sent += static_cast<std::int64_t>(n);
      if (ec || self->stopped || self->paused) return;
      auto pause = std::make_shared<asio::steady_timer>(self->acceptor.get_executor(), std::chrono::milliseconds(500));
      pause->async_wait([self, socket, pause, version](const error_code& waited) {
        if (!waited && !self->stopped && !self->paused) self->send_large(socket, version + 1);
      });
    });
  }

  tcp::acceptor acceptor;
  hub_kind kind;
  hub_totals totals;
  bool stopped = false;
  bool paused = false;
  std::list<std::shared_ptr<tcp::socket>> sockets;
};

fault_hub::fault_hub(asio::io_context& io, hub_kind kind) : state_(std::make_shared<state>(io, kind)) {
  state_->accept();
}

fault_hub::~fault_hub() { stop(); }

std::uint16_t fault_hub::port() const { return state_->acceptor.local_endpoint().port(); }

const hub_totals& fault_hub::totals() const { return state_->totals; }

void fault_hub::serve(bool on) {
  state_->paused = !on;
  if (on) return;
  error_code ignored;
  for (auto& socket : state_->sockets) socket->close(ignored);
  state_->sockets.clear();
}

void fault_hub::stop() {
  error_code ignored;
  state_->stopped = true;
  state_->acceptor.close(ignored);
  for (auto& socket : state_->sockets) socket->close(ignored);
  state_->sockets.clear();
}

}  // namespace orv::stress
