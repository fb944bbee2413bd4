#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/logger_base.h"

namespace orv::testing {

// Keeps every accepted message in memory, with the sublogger name it came through.
class memory_logger : public vorn::logger_base {
 public:
  struct entry {
    std::string source;
    int level;
    std::string text;
  };

  explicit memory_logger(int accepted_level = 100)
      : log_(std::make_shared<std::vector<entry>>()), level_(accepted_level) {}

  bool should_log(int level) const override { return level <= level_; }
  std::shared_ptr<vorn::logger_base> create_sublogger(const std::string& name, int level) override {
    auto sub = std::make_shared<memory_logger>(level < 0 ? level_ : level);
    sub->log_ = log_;
    sub->source_ = name;
    return sub;
  }

  const std::vector<entry>& entries() const { return *log_; }
  void clear() { log_->clear(); }
  int count(const std::string& fragment) const {
    int n = 0;
    for (const auto& e : *log_)
      if (e.text.find(fragment) != std::string::npos) ++n;
    return n;
  }
  bool contains(const std::string& fragment) const { return count(fragment) > 0; }

 protected:
  void write_message(int level, const std::string& text) override { log_->push_back({source_, level, text}); }

 private:
  std::shared_ptr<std::vector<entry>> log_;
  std::string source_;
  int level_;
};

}  // namespace orv::testing
