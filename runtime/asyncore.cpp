#include "runtime/asyncore.h"

#include <csignal>

#include <boost/asio/post.hpp>

namespace vorn {

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
  std::size_t ran = timeout_ms == infinite ? io_.run_one()
                    : timeout_ms == 0     ? io_.poll_one()
                                          : io_.run_one_for(std::chrono::milliseconds(timeout_ms));
  if (ran > 0) ran += io_.poll();
  return ran;
}

void asyncore::post_quit() {
  quit_ = true;
  boost::asio::post(io_, [] {});
}

}  // namespace vorn
