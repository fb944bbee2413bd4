#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "runtime/logger_base.h"
#include "runtime/loop_turns.h"
#include "runtime/memory_budget.h"

namespace vorn {

// Where waitable objects register; one per event loop.
class event_dispatcher {
 public:
  explicit event_dispatcher(boost::asio::io_context& io) : io_(io) {}
  boost::asio::io_context& io_context() { return io_; }

  // An urgent descriptor is also checked between handlers, at most check_interval apart
  // plus the handler in hand, so its owner is served within about that long however many
  // other handlers are ready.
  void add_urgent(int fd, std::function<void()> on_readable) { urgent_[fd] = std::move(on_readable); }
  void remove_urgent(int fd) { urgent_.erase(fd); }
  bool has_urgent() const { return !urgent_.empty(); }
  // Runs the callback of every urgent descriptor readable now; never waits.
  void serve_urgent();

  std::chrono::microseconds check_interval{100};

 private:
  boost::asio::io_context& io_;
  std::map<int, std::function<void()>> urgent_;
};

// The event loop. Everything the library does runs inside process(), on the thread that
// calls it. Create it with std::make_shared: listeners and connectors ask for its handle.
class asyncore : public std::enable_shared_from_this<asyncore> {
 public:
  static constexpr std::uint32_t infinite = 0xFFFFFFFF;

  explicit asyncore(std::shared_ptr<logger_base> logger);
  ~asyncore();
  asyncore(const asyncore&) = delete;
  asyncore& operator=(const asyncore&) = delete;

  std::shared_ptr<asyncore> get_shared_ptr() { return shared_from_this(); }
  event_dispatcher& get_event_dispatcher() { return dispatcher_; }
  // Shared by every TCP connection of this loop.
  memory_budget& connection_budget() { return budget_; }

  // Waits at most timeout_ms (infinite: no limit) for the first ready handler, then runs
  // every handler that is ready, serving urgent descriptors between them. Returns how many
  // handlers ran. Each new longest turn and stretch without a look at the urgent
  // descriptors is logged at level 40.
  std::size_t process(std::uint32_t timeout_ms);

  // True once SIGTERM or SIGINT arrived or post_quit was called.
  bool quit_signalled() const { return quit_.load(); }
  // Safe from any thread; wakes a process() call that is waiting.
  void post_quit();

  boost::asio::io_context& io_context() { return io_; }
  // The longest handler so far and the longest stretch without a look at urgent descriptors.
  const loop_turns& turns() const { return turns_; }
  const std::shared_ptr<logger_base>& logger() const { return logger_; }

 private:
  void wait_for_stop_signal();
  loop_turns::clock::time_point log_record(const std::string& line);

  std::shared_ptr<logger_base> logger_;
  memory_budget budget_;  // outlives io_: connections still pending at its end refer to it
  // One thread runs it: handlers that complete at once are queued for that thread instead
  // of waking the reactor with a descriptor change.
  boost::asio::io_context io_{1};
  // Keeps process() waiting when nothing else is pending instead of returning at once.
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> keep_waiting_;
  boost::asio::signal_set stop_signals_;
  event_dispatcher dispatcher_;
  std::atomic<bool> quit_{false};
  loop_turns turns_;
};

}  // namespace vorn
