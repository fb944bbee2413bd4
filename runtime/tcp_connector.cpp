#include "runtime/tcp_connector.h"

#include <algorithm>
#include <chrono>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "runtime/tcp_connection.h"

namespace vorn {

namespace {

using boost::asio::ip::tcp;
using std::chrono::milliseconds;

// Pace of new attempts: 100 ms, doubling to at most 5 s. It starts over only after a
// connection has stayed up this long, so a peer that accepts and hangs up at once is
// retried at the slow pace, not every 100 ms.
constexpr milliseconds first_retry_delay{100};
constexpr milliseconds max_retry_delay{5000};
constexpr std::chrono::seconds stable_connection{10};

class tcp_connector final : public connector, public std::enable_shared_from_this<tcp_connector> {
 public:
  tcp_connector(asyncore& core, std::shared_ptr<client_factory_interface> factory, std::string host,
                std::string port)
      : core_(core.get_shared_ptr()),
        factory_(std::move(factory)),
        logger_(factory_->get_logger()),
        host_(std::move(host)),
        port_(std::move(port)),
        resolver_(core.io_context()),
        timer_(core.io_context()),
        socket_(core.io_context()) {}

  ~tcp_connector() override {
    timer_.cancel();
    resolver_.cancel();
    boost::system::error_code ignored;
    socket_.close(ignored);
    if (auto c = connection_.lock()) c->close({});
  }

  bool is_connected() const override { return state_ == state::connected; }

  void connect() override {
    if (state_ != state::idle) return;
    state_ = state::waiting;
    timer_.expires_after(delay_);
    delay_ = std::min(delay_ * 2, max_retry_delay);
    timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!ec && self) self->attempt();
    });
  }

  void attempt() {
    state_ = state::resolving;
    if (host_.empty() || port_ == "0") {
      // Reported from a fresh handler, like every other failure.
      boost::asio::post(timer_.get_executor(), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->failed("no address to connect to");
      });
      return;
    }
    resolver_.async_resolve(host_, port_, [weak = weak_from_this()](const boost::system::error_code& ec,
                                                                      tcp::resolver::results_type results) {
      auto self = weak.lock();
      if (!self) return;
      if (ec) {
        self->failed("can't resolve: " + ec.message());
        return;
      }
      self->state_ = state::connecting;
      boost::asio::async_connect(self->socket_, results,
                                 [weak](const boost::system::error_code& ec, const tcp::endpoint&) {
                                   auto self = weak.lock();
                                   if (!self) return;
                                   if (ec)
                                     self->failed("can't connect: " + ec.message());
                                   else
                                     self->connected();
                                 });
    });
  }

 private:
  enum class state { idle, waiting, resolving, connecting, connected };

  std::string where() const { return host_ + ":" + port_; }

  void failed(const std::string& reason) {
    state_ = state::idle;
    detail::log_line(logger_, 45, "Connecting to " + where() + " failed: " + reason);
    factory_->connection_failed(shared_from_this(), reason);
  }

  void connected() {
    std::shared_ptr<base_protocol> protocol = factory_->create_protocol();
    if (!protocol) {
      boost::system::error_code ignored;
      socket_.close(ignored);
      failed("the factory refused the connection");
      return;
    }
    state_ = state::connected;
    connected_at_ = std::chrono::steady_clock::now();
    auto c = std::make_shared<detail::tcp_connection>(std::move(socket_), std::move(protocol), logger_,
                                                      [weak = weak_from_this()](const std::string& reason) {
                                                        if (auto self = weak.lock()) self->lost(reason);
                                                      },
                                                      &core_->connection_budget());
    socket_ = tcp::socket(timer_.get_executor());
    connection_ = c;
    c->start();
  }

  void lost(const std::string& reason) {
    state_ = state::idle;
    if (std::chrono::steady_clock::now() - connected_at_ >= stable_connection) delay_ = first_retry_delay;
    factory_->connection_lost(shared_from_this(), reason);
  }

  std::shared_ptr<asyncore> core_;
  std::shared_ptr<client_factory_interface> factory_;
  std::shared_ptr<logger_base> logger_;
  std::string host_;
  std::string port_;
  tcp::resolver resolver_;
  boost::asio::steady_timer timer_;
  tcp::socket socket_;
  std::weak_ptr<detail::tcp_connection> connection_;
  state state_ = state::idle;
  milliseconds delay_ = first_retry_delay;
  std::chrono::steady_clock::time_point connected_at_;
};

}  // namespace

std::shared_ptr<connector> connect_tcp(asyncore& core, std::shared_ptr<client_factory_interface> factory,
                                       const std::string& host, const std::string& port) {
  auto c = std::make_shared<tcp_connector>(core, std::move(factory), host, port);
  c->attempt();
  return c;
}

}  // namespace vorn
