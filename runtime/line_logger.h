#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "runtime/logger_base.h"

namespace vorn {

struct log_message {
  std::chrono::system_clock::time_point time;
  std::string source;  // the name of the logger it went through
  std::string text;    // without a trailing line end
  int level = 0;
};

// Where log messages end up: the console, the debugger, a file.
class log_message_stream_base {
 public:
  virtual ~log_message_stream_base() = default;
  virtual void write_message(const log_message& m) = 0;
};

// The clock of a logger tree and the time format of its lines.
class timetracker {
 public:
  using clock_function = std::function<std::chrono::system_clock::time_point()>;

  explicit timetracker(clock_function clock = &std::chrono::system_clock::now) : clock_(std::move(clock)) {}

  std::chrono::system_clock::time_point now() const { return clock_(); }
  // Local time to the millisecond: "2026-12-05 14:03:07.042".
  std::string get_time_prefix() const { return get_time_prefix(now()); }
  std::string get_time_prefix(std::chrono::system_clock::time_point t) const;

 private:
  clock_function clock_;
};

// A named logger. A root and the subloggers made from it share one log target and one
// timer; a sublogger created with level -1 follows its parent's accepted level, including
// later changes. Hold line_loggers by shared handle (subloggers refer to their parent).
class line_logger : public logger_base, public std::enable_shared_from_this<line_logger> {
 public:
  // An empty timer gets a new one on the system clock.
  line_logger(std::string name, int accepted_level, std::shared_ptr<timetracker> timer);
  ~line_logger() override;

  bool should_log(int level) const override;
  std::shared_ptr<logger_base> create_sublogger(const std::string& name, int level) override;

  void set_accepted_level(int level);
  int accepted_level() const;
  const std::string& name() const { return name_; }

  // Makes a debugger-output target the shared log target and returns it.
  std::shared_ptr<log_message_stream_base> construct_debug_log_target();
  // The one target that every logger of this tree writes to; empty drops messages.
  std::shared_ptr<log_message_stream_base> shared_log_target() const;
  void shared_log_target(std::shared_ptr<log_message_stream_base> target);
  std::shared_ptr<timetracker> get_shared_timer() const;

  // Replaces the shared target by: console_target (when console is set), the debugger
  // output (when debug_output is set) and a daily file prefix + "YYYY-MM-DD.log" in
  // directory (created when missing); application_name opens each file. A run of
  // identical messages reaches them once, with a repeat count.
  void construct_standard_log_targets(const std::string& application_name, const std::filesystem::path& directory,
                                      std::shared_ptr<log_message_stream_base> console_target, bool debug_output,
                                      const std::string& file_prefix, bool console);

  // From now until this logger is destroyed, each line written to std::cout (level 40,
  // source "stdout") or std::cerr (level 20, source "stderr") becomes a log message.
  void hijack_standard_streams();

 protected:
  void write_message(int level, const std::string& text) override;

 private:
  struct tree;
  class line_buffer;
  struct hijack;

  line_logger(std::string name, int accepted_level, std::shared_ptr<const line_logger> parent,
              std::shared_ptr<tree> shared);
  void emit(int level, const std::string& source, const std::string& text);

  std::string name_;
  std::atomic<int> level_;
  std::shared_ptr<const line_logger> parent_;  // set while the level follows the parent's
  std::shared_ptr<tree> tree_;
  std::unique_ptr<hijack> hijack_;
};

// A short banner: the title, the settings file and the start time.
void print_application_header(const std::string& title, const std::string& ini_file_name,
                              std::ostream& out = std::cout);

}  // namespace vorn
