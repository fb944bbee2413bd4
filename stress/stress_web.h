#pragma once

#include <sys/types.h>

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stress/stress_clients.h"

namespace orv::stress {

// orv_ticker_web beside the service under the same load: monitor pages that read every
// update of the loaded ticker, and one render page pulling elements through the bridge as
// fast as it answers, timed as the native renderer is.
class web_load {
 public:
  // Starts program (orv_ticker_web) against the service; its output goes to scratch.
  web_load(const std::string& program, const tcp::endpoint& service, const std::filesystem::path& scratch);
  ~web_load();
  // False when the bridge did not come up within 30 s.
  bool ready();

  // Monitor pages watching ticker on io, and its render page on a thread of its own, as the
  // native renderer has.
  void begin_cycle(boost::asio::io_context& io, const std::string& ticker, int monitors);
  // Takes the render page's worst wait so far, beside the native renderer's, read at once.
  void load_ended(double native_worst_ms);
  // Stops the pages, running io until they are closed.
  void end_cycle(boost::asio::io_context& io);

  // The figures of every cycle, the render page's worst wait against the native renderer's,
  // and the checks: every monitor page got the state and stayed, the render page was served.
  void report(const std::function<void(const std::string&, double, const std::string&)>& figure,
              const std::function<void(const std::string&, bool)>& check);

 private:
  struct monitor_pages;
  struct cycle {
    int monitors = 0;             // monitor pages opened
    int monitors_with_state = 0;  // of them, those that got the ticker's state
    int monitors_dropped = 0;     // closed by the bridge although they read
    std::int64_t monitor_messages = 0;
    std::int64_t render_served = 0;
    std::int64_t render_failures = 0;
    double render_worst_ms = 0;  // over the load window
    double render_worst_at = 0;  // seconds into the round
    double native_worst_ms = 0;  // the same window
  };
  void pull(const std::string& ticker);
  bool running();
  long resident_kib() const;

  std::filesystem::path scratch_;
  pid_t pid_ = -1;
  bool exited_ = false;
  tcp::endpoint at_;
  std::vector<cycle> cycles_;
  std::shared_ptr<monitor_pages> monitors_;
  std::thread render_thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> render_done_{false};
  std::atomic<int> render_fd_{-1};
  std::atomic<double> render_worst_ms_{0};
  std::atomic<double> render_worst_at_{0};
  clock::time_point cycle_start_;
  std::atomic<std::int64_t> render_served_{0};
  std::int64_t render_failures_ = 0;
  std::string trouble_;
};

}  // namespace orv::stress
