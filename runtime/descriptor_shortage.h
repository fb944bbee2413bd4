#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "runtime/logger_base.h"

namespace vorn {

// Running out of descriptors is one episode for the whole event loop, whichever listener
// meets it first. A listener whose accept fails with EMFILE or ENFILE stops accepting and
// waits here instead of trying again at once (a pending connection keeps its socket readable,
// so a retry loop would spin). The episode is logged when it starts and when it ends, never
// per failure. Waiting listeners resume as soon as the loop closes a descriptor of its own
// (released), or, for descriptors freed elsewhere, after a pause that grows to a second.
// One per io_context, as an Asio service.
class descriptor_shortage : public boost::asio::execution_context::service {
 public:
  using key_type = descriptor_shortage;
  static inline boost::asio::execution_context::id id;

  // The loop's instance. context must be an io_context.
  static descriptor_shortage& of(boost::asio::execution_context& context);
  static descriptor_shortage& of(const boost::asio::any_io_executor& executor);
  static bool is_shortage(int error);

  explicit descriptor_shortage(boost::asio::execution_context& context);

  // An accept on listener failed with error: resume runs once, later, on the loop.
  void wait(const std::string& listener, int error, const std::shared_ptr<logger_base>& log,
            std::function<void()> resume);
  // The loop closed a descriptor: waiting listeners try again now.
  void released();
  // An accept succeeded; ends the episode once no listener waits any more.
  void accepted(const std::shared_ptr<logger_base>& log);

  bool in_episode() const { return in_episode_; }
  std::uint64_t episodes() const { return episodes_; }

 private:
  void shutdown() override;
  void resume_all();

  boost::asio::steady_timer retry_;
  std::chrono::milliseconds pause_{};
  std::vector<std::function<void()>> waiting_;
  bool in_episode_ = false;
  std::uint64_t episodes_ = 0;
  std::uint64_t refused_ = 0;  // failed accepts in this episode
};

}  // namespace vorn
