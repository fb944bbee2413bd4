#include "runtime/descriptor_shortage.h"

#include <cerrno>

#include <boost/asio/execution/context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/query.hpp>

#include "runtime/system_error.h"

namespace vorn {
namespace {

constexpr std::chrono::milliseconds first_pause{50};
constexpr std::chrono::milliseconds longest_pause{1000};

void log_line(const std::shared_ptr<logger_base>& log, int level, const std::string& text) {
  if (log && log->should_log(level)) log->stream(level) << text << std::endl;
}

}  // namespace

descriptor_shortage& descriptor_shortage::of(boost::asio::execution_context& context) {
  return boost::asio::use_service<descriptor_shortage>(context);
}

descriptor_shortage& descriptor_shortage::of(const boost::asio::any_io_executor& executor) {
  return of(boost::asio::query(executor, boost::asio::execution::context));
}

bool descriptor_shortage::is_shortage(int error) { return error == EMFILE || error == ENFILE; }

descriptor_shortage::descriptor_shortage(boost::asio::execution_context& context)
    : service(context), retry_(static_cast<boost::asio::io_context&>(context)) {}

void descriptor_shortage::wait(const std::string& listener, int error, const std::shared_ptr<logger_base>& log,
                               std::function<void()> resume) {
  ++refused_;
  if (!in_episode_) {
    in_episode_ = true;
    ++episodes_;
    pause_ = first_pause;
    log_line(log, 20,
             win32_error("Out of descriptors; " + listener + " and any other listener accept nothing until one is freed",
                         error)
                 .what());
  }
  waiting_.push_back(std::move(resume));
  if (waiting_.size() > 1) return;  // the timer is already set
  retry_.expires_after(pause_);
  pause_ = std::min(pause_ * 2, longest_pause);
  retry_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) resume_all();
  });
}

void descriptor_shortage::released() {
  if (waiting_.empty()) return;
  // Posted: the descriptor may be closed deep inside a handler that a listener must not enter.
  boost::asio::post(retry_.get_executor(), [this] { resume_all(); });
}

void descriptor_shortage::resume_all() {
  retry_.cancel();
  auto resumed = std::move(waiting_);
  waiting_.clear();
  for (auto& resume : resumed) resume();
}

void descriptor_shortage::accepted(const std::shared_ptr<logger_base>& log) {
  if (!in_episode_ || !waiting_.empty()) return;
  in_episode_ = false;
  log_line(log, 40, "Descriptors available again; accepting resumed after " + std::to_string(refused_) +
                        " refused accepts");
  refused_ = 0;
}

void descriptor_shortage::shutdown() {
  waiting_.clear();
  retry_.cancel();
}

}  // namespace vorn
