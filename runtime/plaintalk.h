#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/protocol.h"

namespace vorn {

// Wire form of a message: fields separated by one space, ended by LF (CR LF accepted).
// Inside a field "{N}" is followed by exactly N raw bytes of the field, whatever they are.
// A message counts its field bytes plus one per separator against max_message_size.
constexpr std::size_t max_message_size = std::size_t{16} << 20;
constexpr std::size_t max_message_fields = 65536;

// An outgoing message, rendered as fields are added. A field is written plainly unless it
// is empty or holds a space, CR, LF or '{'; then it is written as "{N}" and its bytes.
class message {
 public:
  // Starts over with name as the first field.
  void start(std::string_view name);
  void add_field(std::string_view field);
  // Starts a field of that many bytes that the caller sends after the text, as add_field
  // would render them when they hold a line end.
  void add_escaped_field_start(std::size_t size);
  // Closes the message with CR LF, ready to send as it is; start begins the next one.
  void end_line() { text_ += "\r\n"; }
  // The rendered fields, without a line end unless end_line closed the message.
  const std::string& text() const { return text_; }
  std::size_t field_count() const { return fields_; }

 private:
  std::string text_;
  std::size_t fields_ = 0;
};

// Receives the fields of incoming messages, piece by piece.
class message_parser {
 public:
  virtual ~message_parser() = default;
  // More bytes of the current field; a field may come in any number of pieces.
  virtual void field_bytes_received(const char* data, std::size_t length) = 0;
  // The current field's next length bytes are announced ("{N}"); they may come over many turns.
  virtual void field_bytes_announced(std::size_t length) { (void)length; }
  // The current field is complete and another follows; returns the parser for it.
  virtual message_parser* field_ended() = 0;
  // The current field is complete and was the message's last. The next message starts
  // again at the installed parser.
  virtual void last_field_ended() = 0;
  // The connection is gone: gives back part of the message under way; true while more is
  // left. Called once per loop turn until it returns false.
  virtual bool release_some() { return false; }
};

class message_consumer {
 public:
  virtual ~message_consumer() = default;
  virtual void message_received(const std::vector<std::string>& fields) = 0;
  // What the accumulator calls: a consumer that keeps a message past the call may move its
  // fields out. By default they go to message_received.
  virtual void take_message(std::vector<std::string>& fields) { message_received(fields); }
};

// Collects whole messages and hands each to its consumer, which must outlive it.
class message_accumulator : public message_parser {
 public:
  explicit message_accumulator(message_consumer& consumer) : consumer_(consumer) {}

  void field_bytes_received(const char* data, std::size_t length) override;
  void field_bytes_announced(std::size_t length) override;
  message_parser* field_ended() override;
  void last_field_ended() override;
  bool release_some() override;

 private:
  message_consumer& consumer_;
  std::vector<std::string> fields_;
  std::string field_;
};

// Cuts incoming bytes into fields for the installed parser. A malformed stream (a non-digit
// inside "{}", a CR not followed by LF) or an oversized message closes the connection with
// the reason logged, after framing_refused had its chance to tell the peer; nothing more is
// parsed on it. An empty line is not a message.
class plaintalk_protocol : public base_protocol, public message_consumer {
 public:
  // parser may be empty: bytes are then checked and dropped until one is installed.
  explicit plaintalk_protocol(std::shared_ptr<message_parser> parser);

  // Stops after the turn's budget of complete messages and returns the bytes taken so far.
  std::size_t data_received(const char* data, std::size_t length) override;

  void install_message_parser(std::shared_ptr<message_parser> parser);
  // The bytes of the message under way that have arrived; its parser keeps them until the
  // message ends. An escape's announced length counts only as its bytes come in.
  std::size_t held_input() const override { return message_size_ - (state_ == state::escaped ? pending_ : 0); }
  bool release_some() override { return parser_ && parser_->release_some(); }
  bool has_work_left() const override { return deferred_; }

 protected:
  // The stream broke and the connection is about to close. tag is the broken message's first
  // field when it was complete (and short), empty otherwise. Whatever is written here is
  // still sent before the close.
  virtual void framing_refused(std::string_view tag, std::string_view reason) {
    (void)tag;
    (void)reason;
  }

 public:

  // A peer that pipelines many messages is served this many per loop turn, so that one
  // connection cannot keep the loop from everything else; 0 serves all that arrived.
  void set_messages_per_turn(std::size_t messages) { messages_per_turn_ = messages; }
  // Also yields once the turn's messages took this long (zero: no limit), since messages
  // differ in cost: a big reply, or the log lines a command writes.
  void set_turn_budget(std::chrono::microseconds budget) { turn_budget_ = budget; }

 protected:
  // Called while a message is handled: its handling goes on over later turns, in calls of
  // continue_message, and no further message is read until it is done. Replies stay in order.
  void defer_message() { deferred_ = true; }
  // A part of the deferred message's work, small against the turn budget; true once all of
  // it is done. Called again and again within a turn until the budget is spent.
  virtual bool continue_message() { return true; }

 private:
  enum class state : std::uint8_t { plain, count, escaped, after_cr, broken };

  void fail(const std::string& reason);
  bool add_message_bytes(std::size_t n);
  void end_message();
  void deliver(const char* data, std::size_t length);

  std::shared_ptr<message_parser> parser_;
  message_parser* current_ = nullptr;
  state state_ = state::plain;
  bool in_message_ = false;
  std::size_t pending_ = 0;  // the escape count being read, then the escaped bytes left
  bool count_has_digit_ = false;
  std::size_t message_size_ = 0;
  std::size_t message_fields_ = 0;
  std::size_t messages_per_turn_ = 0;
  std::size_t messages_this_turn_ = 0;
  std::chrono::microseconds turn_budget_{0};
  bool deferred_ = false;
  std::string tag_;  // the current message's first field, kept only to name it when refusing
};

}  // namespace vorn
