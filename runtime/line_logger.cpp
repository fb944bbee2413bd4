#include "runtime/line_logger.h"

#include <ctime>
#include <streambuf>

#include "runtime/log_targets.h"

namespace vorn {

std::string timetracker::get_time_prefix(std::chrono::system_clock::time_point t) const {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms < 0 ? ms + 1000 : ms));
  return text;
}

struct line_logger::tree {
  std::shared_ptr<log_message_stream_base> target;
  std::shared_ptr<timetracker> timer;
};

// Collects what is written to a standard stream and logs each completed line.
class line_logger::line_buffer : public std::streambuf {
 public:
  line_buffer(line_logger& owner, int level, std::string source)
      : owner_(owner), level_(level), source_(std::move(source)) {}
  ~line_buffer() override {
    if (!line_.empty()) emit_line();
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    put(traits_type::to_char_type(c));
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) put(s[i]);
    return n;
  }

 private:
  void put(char c) {
    if (c == '\n')
      emit_line();
    else
      line_ += c;
  }
  void emit_line() {
    if (owner_.should_log(level_)) owner_.emit(level_, source_, line_);
    line_.clear();
  }

  line_logger& owner_;
  int level_;
  std::string source_;
  std::string line_;
};

struct line_logger::hijack {
  explicit hijack(line_logger& owner)
      : out(owner, 40, "stdout"), err(owner, 20, "stderr"), old_out(std::cout.rdbuf(&out)), old_err(std::cerr.rdbuf(&err)) {}
  ~hijack() {
    std::cout.rdbuf(old_out);
    std::cerr.rdbuf(old_err);
  }

  line_buffer out;
  line_buffer err;
  std::streambuf* old_out;
  std::streambuf* old_err;
};

line_logger::line_logger(std::string name, int accepted_level, std::shared_ptr<timetracker> timer)
    : line_logger(std::move(name), accepted_level, nullptr,
                  std::make_shared<tree>(tree{nullptr, timer ? std::move(timer) : std::make_shared<timetracker>()})) {}

line_logger::line_logger(std::string name, int accepted_level, std::shared_ptr<const line_logger> parent,
                         std::shared_ptr<tree> shared)
    : name_(std::move(name)), level_(accepted_level), parent_(std::move(parent)), tree_(std::move(shared)) {}

line_logger::~line_logger() = default;

int line_logger::accepted_level() const {
  const int level = level_.load();
  return level < 0 && parent_ ? parent_->accepted_level() : level;
}

void line_logger::set_accepted_level(int level) { level_ = level; }

bool line_logger::should_log(int level) const { return level <= accepted_level(); }

std::shared_ptr<logger_base> line_logger::create_sublogger(const std::string& name, int level) {
  return std::shared_ptr<line_logger>(new line_logger(name, level, shared_from_this(), tree_));
}

std::shared_ptr<log_message_stream_base> line_logger::construct_debug_log_target() {
  auto target = std::make_shared<debug_log_target>();
  shared_log_target(target);
  return target;
}

std::shared_ptr<log_message_stream_base> line_logger::shared_log_target() const { return tree_->target; }

void line_logger::shared_log_target(std::shared_ptr<log_message_stream_base> target) {
  tree_->target = std::move(target);
}

std::shared_ptr<timetracker> line_logger::get_shared_timer() const { return tree_->timer; }

void line_logger::construct_standard_log_targets(const std::string& application_name,
                                                 const std::filesystem::path& directory,
                                                 std::shared_ptr<log_message_stream_base> console_target,
                                                 bool debug_output, const std::string& file_prefix, bool console) {
  auto targets = std::make_shared<log_target_set>();
  if (console && console_target) targets->add(std::move(console_target));
  if (debug_output) targets->add(std::make_shared<debug_log_target>());
  targets->add(std::make_shared<daily_file_log_target>(directory, file_prefix, application_name, tree_->timer));
  shared_log_target(std::make_shared<repeat_folding_target>(std::move(targets)));
}

void line_logger::hijack_standard_streams() {
  if (!hijack_) hijack_ = std::make_unique<hijack>(*this);
}

void line_logger::write_message(int level, const std::string& text) {
  if (should_log(level)) emit(level, name_, text);
}

void line_logger::emit(int level, const std::string& source, const std::string& text) {
  auto target = tree_->target;
  if (!target) return;
  // Call sites end their statements with a line end; each target adds its own.
  std::size_t length = text.size();
  if (length > 0 && text[length - 1] == '\n') --length;
  if (length > 0 && text[length - 1] == '\r') --length;
  target->write_message(log_message{tree_->timer->now(), source, text.substr(0, length), level});
}

void print_application_header(const std::string& title, const std::string& ini_file_name, std::ostream& out) {
  const std::string rule(60, '-');
  out << rule << '\n'
      << title << '\n'
      << "Settings file: " << ini_file_name << '\n'
      << "Started " << timetracker().get_time_prefix() << '\n'
      << rule << std::endl;
}

}  // namespace vorn
