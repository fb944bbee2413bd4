#include "event_server/event_server.h"

#include <algorithm>
#include <array>
#include <deque>
#include <iostream>
#include <list>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/tokenizer.hpp>

#include "runtime/descriptor_shortage.h"
#include "runtime/loop_turns.h"
#include "runtime/system_error.h"

namespace orv {

namespace asio = boost::asio;
using asio::ip::tcp;

class event_server_instance::event_server_core : public std::enable_shared_from_this<event_server_core> {
 public:
  event_server_core(std::shared_ptr<vorn::asyncore> loop, std::shared_ptr<vorn::logger_base> logger,
                    const settings& config)
      : loop_(std::move(loop)),
        logger_(std::move(logger)),
        config_(config),
        acceptor_(loop_->io_context()),
        retry_accept_(loop_->io_context()) {
    boost::system::error_code ec;
    acceptor_.open(tcp::v4(), ec);
    if (ec) throw std::runtime_error("Can't create TCP/IP socket");
    // Lets a restarted service take its port back from connections still in TIME_WAIT;
    // a port another process listens on still fails to bind.
    acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    acceptor_.bind(tcp::endpoint(tcp::v4(), config_.port), ec);
    if (ec) throw std::runtime_error(vorn::with_formatted_code("bind failed", ec.value()));
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error(vorn::with_formatted_code("Socket couldn't listen", ec.value()));
  }

  ~event_server_core() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    for (auto& l : greeting_) close(*l);
    for (auto& l : listeners_) close(*l);
  }

  void start() { arm_accept(); }

  std::uint16_t port() const {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec).port();
  }
  std::size_t listener_count() const { return listeners_.size(); }

  void send_delayed_log(const std::string& line, const std::string& ttl_line) {
    if (log_at(70))
      logger_->stream(70) << "  Sending delayed log '" << ttl_line << "' to " << listeners_.size() << " listeners."
                          << std::endl;
    for (auto it = listeners_.begin(); it != listeners_.end();) {
      auto& l = *it;
      auto failure = send(*l, (l->ttl ? ttl_line : line) + "\n");
      if (failure)
        it = drop(listeners_, it, failure);
      else
        ++it;
    }
    // Kept for those still to greet, until they say which form they want.
    for (auto it = greeting_.begin(); it != greeting_.end();) {
      auto& l = **it;
      l.held_bytes += line.size() + ttl_line.size();
      if (l.held_bytes > config_.max_queued_bytes) {
        it = drop(greeting_, it, boost::system::error_code(ENOBUFS, boost::system::system_category()));
        continue;
      }
      l.held.emplace_back(line, ttl_line);
      ++it;
    }
  }

 private:
  struct listener {
    explicit listener(asio::io_context& io) : socket(io), greeting_timer(io) {}
    tcp::socket socket;
    int fd = -1;
    bool ttl = false;
    bool dropped = false;
    asio::steady_timer greeting_timer;
    std::array<char, 64> greeting{};
    std::deque<std::string> queue;  // the front one is being written
    std::size_t queued_bytes = 0;
    std::deque<std::pair<std::string, std::string>> held;  // plain and TTL forms, until greeted
    std::size_t held_bytes = 0;
  };
  using listener_ptr = std::shared_ptr<listener>;
  using listener_list = std::list<listener_ptr>;

  bool log_at(int level) const { return logger_ && logger_->should_log(level); }

  void arm_accept() {
    auto l = std::make_shared<listener>(loop_->io_context());
    std::weak_ptr<event_server_core> weak = weak_from_this();
    acceptor_.async_accept(l->socket, [weak, l](const boost::system::error_code& ec) {
      vorn::loop_turns::name("log listener", "accept");
      auto self = weak.lock();
      if (!self || ec == asio::error::operation_aborted) return;
      if (ec) {
        self->accept_failed(ec);
        return;
      }
      vorn::descriptor_shortage::of(self->loop_->io_context()).accepted(self->logger_);
      self->accepted(l);
      self->arm_accept();
    });
  }

  // Out of descriptors, say: try again shortly rather than spin on a failing accept.
  void accept_failed(const boost::system::error_code& ec) {
    std::weak_ptr<event_server_core> weak = weak_from_this();
    if (vorn::descriptor_shortage::is_shortage(ec.value())) {
      vorn::descriptor_shortage::of(loop_->io_context()).wait("port " + std::to_string(config_.port), ec.value(),
                                                              logger_, [weak] {
                                                                if (auto self = weak.lock()) self->arm_accept();
                                                              });
      return;
    }
    if (log_at(20)) logger_->stream(20) << vorn::win32_error("accept", ec.value()).what() << std::endl;
    retry_accept_.expires_after(std::chrono::milliseconds(100));
    retry_accept_.async_wait([weak](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (self && !ec) self->arm_accept();
    });
  }

  // The listener's first message says which form it wants. One that says nothing within
  // the greeting wait is served the plain form; nobody else waits for it meanwhile.
  void accepted(const listener_ptr& l) {
    boost::system::error_code ignored;
    l->fd = l->socket.native_handle();
    l->socket.non_blocking(true, ignored);
    if (greeting_.size() + listeners_.size() >= config_.max_listeners) {
      refuse(*l);
      return;
    }
    refusing_ = false;
    greeting_.push_back(l);
    std::weak_ptr<event_server_core> weak = weak_from_this();
    l->greeting_timer.expires_after(config_.greeting_wait);
    l->greeting_timer.async_wait([l](const boost::system::error_code& ec) {
      boost::system::error_code ignored;
      if (!ec) l->socket.cancel(ignored);
    });
    l->socket.async_read_some(asio::buffer(l->greeting), [weak, l](const boost::system::error_code&, std::size_t n) {
      auto self = weak.lock();
      if (!self || l->dropped) return;
      l->greeting_timer.cancel();
      // The last byte is the greeting's terminator.
      self->greeted(l, n > 0 ? std::string(l->greeting.data(), n - 1) : std::string());
    });
  }

  void greeted(const listener_ptr& l, const std::string& greeting) {
    greeting_.remove(l);
    boost::tokenizer<boost::char_separator<char>> tokens(greeting, boost::char_separator<char>());
    for (const auto& token : tokens)
      if (token == "TTL") l->ttl = true;
    listeners_.push_front(l);
    if (log_at(80))
      logger_->stream(80) << "Listener connected on FD# " << l->fd << ", making it a total of " << listeners_.size()
                          << " listeners. " << " TTL " << (l->ttl ? "ENABLED" : "DISABLED") << std::endl;
    for (; !l->held.empty(); l->held.pop_front()) {
      const auto& [line, ttl_line] = l->held.front();
      if (auto failure = send(*l, (l->ttl ? ttl_line : line) + "\n")) {
        drop(listeners_, listeners_.begin(), failure);
        return;
      }
    }
    l->held_bytes = 0;
  }

  // Like a server at its client limit: the peer reads why before the connection ends.
  void refuse(listener& l) {
    if (!refusing_ && log_at(30))
      logger_->stream(30) << "Refusing log listeners: " << listeners_.size() + greeting_.size()
                          << " are connected, the most allowed" << std::endl;
    refusing_ = true;
    boost::system::error_code ignored;
    const std::string notice = "Too many listeners: the server serves at most " +
                               std::to_string(config_.max_listeners) + " at a time; try again later\n";
    l.socket.write_some(asio::buffer(notice), ignored);
    close(l);
  }

  // Queues the line; it leaves in a handler of its own, so the renderer request that sends
  // it gets its answer first. Lines queued meanwhile leave together. A listener whose queue
  // is full gets an error, returned, not handled.
  boost::system::error_code send(listener& l, std::string text) {
    if (l.queued_bytes + text.size() > config_.max_queued_bytes)
      return boost::system::error_code(ENOBUFS, boost::system::system_category());
    l.queued_bytes += text.size();
    if (l.queue.size() > 1) {
      l.queue.back() += text;  // not in flight yet
    } else {
      l.queue.push_back(std::move(text));
      if (l.queue.size() == 1) {
        std::weak_ptr<event_server_core> weak = weak_from_this();
        asio::post(loop_->io_context(), [weak, l = find(l)] {
          vorn::loop_turns::name("log listener", "write");
          if (auto self = weak.lock(); self && l && !l->dropped) self->write_queued(l);
        });
      }
    }
    return {};
  }

  void write_queued(const listener_ptr& l) {
    std::weak_ptr<event_server_core> weak = weak_from_this();
    asio::async_write(l->socket, asio::buffer(l->queue.front()),
                      [weak, l](const boost::system::error_code& ec, std::size_t) {
                        vorn::loop_turns::name("log listener", "write");
                        auto self = weak.lock();
                        if (!self || l->dropped) return;
                        l->queued_bytes -= l->queue.front().size();
                        l->queue.pop_front();
                        if (ec) {
                          auto it = std::find(self->listeners_.begin(), self->listeners_.end(), l);
                          if (it != self->listeners_.end()) self->drop(self->listeners_, it, ec);
                        } else if (!l->queue.empty()) {
                          self->write_queued(l);
                        }
                      });
  }

  listener_ptr find(const listener& l) const {
    for (const auto& candidate : listeners_)
      if (candidate.get() == &l) return candidate;
    return nullptr;
  }

  // A peer that has closed its end shows as a broken pipe; anything else is a real failure.
  listener_list::iterator drop(listener_list& from, listener_list::iterator it, const boost::system::error_code& ec) {
    listener& l = **it;
    if (ec == asio::error::broken_pipe) {
      if (log_at(80)) logger_->stream(80) << "Listener on FD #" << l.fd << " closed it's connection." << std::endl;
    } else if (log_at(20)) {
      logger_->stream(20) << "Error while sending log events to listeners:\n\t"
                          << vorn::with_formatted_code("send", ec.value()) << "\n\tDisconnecting listener."
                          << std::endl;
    }
    close(l);
    return from.erase(it);
  }

  static void close(listener& l) {
    boost::system::error_code ignored;
    l.dropped = true;
    l.greeting_timer.cancel();
    l.socket.shutdown(tcp::socket::shutdown_both, ignored);
    l.socket.close(ignored);
  }

  std::shared_ptr<vorn::asyncore> loop_;
  std::shared_ptr<vorn::logger_base> logger_;
  settings config_;
  tcp::acceptor acceptor_;
  asio::steady_timer retry_accept_;
  listener_list listeners_;  // newest first
  listener_list greeting_;   // accepted, greeting not yet in
  bool refusing_ = false;    // the refusal is logged once while listeners stay at the limit
};

event_server_instance::event_server_instance(std::shared_ptr<vorn::asyncore> loop,
                                             std::shared_ptr<vorn::logger_base> logger)
    : event_server_instance(std::move(loop), std::move(logger), settings{}) {}

event_server_instance::event_server_instance(std::shared_ptr<vorn::asyncore> loop,
                                             std::shared_ptr<vorn::logger_base> logger, settings config)
    : logger_(std::move(logger)) {
  try {
    core_ = std::make_shared<event_server_core>(std::move(loop), logger_, config);
    core_->start();
  } catch (const std::exception& e) {
    core_.reset();
    failure_ = e.what();
    std::cerr << "Could not start event server: " << e.what() << "\n";
  }
}

event_server_instance::~event_server_instance() = default;

void event_server_instance::send_delayed_log(const std::string& line, const std::string& ttl_line) {
  if (core_) core_->send_delayed_log(line, ttl_line);
}

std::uint16_t event_server_instance::port() const { return core_ ? core_->port() : 0; }

std::size_t event_server_instance::listener_count() const { return core_ ? core_->listener_count() : 0; }

}  // namespace orv
