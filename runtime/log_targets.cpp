#include "runtime/log_targets.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "runtime/debug_output.h"

namespace vorn {

namespace {

void write_all(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string plain_line(const timetracker& timer, const log_message& m) {
  return timer.get_time_prefix(m.time) + " [" + m.source + "] " + m.text + "\n";
}

}  // namespace

console_log_target::console_log_target(std::shared_ptr<timetracker> timer, int fd)
    : console_log_target(std::move(timer), fd, ::isatty(fd) == 1 && std::getenv("NO_COLOR") == nullptr) {}

console_log_target::console_log_target(std::shared_ptr<timetracker> timer, int fd, bool colour)
    : timer_(std::move(timer)), fd_(fd), colour_(colour) {}

int console_log_target::attribute_for_level(int level) {
  static constexpr int attributes[10] = {78, 12, 4, 14, 15, 7, 13, 5, 10, 2};
  const int index = level / 10;
  return attributes[index < 0 ? 0 : index > 9 ? 9 : index];
}

std::string console_log_target::ansi_for_attribute(int attribute) {
  // Console bits are blue, green, red; ANSI numbers its colours red, green, blue.
  auto colour_index = [](int bits) { return (bits & 4 ? 1 : 0) | (bits & 2) | (bits & 1 ? 4 : 0); };
  const int foreground = attribute & 0xF;
  const int background = (attribute >> 4) & 0xF;
  std::string sequence = "\x1b[0;" + std::to_string((foreground & 8 ? 90 : 30) + colour_index(foreground));
  if (background != 0) sequence += ";" + std::to_string((background & 8 ? 100 : 40) + colour_index(background));
  return sequence + "m";
}

void console_log_target::write_message(const log_message& m) {
  if (m.level <= 0) return;
  if (!colour_) {
    write_all(fd_, plain_line(*timer_, m));
    return;
  }
  write_all(fd_, ansi_for_attribute(9) + timer_->get_time_prefix(m.time) + ansi_for_attribute(7) + " [" + m.source +
                     "] " + ansi_for_attribute(attribute_for_level(m.level)) + m.text + "\x1b[0m\n");
}

void debug_log_target::write_message(const log_message& m) { debug_output("[" + m.source + "] " + m.text + "\n"); }

daily_file_log_target::daily_file_log_target(std::filesystem::path directory, std::string prefix,
                                             std::string application_name, std::shared_ptr<timetracker> timer,
                                             std::uintmax_t max_total_bytes)
    : directory_(std::move(directory)),
      prefix_(std::move(prefix)),
      application_name_(std::move(application_name)),
      timer_(std::move(timer)),
      max_total_bytes_(max_total_bytes) {}

std::filesystem::path daily_file_log_target::path_for(std::chrono::system_clock::time_point t) const {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  return directory_ / (prefix_ + date + ".log");
}

void daily_file_log_target::write_message(const log_message& m) {
  const auto path = path_for(m.time);
  if (path != open_path_) {
    open(path);
    if (!file_) return;
    append(timer_->get_time_prefix(m.time) + " ---- " + application_name_ + " ----\n");
  }
  append(plain_line(*timer_, m));
}

void daily_file_log_target::open(const std::filesystem::path& path) {
  file_.close();
  file_.clear();
  open_path_ = path;
  full_ = false;
  std::error_code ignored;
  std::filesystem::create_directories(directory_, ignored);
  file_.open(path, std::ios::app);
  if (!file_) {
    debug_output("Can't open the log file " + path.string() + "\n");
    return;
  }
  open_size_ = std::filesystem::file_size(path, ignored);
  if (open_size_ == static_cast<std::uintmax_t>(-1)) open_size_ = 0;
  // The other daily files, newest first, so that the oldest comes off the back.
  older_.clear();
  older_size_ = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory_, ignored)) {
    const std::string name = entry.path().filename().string();
    if (entry.path() == path || name.rfind(prefix_, 0) != 0 || entry.path().extension() != ".log") continue;
    const std::uintmax_t size = entry.file_size(ignored);
    if (ignored) continue;
    older_.emplace_back(entry.path(), size);
    older_size_ += size;
  }
  std::sort(older_.begin(), older_.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
}

bool daily_file_log_target::room_for(std::uintmax_t bytes) {
  while (older_size_ + open_size_ + bytes > max_total_bytes_ && !older_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(older_.back().first, ignored);
    older_size_ -= older_.back().second;
    older_.pop_back();
  }
  return open_size_ + bytes <= max_total_bytes_;
}

void daily_file_log_target::append(const std::string& text) {
  if (!file_ || full_) return;
  if (!room_for(text.size())) {
    // The note may pass the budget by its own length; nothing after it does.
    full_ = true;
    file_ << timer_->get_time_prefix() << " ---- log files reached their budget of " << max_total_bytes_
          << " bytes; lines are dropped until the next day ----\n"
          << std::flush;
    return;
  }
  file_ << text << std::flush;
  open_size_ += text.size();
}

repeat_folding_target::repeat_folding_target(std::shared_ptr<log_message_stream_base> next,
                                             std::chrono::seconds report_every)
    : next_(std::move(next)), report_every_(report_every) {}

repeat_folding_target::~repeat_folding_target() { report_repeats(std::chrono::system_clock::now()); }

void repeat_folding_target::write_message(const log_message& m) {
  if (has_last_ && m.level == last_.level && m.source == last_.source && m.text == last_.text) {
    ++repeats_;
    if (m.time - reported_at_ >= report_every_) report_repeats(m.time);
    return;
  }
  report_repeats(m.time);
  next_->write_message(m);
  last_ = m;
  has_last_ = true;
  reported_at_ = m.time;
}

void repeat_folding_target::report_repeats(std::chrono::system_clock::time_point t) {
  if (repeats_ == 0) return;
  next_->write_message(
      log_message{t, last_.source, "Last message repeated " + std::to_string(repeats_) + " more times", last_.level});
  repeats_ = 0;
  reported_at_ = t;
}

}  // namespace vorn
