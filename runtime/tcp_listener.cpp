#include "runtime/tcp_listener.h"

#include <chrono>
#include <stdexcept>

#include <boost/asio/steady_timer.hpp>

#include "runtime/descriptor_shortage.h"
#include "runtime/loop_turns.h"
#include "runtime/system_error.h"
#include "runtime/tcp_connection.h"

namespace vorn {

namespace {

using boost::asio::ip::tcp;

class acceptor_listener final : public tcp_listener, public std::enable_shared_from_this<acceptor_listener> {
 public:
  acceptor_listener(asyncore& core, std::shared_ptr<protocol_factory_interface> factory)
      : acceptor_(core.io_context()),
        retry_(core.io_context()),
        factory_(std::move(factory)),
        logger_(factory_->get_logger()),
        budget_(core.connection_budget()) {}

  void open(int port) {
    auto fail = [port](const std::string& what, const boost::system::error_code& ec) {
      return std::runtime_error("Can't listen on port " + std::to_string(port) + ": " + what + ": " +
                                format_system_error(ec.value()));
    };
    if (port < 0 || port > 65535)
      throw std::runtime_error("Can't listen on port " + std::to_string(port) + ": not a TCP port");
    tcp::endpoint any(tcp::v4(), static_cast<unsigned short>(port));
    boost::system::error_code ec;
    if (acceptor_.open(any.protocol(), ec)) throw fail("socket failed", ec);
    acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (acceptor_.bind(any, ec)) throw fail("bind failed", ec);
    if (acceptor_.listen(tcp::acceptor::max_listen_connections, ec)) throw fail("listen failed", ec);
    port_ = acceptor_.local_endpoint().port();
    detail::log_line(logger_, 45, "Listening on port " + std::to_string(port_));
  }

  void accept_next() {
    acceptor_.async_accept([self = shared_from_this()](const boost::system::error_code& ec, tcp::socket socket) {
      loop_turns::name("connection", "accept");
      if (!self->acceptor_.is_open()) return;
      if (ec) {
        self->accept_failed(ec);
        return;
      }
      descriptor_shortage::of(self->acceptor_.get_executor()).accepted(self->logger_);
      self->accept_next();
      self->serve(std::move(socket));
    });
  }

  int port() const override { return port_; }

  void close() override {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
  }

 private:
  // Errors such as running out of descriptors repeat at once; pause before the next try
  // instead of spinning on them.
  void accept_failed(const boost::system::error_code& ec) {
    if (descriptor_shortage::is_shortage(ec.value())) {
      // Held strongly, as a pending accept holds it: nobody else keeps the listener.
      descriptor_shortage::of(acceptor_.get_executor())
          .wait("port " + std::to_string(port_), ec.value(), logger_, [self = shared_from_this()] {
            if (self->acceptor_.is_open()) self->accept_next();
          });
      return;
    }
    detail::log_line(logger_, 20, "Accept failed on port " + std::to_string(port_) + ": " + ec.message());
    retry_.expires_after(std::chrono::milliseconds(250));
    retry_.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
      if (!e && self->acceptor_.is_open()) self->accept_next();
    });
  }

  void serve(tcp::socket socket) {
    std::shared_ptr<base_protocol> protocol;
    try {
      protocol = factory_->create_protocol();
    } catch (const std::exception& e) {
      detail::log_line(logger_, 20, std::string("Can't create a protocol for a new connection: ") + e.what());
    }
    if (!protocol) return;  // the socket closes on leaving
    std::make_shared<detail::tcp_connection>(std::move(socket), std::move(protocol), logger_, nullptr, &budget_)
        ->start();
  }

  tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_;
  std::shared_ptr<protocol_factory_interface> factory_;
  std::shared_ptr<logger_base> logger_;
  memory_budget& budget_;
  int port_ = 0;
};

}  // namespace

std::shared_ptr<tcp_listener> listen_tcp(asyncore& core, int port,
                                         std::shared_ptr<protocol_factory_interface> factory) {
  auto listener = std::make_shared<acceptor_listener>(core, std::move(factory));
  listener->open(port);
  listener->accept_next();
  return listener;
}

}  // namespace vorn
