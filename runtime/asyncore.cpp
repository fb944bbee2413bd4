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
  using clock = loop_turns::clock;
  // The first handler follows the wait: it is timed from where it names itself.
  turns_.begin(nullptr);
  std::size_t ran = timeout_ms == infinite ? io_.run_one()
                    : timeout_ms == 0     ? io_.poll_one()
                                          : io_.run_one_for(std::chrono::milliseconds(timeout_ms));
  if (ran == 0) return 0;
  auto now = clock::now();
  if (turns_.end(now)) now = log_record(turns_.turn_line());
  // The wait was the loop's own look at every descriptor; urgent ones are looked at again
  // once handlers have run for check_interval since.
  auto looked = now - turns_.last_length();
  turns_.stretch_starts();
  for (;;) {
    if (dispatcher_.has_urgent() && now - looked >= dispatcher_.check_interval) {
      if (turns_.unwatched_for(now - looked)) now = log_record(turns_.unwatched_line());
      if (turns_.looked()) now = log_record(turns_.unwatched_work_line());
      looked = now;
      turns_.begin(&now);
      dispatcher_.serve_urgent();
      now = clock::now();
      if (turns_.end(now)) now = log_record(turns_.turn_line());
    }
    turns_.begin(&now);
    if (io_.poll_one() == 0) break;
    ++ran;
    now = clock::now();
    if (turns_.end(now)) now = log_record(turns_.turn_line());
  }
  // The next wait looks again.
  if (dispatcher_.has_urgent()) {
    if (turns_.unwatched_for(now - looked)) log_record(turns_.unwatched_line());
    if (turns_.stretch_ends()) log_record(turns_.unwatched_work_line());
  }
  return ran;
}

// Records are few (each must beat every turn before it), so logging them costs nothing
// that matters; the time the line took is left out of the next handler's.
loop_turns::clock::time_point asyncore::log_record(const std::string& line) {
  if (logger_ && logger_->should_log(40)) logger_->stream(40) << line << std::endl;
  return loop_turns::clock::now();
}

void asyncore::post_quit() {
  quit_ = true;
  boost::asio::post(io_, [] {});
}

}  // namespace vorn
