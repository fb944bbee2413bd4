#include "runtime/asyncore.h"

#include <poll.h>

#include <csignal>
#include <vector>

#include <boost/asio/post.hpp>

namespace vorn {

void event_dispatcher::serve_urgent() {
  std::vector<pollfd> fds;
  fds.reserve(urgent_.size());
  for (const auto& entry : urgent_) fds.push_back({entry.first, POLLIN, 0});
  if (::poll(fds.data(), fds.size(), 0) <= 0) return;
  for (const pollfd& fd : fds) {
    if (fd.revents == 0) continue;
    // Looked up again: an earlier callback may have removed this one.
    const auto found = urgent_.find(fd.fd);
    if (found == urgent_.end()) continue;
    const auto on_readable = found->second;  // the callback may remove itself
    on_readable();
  }
}

asyncore::asyncore(std::shared_ptr<logger_base> logger)
    : logger_(std::move(logger)),
      keep_waiting_(boost::asio::make_work_guard(io_)),
      stop_signals_(io_, SIGTERM, SIGINT),
      dispatcher_(io_) {
  wait_for_stop_signal();
}

asyncore::~asyncore() = default;

void asyncore::wait_for_stop_signal() {
  stop_signals_.async_wait([this](const boost::system::error_code& ec, int signal) {
    if (ec) return;
    if (logger_ && logger_->should_log(40))
      logger_->stream(40) << "Stop requested by signal " << signal << std::endl;
    quit_ = true;
    // Keep catching: a second signal during shutdown must not kill the process midway.
    wait_for_stop_signal();
  });
}

std::size_t asyncore::process(std::uint32_t timeout_ms) {
  // The wait is the loop's own look at every descriptor; urgent ones are looked at again
  // once handlers have run for check_interval since.
  auto checked = std::chrono::steady_clock::now();
  std::size_t ran = timeout_ms == infinite ? io_.run_one()
                    : timeout_ms == 0     ? io_.poll_one()
                                          : io_.run_one_for(std::chrono::milliseconds(timeout_ms));
  if (ran == 0) return 0;
  do {
    if (!dispatcher_.has_urgent()) continue;
    const auto now = std::chrono::steady_clock::now();
    if (now - checked < dispatcher_.check_interval) continue;
    dispatcher_.serve_urgent();
    checked = now;
  } while (io_.poll_one() > 0 && ++ran);
  return ran;
}

void asyncore::post_quit() {
  quit_ = true;
  boost::asio::post(io_, [] {});
}

}  // namespace vorn
