#include "hosting/named_event.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include "hosting/object_access.h"
#include "hosting/object_name.h"
#include "hosting/open_security_attributes.h"
#include "runtime/descriptor_shortage.h"
#include "runtime/loop_turns.h"
#include "runtime/system_error.h"
#include "runtime/waitable_object.h"

namespace orv {
namespace {

// Renderers per ticker; one more replaces the oldest idle one rather than letting a runaway
// client use up descriptors.
constexpr std::size_t max_connections = 64;

class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  ~unique_fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Runs a callback each time the loop finds the descriptor readable.
class watch : public vorn::waitable_object {
 public:
  watch(vorn::event_dispatcher& dispatcher, int fd, std::function<void()> on_readable, bool urgent = false)
      : waitable_object(dispatcher, fd, urgent), on_readable_(std::move(on_readable)) {}
  void on_signalled() override { on_readable_(); }

 private:
  std::function<void()> on_readable_;
};

// A renderer connection's request bytes, read by the loop as they come (a wait re-armed for
// each request would cost one more system call per request), and also read directly when
// the dispatcher finds the descriptor ready between other handlers. The descriptor stays
// the caller's. Must not be destroyed inside its own callback.
class request_reader {
 public:
  // n bytes, or the end of the stream (n == 0) or a failure (error != 0).
  using on_bytes = std::function<void(const char* data, std::size_t n, int error)>;

  request_reader(vorn::event_dispatcher& dispatcher, int fd, on_bytes handler)
      : dispatcher_(dispatcher), fd_(fd), reading_(std::make_shared<reading>(dispatcher.io_context(), fd)) {
    reading_->handler = std::move(handler);
    reading_->arm(reading_);
    dispatcher.add_urgent(fd, [this] { read_now(); });
  }
  ~request_reader() {
    dispatcher_.remove_urgent(fd_);
    reading_->handler = nullptr;
    reading_->descriptor.release();  // cancels the pending read, leaves the descriptor open
  }
  request_reader(const request_reader&) = delete;
  request_reader& operator=(const request_reader&) = delete;

 private:
  struct reading {
    reading(boost::asio::io_context& io, int fd) : descriptor(io, fd) {}
    void arm(const std::shared_ptr<reading>& self) {
      descriptor.async_read_some(boost::asio::buffer(bytes), [self](const boost::system::error_code& ec, std::size_t n) {
        if (!self->handler || ec == boost::asio::error::operation_aborted) return;
        if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) return self->arm(self);
        self->handler(self->bytes.data(), n, ec == boost::asio::error::eof ? 0 : ec.value());
        if (self->handler && !ec) self->arm(self);
      });
    }
    boost::asio::posix::stream_descriptor descriptor;
    on_bytes handler;
    std::array<char, 64> bytes{};
  };

  void read_now() {
    char bytes[64];
    ssize_t n;
    do n = ::recv(fd_, bytes, sizeof bytes, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    reading_->handler(bytes, n < 0 ? 0 : static_cast<std::size_t>(n), n < 0 ? errno : 0);
  }

  vorn::event_dispatcher& dispatcher_;
  int fd_;
  std::shared_ptr<reading> reading_;
};

}  // namespace

struct named_event::state : std::enable_shared_from_this<state> {
  struct connection {
    unique_fd socket;  // declared first: closed only after its reader is gone
    std::unique_ptr<request_reader> readable;
    bool closing = false;
    std::uint64_t serial = 0;  // order of acceptance
  };

  std::string name;
  unique_fd listener;
  vorn::event_dispatcher* dispatcher = nullptr;
  request_handler on_request;
  std::shared_ptr<vorn::logger_base> log;
  std::unique_ptr<watch> accepting;
  std::map<int, std::unique_ptr<connection>> connections;
  std::vector<std::unique_ptr<connection>> closed;
  bool stopped = false;  // the owner is gone; on_request must not run again
  bool paused = false;   // out of descriptors; accepting waits for one to be freed
  std::uint64_t accepted = 0;
  open_security_attributes access;

  bool log_at(int level) const { return log && log->should_log(level); }

  ~state() {
    // Watches go before their descriptors.
    accepting.reset();
    for (auto& [fd, c] : connections) c->readable.reset();
    for (auto& c : closed) c->readable.reset();
  }

  void accept_all() {
    vorn::loop_turns::name("renderer", "accept");
    while (!paused) {
      const int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED) continue;
        if (vorn::descriptor_shortage::is_shortage(error)) {
          pause_accepting(error);
        } else if (error != EAGAIN && error != EWOULDBLOCK && log_at(20)) {
          log->stream(20) << vorn::win32_error("Couldn't accept a renderer on event named " + name, error).what()
                          << std::endl;
        }
        return;
      }
      vorn::descriptor_shortage::of(dispatcher->io_context()).accepted(log);
      auto c = std::make_unique<connection>();
      c->socket.reset(fd);
      if (const std::string who = access.refusal(fd); !who.empty()) {
        if (log_at(30)) log->stream(30) << "Refusing a renderer on event named " << name << ": " << who
                                        << " is neither root, the service's user nor in the renderer group"
                                        << std::endl;
        const char refused = object_access::refusal_byte;
        (void)!::send(fd, &refused, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        continue;  // c closes the descriptor
      }
      if (connections.size() >= max_connections && !replace_oldest_idle()) {
        if (log_at(30))
          log->stream(30) << "Refusing a renderer: every connection to event named " << name
                          << " has a request in progress" << std::endl;
        continue;
      }
      c->serial = ++accepted;
      std::weak_ptr<state> weak = weak_from_this();
      // Served between other handlers too: a renderer waits on air.
      c->readable = std::make_unique<request_reader>(*dispatcher, fd, [weak, fd](const char*, std::size_t n, int error) {
        if (auto self = weak.lock()) self->serve(fd, n, error);
      });
      connections.emplace(fd, std::move(c));
      if (log_at(50)) log->stream(50) << "Renderer connected on FD# " << fd << " to event named " << name << std::endl;
    }
  }

  // Out of descriptors: a pending connection keeps the listener readable, so the watch goes
  // (from the loop, not from inside its own callback) until a descriptor is freed.
  void pause_accepting(int error) {
    paused = true;
    std::weak_ptr<state> weak = weak_from_this();
    boost::asio::post(dispatcher->io_context(), [weak] {
      if (auto self = weak.lock()) self->accepting.reset();
    });
    vorn::descriptor_shortage::of(dispatcher->io_context())
        .wait("event named " + name, error, log, [weak] {
          if (auto self = weak.lock()) self->resume_accepting();
        });
  }

  void resume_accepting() {
    if (stopped) return;
    paused = false;
    std::weak_ptr<state> weak = weak_from_this();
    accepting = std::make_unique<watch>(*dispatcher, listener.get(), [weak] {
      if (auto self = weak.lock()) self->accept_all();
    });
  }

  // At the cap, a new renderer takes the place of the oldest one with no request waiting to
  // be read, so no client can lock the others out by connecting often enough.
  bool replace_oldest_idle() {
    connection* oldest = nullptr;
    int oldest_fd = -1;
    for (auto& [fd, c] : connections) {
      int unread = 0;
      if (::ioctl(fd, FIONREAD, &unread) != 0 || unread > 0) continue;
      if (!oldest || c->serial < oldest->serial) {
        oldest = c.get();
        oldest_fd = fd;
      }
    }
    if (!oldest) return false;
    if (log_at(30))
      log->stream(30) << "Renderer on FD# " << oldest_fd << " replaced by a new one: event named " << name
                      << " has " << max_connections << " connections" << std::endl;
    close(oldest_fd);
    return true;
  }

  // Serves the n request bytes one read brought, so a burst costs one wake-up; n == 0 means
  // the renderer left. Requests that arrive meanwhile wait for the next turn: a renderer
  // that asks again at once must not hold the loop for as long as it keeps asking.
  void serve(int fd, std::size_t n, int error) {
    vorn::loop_turns::name("renderer", "request");
    auto self = shared_from_this();  // the request may delete the ticker and this with it
    auto found = connections.find(fd);
    if (stopped || found == connections.end() || found->second->closing) return;
    if (n == 0) {
      if (log_at(50)) {
        auto line = log->stream(50);
        line << "Renderer on FD# " << fd << " left event named " << name;
        if (error != 0) line << ": " << vorn::format_system_error(error);
        line << std::endl;
      }
      close(fd);
      return;
    }
    for (std::size_t i = 0; i < n; ++i)
      if (!serve_request(fd)) return;
  }

  // False when the renderer was disconnected.
  bool serve_request(int fd) {
    if (stopped) return false;
    try {
      on_request();
    } catch (const std::exception& e) {
      // The renderer still gets its reset; it must not wait for an answer that never comes.
      if (log_at(20)) log->stream(20) << "Request on event named " << name << " failed: " << e.what() << std::endl;
    }
    if (connections.find(fd) == connections.end()) return false;
    const char reset = 0;
    if (::send(fd, &reset, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1) {
      const int error = errno;
      // Either gone or no longer reading its resets: in both cases it is dropped.
      if (log_at(20))
        log->stream(20) << vorn::win32_error("Couldn't reset event", error).what() << " (renderer on FD# " << fd
                        << ", event named " << name << ", disconnected)" << std::endl;
      close(fd);
      return false;
    }
    return true;
  }

  // A watch may not be destroyed inside its own callback, so the connection is parked and
  // released from the loop.
  void close(int fd) {
    auto found = connections.find(fd);
    if (found == connections.end()) return;
    found->second->closing = true;
    closed.push_back(std::move(found->second));
    connections.erase(found);
    std::weak_ptr<state> weak = weak_from_this();
    boost::asio::post(dispatcher->io_context(), [weak] {
      if (auto self = weak.lock()) {
        for (auto& c : self->closed) c->readable.reset();
        self->closed.clear();
        vorn::descriptor_shortage::of(self->dispatcher->io_context()).released();
      }
    });
  }
};

named_event::named_event(const std::string& name) : state_(std::make_shared<state>()) {
  state_->name = name;
  const std::string failure = "Couldn't create event named " + name;
  const std::string encoded = encode_object_name(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // The address is a NUL byte and the encoded name, without padding.
  if (encoded.size() > max_object_name_size || encoded.size() + 1 > sizeof(address.sun_path))
    throw vorn::win32_error(failure, ENAMETOOLONG);
  std::memcpy(address.sun_path + 1, encoded.data(), encoded.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + encoded.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw vorn::win32_error(failure);
  state_->listener.reset(fd);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(fd, SOMAXCONN) != 0)
    throw vorn::win32_error(failure);
}

named_event::~named_event() { state_->stopped = true; }

void named_event::serve(vorn::event_dispatcher& dispatcher, request_handler on_request,
                        std::shared_ptr<vorn::logger_base> log) {
  state_->dispatcher = &dispatcher;
  state_->on_request = std::move(on_request);
  state_->log = std::move(log);
  std::weak_ptr<state> weak = state_;
  state_->accepting = std::make_unique<watch>(dispatcher, state_->listener.get(), [weak] {
    if (auto self = weak.lock()) self->accept_all();
  });
}

const std::string& named_event::name() const { return state_->name; }

std::size_t named_event::connection_count() const { return state_->connections.size(); }

}  // namespace orv
