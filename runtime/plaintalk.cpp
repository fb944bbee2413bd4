#include "runtime/plaintalk.h"

#include <chrono>
#include <cstdint>

#include <algorithm>
#include <array>

#include "runtime/buffer_release.h"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define ORV_TIME_STAMP_COUNTER 1
#endif

namespace vorn {

namespace {

// The bytes that end a run of plain field bytes: separator, line ends, escape.
// Longer first fields are not echoed when a message is refused.
constexpr std::size_t max_echoed_tag = 256;

constexpr auto ends_plain_run = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : {' ', '\n', '\r', '{'}) table[c] = true;
  return table;
}();

// Whether a turn's time budget is spent, asked after every message. steady_clock costs a
// vDSO call with fences, a fifth of the cost of a short command; the processor's time-stamp
// counter reads in a few cycles. Its rate is learnt from steady_clock between two turns at
// least 20 ms apart; until then, and where there is no such counter, steady_clock is read.
class turn_timer {
 public:
  explicit turn_timer(std::chrono::nanoseconds budget) : budget_(budget) {
    if (budget_.count() == 0) return;
    start_ = std::chrono::steady_clock::now();
#ifdef ORV_TIME_STAMP_COUNTER
    start_ticks_ = __rdtsc();
    learn_rate();
    budget_ticks_ = static_cast<std::uint64_t>(rate().ticks_per_ns * static_cast<double>(budget_.count()));
#endif
  }

  bool spent() const {
    if (budget_.count() == 0) return false;
    // A counter that went back (another processor's) reads as a huge span: the turn yields.
#ifdef ORV_TIME_STAMP_COUNTER
    if (budget_ticks_ > 0) return __rdtsc() - start_ticks_ >= budget_ticks_;
#endif
    return std::chrono::steady_clock::now() - start_ >= budget_;
  }

 private:
  struct counter_rate {
    std::chrono::steady_clock::time_point since{};
    std::uint64_t since_ticks = 0;
    double ticks_per_ns = 0;  // 0: not learnt yet
  };
  static counter_rate& rate() {
    thread_local counter_rate learnt;
    return learnt;
  }
  void learn_rate() const {
    counter_rate& r = rate();
    if (r.ticks_per_ns > 0) return;
    if (r.since_ticks == 0) {
      r.since = start_;
      r.since_ticks = start_ticks_;
    } else if (start_ - r.since >= std::chrono::milliseconds(20) && start_ticks_ > r.since_ticks) {
      r.ticks_per_ns = static_cast<double>(start_ticks_ - r.since_ticks) /
                       static_cast<double>(std::chrono::nanoseconds(start_ - r.since).count());
    }
  }

  std::chrono::nanoseconds budget_;
  std::chrono::steady_clock::time_point start_{};
  std::uint64_t start_ticks_ = 0;
  std::uint64_t budget_ticks_ = 0;  // 0: the counter is not used
};

}  // namespace

void message::start(std::string_view name) {
  text_.clear();
  fields_ = 0;
  add_field(name);
}

void message::add_field(std::string_view field) {
  if (field.empty() || std::any_of(field.begin(), field.end(),
                                   [](char c) { return ends_plain_run[static_cast<unsigned char>(c)]; }))
    add_escaped_field_start(field.size());
  else if (fields_++ > 0)
    text_ += ' ';
  text_ += field;
}

void message::add_escaped_field_start(std::size_t size) {
  if (fields_++ > 0) text_ += ' ';
  text_ += '{';
  text_ += std::to_string(size);
  text_ += '}';
}

void message_accumulator::field_bytes_received(const char* data, std::size_t length) { field_.append(data, length); }

// Room for a long field is made once: growing a string of megabytes by doubling copies it,
// and the last copies take milliseconds in the turn whose bytes pass the capacity. Pages are
// only touched as the bytes arrive.
void message_accumulator::field_bytes_announced(std::size_t length) {
  if (length >= std::size_t{64} << 10) field_.reserve(field_.size() + length);
}

message_parser* message_accumulator::field_ended() {
  fields_.push_back(std::move(field_));
  field_.clear();
  return this;
}

// A mebibyte a turn: the unfinished message of a dropped peer may be many.
bool message_accumulator::release_some() {
  constexpr std::size_t step = std::size_t{1} << 20;
  if (release_tail(field_, step)) return true;
  for (std::size_t freed = 0; !fields_.empty() && freed < step; fields_.pop_back()) {
    if (release_tail(fields_.back(), step)) return true;
    freed += fields_.back().size();
  }
  return !fields_.empty();
}

void message_accumulator::last_field_ended() {
  fields_.push_back(std::move(field_));
  field_.clear();
  // Taken out first: the consumer may feed this accumulator again before returning.
  auto fields = std::move(fields_);
  fields_.clear();
  consumer_.take_message(fields);
  // The list's storage serves the next message too, unless the consumer started one.
  if (fields_.empty()) {
    fields.clear();
    fields_.swap(fields);
  }
}

plaintalk_protocol::plaintalk_protocol(std::shared_ptr<message_parser> parser)
    : parser_(std::move(parser)), current_(parser_.get()) {}

void plaintalk_protocol::install_message_parser(std::shared_ptr<message_parser> parser) {
  parser_ = std::move(parser);
  current_ = parser_.get();
}

std::size_t plaintalk_protocol::data_received(const char* data, std::size_t length) {
  const auto keep = parser_;  // a callback may install another parser
  const char* p = data;
  const char* const end = data + length;
  messages_this_turn_ = 0;
  std::size_t counted = 0;
  const turn_timer timer(turn_budget_);
  if (transport_closed()) return length;
  while (deferred_) {
    if (continue_message()) {
      deferred_ = false;
      ++messages_this_turn_;
    } else if (timer.spent()) {
      return 0;
    }
  }
  while (p < end && state_ != state::broken) {
    if (messages_this_turn_ != counted) {  // a message was handled since the last look
      counted = messages_this_turn_;
      if (transport_closed()) return length;
      if (deferred_ || counted == messages_per_turn_ || timer.spent())
        return static_cast<std::size_t>(p - data);
    }
    switch (state_) {
      case state::plain: {
        const char* run = p;
        while (p < end && !ends_plain_run[static_cast<unsigned char>(*p)]) ++p;
        if (p > run) {
          in_message_ = true;
          if (!add_message_bytes(static_cast<std::size_t>(p - run))) return length;
          deliver(run, static_cast<std::size_t>(p - run));
          if (p == end) break;
        }
        // The byte that ended the run is taken in the same step.
        const char c = *p++;
        if (c == ' ') {
          in_message_ = true;
          if (!add_message_bytes(1)) return length;
          if (++message_fields_ >= max_message_fields) {
            fail("more than " + std::to_string(max_message_fields) + " fields in one message");
            return length;
          }
          current_ = current_ ? current_->field_ended() : nullptr;
        } else if (c == '\n') {
          end_message();
        } else if (c == '\r') {
          state_ = state::after_cr;
        } else {
          in_message_ = true;
          state_ = state::count;
          pending_ = 0;
          count_has_digit_ = false;
        }
        break;
      }
      case state::count: {
        const char c = *p++;
        if (c >= '0' && c <= '9') {
          pending_ = pending_ * 10 + static_cast<std::size_t>(c - '0');
          count_has_digit_ = true;
          if (pending_ > max_message_size) {
            fail("escaped field longer than the 16 MiB message limit");
            return length;
          }
        } else if (c == '}' && count_has_digit_) {
          if (!add_message_bytes(pending_)) return length;
          if (pending_ > 0 && current_) current_->field_bytes_announced(pending_);
          state_ = pending_ > 0 ? state::escaped : state::plain;
        } else {
          fail("malformed escape: expected a digit inside {}");
          return length;
        }
        break;
      }
      case state::escaped: {
        const std::size_t n = std::min(pending_, static_cast<std::size_t>(end - p));
        deliver(p, n);
        p += n;
        pending_ -= n;
        if (pending_ == 0) state_ = state::plain;
        break;
      }
      case state::after_cr:
        if (*p++ != '\n') {
          fail("malformed line end: CR not followed by LF");
          return length;
        }
        end_message();
        break;
      case state::broken:
        return length;
    }
  }
  return length;
}

void plaintalk_protocol::fail(const std::string& reason) {
  state_ = state::broken;
  const bool tag_complete = message_fields_ > 0 && tag_.size() <= max_echoed_tag;
  framing_refused(tag_complete ? std::string_view(tag_) : std::string_view(), reason);
  close_connection(reason);
}

bool plaintalk_protocol::add_message_bytes(std::size_t n) {
  if (message_size_ + n > max_message_size) {
    fail("message larger than 16 MiB");
    return false;
  }
  message_size_ += n;
  return true;
}

void plaintalk_protocol::deliver(const char* data, std::size_t length) {
  if (message_fields_ == 0 && tag_.size() <= max_echoed_tag) tag_.append(data, std::min(length, max_echoed_tag + 1));
  if (current_) current_->field_bytes_received(data, length);
}

void plaintalk_protocol::end_message() {
  state_ = state::plain;
  const bool had_content = in_message_;
  in_message_ = false;
  message_size_ = 0;
  message_fields_ = 0;
  tag_.clear();
  message_parser* last = current_;
  current_ = parser_.get();
  if (had_content) ++messages_this_turn_;
  // An empty line carries no message.
  if (had_content && last) last->last_field_ended();
}

}  // namespace vorn
