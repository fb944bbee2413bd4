#pragma once

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>

namespace vorn {

class logger_base;

// One log message: collects what a single statement writes and hands it to its logger
// when the statement ends, so concurrent writers never interleave inside a message.
class log_stream {
 public:
  log_stream(logger_base& owner, int level) : owner_(&owner), level_(level) {}
  log_stream(log_stream&& other) noexcept
      : owner_(std::exchange(other.owner_, nullptr)), level_(other.level_), text_(std::move(other.text_)) {}
  log_stream(const log_stream&) = delete;
  log_stream& operator=(const log_stream&) = delete;
  log_stream& operator=(log_stream&&) = delete;
  inline ~log_stream();

  template <class T>
  log_stream& operator<<(const T& value) {
    text_ << value;
    return *this;
  }
  log_stream& operator<<(std::ostream& (*manipulator)(std::ostream&)) {
    manipulator(text_);
    return *this;
  }

 private:
  logger_base* owner_;
  int level_;
  std::ostringstream text_;
};

// Levels run from 0 to 100; higher means more detail. A message is written when its level
// is within the logger's accepted level. Callers ask should_log before building a message.
class logger_base {
 public:
  virtual ~logger_base() = default;
  virtual bool should_log(int level) const = 0;
  virtual log_stream stream(int level) { return log_stream(*this, level); }
  // A sublogger created with level -1 follows this logger's accepted level.
  virtual std::shared_ptr<logger_base> create_sublogger(const std::string& name, int level) = 0;

 protected:
  friend class log_stream;
  virtual void write_message(int level, const std::string& text) = 0;
};

log_stream::~log_stream() {
  if (owner_) owner_->write_message(level_, text_.str());
}

}  // namespace vorn
