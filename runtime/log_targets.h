#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/line_logger.h"

namespace vorn {

// Console lines: the time prefix in attribute 9, " [" source "] " in 7, the text in the
// colour of its level, then "\n". Attributes use the console bit layout (1 blue, 2 green,
// 4 red, 8 bright; the same shifted left by 4 for the background) and become ANSI colours.
// Messages at level 0 or below are not shown.
class console_log_target : public log_message_stream_base {
 public:
  // Colour only when fd is a terminal and NO_COLOR is unset.
  explicit console_log_target(std::shared_ptr<timetracker> timer, int fd = 1);
  console_log_target(std::shared_ptr<timetracker> timer, int fd, bool colour);

  void write_message(const log_message& m) override;

  // The attribute for a level: level / 10, capped at 9, indexes 78,12,4,14,15,7,13,5,10,2.
  static int attribute_for_level(int level);
  // The escape sequence that selects an attribute; a zero background keeps the terminal's.
  static std::string ansi_for_attribute(int attribute);

 private:
  std::shared_ptr<timetracker> timer_;
  int fd_;
  bool colour_;
};

// "[" source "] " text "\n" to the debugger output.
class debug_log_target : public log_message_stream_base {
 public:
  void write_message(const log_message& m) override;
};

// One file per local day, prefix + "YYYY-MM-DD.log" in directory, appended to; each line
// is the console's plain line. A file that cannot be opened drops messages until the next
// day, after one note on the debugger output. The daily files together stay within
// max_total_bytes: the oldest are removed first, and when today's alone reaches it, a note
// says so and further lines are dropped until the next day.
class daily_file_log_target : public log_message_stream_base {
 public:
  static constexpr std::uintmax_t default_max_total_bytes = std::uintmax_t{512} << 20;

  daily_file_log_target(std::filesystem::path directory, std::string prefix, std::string application_name,
                        std::shared_ptr<timetracker> timer, std::uintmax_t max_total_bytes = default_max_total_bytes);

  void write_message(const log_message& m) override;
  std::filesystem::path path_for(std::chrono::system_clock::time_point t) const;

 private:
  void open(const std::filesystem::path& path);
  // Makes room for bytes more, removing the oldest files; false when there is none.
  bool room_for(std::uintmax_t bytes);
  void append(const std::string& text);

  std::filesystem::path directory_;
  std::string prefix_;
  std::string application_name_;
  std::shared_ptr<timetracker> timer_;
  std::uintmax_t max_total_bytes_;
  std::filesystem::path open_path_;
  std::ofstream file_;
  std::uintmax_t open_size_ = 0;
  std::vector<std::pair<std::filesystem::path, std::uintmax_t>> older_;  // the oldest last
  std::uintmax_t older_size_ = 0;
  bool full_ = false;
};

// Passes messages on, except that a run of identical ones (same source, level and text,
// one fault repeating) is written once, followed by "Last message repeated N more times"
// when the run ends, and every report_every while it lasts.
class repeat_folding_target : public log_message_stream_base {
 public:
  explicit repeat_folding_target(std::shared_ptr<log_message_stream_base> next,
                                 std::chrono::seconds report_every = std::chrono::seconds(10));
  ~repeat_folding_target() override;

  void write_message(const log_message& m) override;

 private:
  void report_repeats(std::chrono::system_clock::time_point t);

  std::shared_ptr<log_message_stream_base> next_;
  std::chrono::seconds report_every_;
  log_message last_;
  bool has_last_ = false;
  std::uintmax_t repeats_ = 0;
  std::chrono::system_clock::time_point reported_at_;
};

// Hands each message to every target, in order.
class log_target_set : public log_message_stream_base {
 public:
  void add(std::shared_ptr<log_message_stream_base> target) { targets_.push_back(std::move(target)); }
  void write_message(const log_message& m) override {
    for (auto& t : targets_) t->write_message(m);
  }

 private:
  std::vector<std::shared_ptr<log_message_stream_base>> targets_;
};

}  // namespace vorn
