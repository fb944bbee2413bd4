#include "runtime/plaintalk.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <functional>
#include <string>
#include <vector>

#include "runtime/buffer_release.h"

namespace {

using fields = std::vector<std::string>;
using messages = std::vector<fields>;

struct fake_transport : vorn::transport {
  bool write(std::string_view) override { return open; }
  void close(std::string_view why) override {
    open = false;
    reason = why;
  }
  bool is_open() const override { return open; }
  bool open = true;
  std::string reason;
};

// Collects messages the way a service protocol does: the accumulator is installed once the
// connection is made.
class collecting_protocol : public vorn::plaintalk_protocol {
 public:
  collecting_protocol() : vorn::plaintalk_protocol(nullptr) { attach_transport(wire); }
  void connection_made() override { install_message_parser(std::make_shared<vorn::message_accumulator>(*this)); }
  void message_received(const fields& f) override {
    received.push_back(f);
    if (on_message) on_message(f);
  }
  void feed(std::string_view bytes) { data_received(bytes.data(), bytes.size()); }

  fake_transport wire;
  messages received;
  std::function<void(const fields&)> on_message;
};

TEST(PlaintalkParser, ATurnEndsAfterItsMessageBudgetAndTheRestParsesAsIfUnbroken) {
  collecting_protocol p;
  p.set_messages_per_turn(2);
  const std::string bytes = "1 a\n\n2 {3}b\nc\r\n3\n4 d";
  // The empty line is not a message, so the turn ends after "2 ...".
  const std::size_t first = p.data_received(bytes.data(), bytes.size());
  EXPECT_EQ(first, bytes.find("3\n"));
  EXPECT_EQ(p.received, (messages{{"1", "a"}, {"2", "b\nc"}}));
  std::string_view rest = std::string_view(bytes).substr(first);
  rest.remove_prefix(p.data_received(rest.data(), rest.size()));
  EXPECT_TRUE(rest.empty());  // one message and an unfinished one fit the next turn
  p.feed("\n");
  EXPECT_EQ(p.received, (messages{{"1", "a"}, {"2", "b\nc"}, {"3"}, {"4", "d"}}));

  // A time budget ends the turn after the message that used it up, whatever the count.
  collecting_protocol slow;
  slow.set_turn_budget(std::chrono::microseconds(500));
  slow.on_message = [](const fields&) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
  const std::string three = "1\n2\n3\n";
  EXPECT_EQ(slow.data_received(three.data(), three.size()), 2u);
  EXPECT_EQ(slow.received, (messages{{"1"}}));
  // Turns 20 ms apart teach the timer the processor counter's rate; the budget holds the
  // same with it, and quick messages still all fit one turn.
  std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_EQ(slow.data_received(three.data() + 2, 4), 2u);
  EXPECT_EQ(slow.received, (messages{{"1"}, {"2"}}));
  collecting_protocol quick;
  quick.set_turn_budget(std::chrono::microseconds(500));
  EXPECT_EQ(quick.data_received(three.data(), three.size()), three.size());
}

// A dropped peer's message under way goes back a mebibyte a turn, not all in one.
TEST(PlaintalkParser, AMessageUnderWayIsGivenBackAPartATurn) {
  collecting_protocol p;
  p.connection_made();
  const std::string field(std::size_t{3} << 20, 'x');
  p.feed("1 " + field + " {" + std::to_string(field.size() + 10) + "}" + field);
  EXPECT_TRUE(p.received.empty());
  int turns = 0;
  while (p.release_some()) ++turns;
  EXPECT_EQ(turns, 5);  // each field of three mebibytes cut twice, then the short first field

  std::string reply = "head" + std::string(std::size_t{5} << 20, 'y');
  EXPECT_TRUE(vorn::release_tail(reply, std::size_t{4} << 20));
  EXPECT_EQ(reply.size(), (std::size_t{1} << 20) + 4);
  EXPECT_EQ(reply.substr(0, 5), "heady");
  EXPECT_EQ(reply.back(), 'y');  // what is kept is untouched up to its end
  EXPECT_FALSE(vorn::release_tail(reply, std::size_t{4} << 20));
}

messages parse(std::string_view bytes) {
  collecting_protocol p;
  p.feed(bytes);
  EXPECT_TRUE(p.wire.open) << p.wire.reason;
  return p.received;
}

TEST(PlaintalkParser, FieldsAndEscapesComeOutTheSameAtEverySplitOfTheStream) {
  const std::vector<std::pair<std::string, messages>> rows = {
      {"7 AddTicker news\r\n", {{"7", "AddTicker", "news"}}},
      // Escaped bytes are taken whatever they are, and plain and escaped runs join in one field.
      {"a{7}b c\r\n{}d x{0}y\n",
       {{"a"
         "b c\r\n{}d",
         "xy"}}},
      {"1 T AddGroupAfterCurrent {26}<group name=\"g\">\r\n</group>\r\n",
       {{"1", "T", "AddGroupAfterCurrent", "<group name=\"g\">\r\n</group>"}}},
      {"2 x{11}{3}a b\r\n  c{0}\n3 {10}0123456789 end\n", {{"2", "x{3}a b\r\n  c"}, {"3", "0123456789", "end"}}},
      {"{0} {3}   \n{0}\r\n", {{"", "   "}, {""}}},
      // A doubled or trailing space leaves an empty field; an empty line is no message.
      {"a  b \n\n\r\nc\n", {{"a", "", "b", ""}, {"c"}}},
      {"a}b {2}}{\n", {{"a}b", "}{"}}},
      // Bytes after the last line end wait for the rest of their message.
      {"one\ntwo three", {{"one"}}},
  };
  for (const auto& [stream, expected] : rows) {
    EXPECT_EQ(parse(stream), expected) << stream;
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      collecting_protocol p;
      p.feed(std::string_view(stream).substr(0, cut));
      p.feed(std::string_view(stream).substr(cut));
      EXPECT_EQ(p.received, expected) << stream << " split at " << cut;
    }
    collecting_protocol bytewise;
    for (char c : stream) bytewise.feed(std::string_view(&c, 1));
    EXPECT_EQ(bytewise.received, expected) << stream << " byte by byte";
  }
}

TEST(PlaintalkParser, MalformedStreamClosesTheConnectionAndStopsParsing) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"ok\n{1a}xx\nnext\n", "digit"}, {"ok\n{}\nnext\n", "digit"}, {"ok\nab\rc\nnext\n", "CR not followed by LF"}};
  for (const auto& [stream, reason] : rows) {
    collecting_protocol p;
    p.feed(stream);
    EXPECT_FALSE(p.wire.open) << stream;
    EXPECT_NE(p.wire.reason.find(reason), std::string::npos) << p.wire.reason;
    p.feed("more\n");
    EXPECT_EQ(p.received, messages{{"ok"}}) << stream;
  }
}

TEST(PlaintalkParser, MessageSizeLimitCountsFieldBytesAndSeparators) {
  const std::string chunk(1 << 20, 'x');
  auto feed_bytes = [&](collecting_protocol& p, std::size_t n) {
    for (; n >= chunk.size(); n -= chunk.size()) p.feed(chunk);
    p.feed(std::string_view(chunk).substr(0, n));
  };
  collecting_protocol at_limit;
  feed_bytes(at_limit, vorn::max_message_size);
  at_limit.feed("\nnext message\n");  // the count starts over
  ASSERT_EQ(at_limit.received.size(), 2u);
  EXPECT_EQ(at_limit.received[0][0].size(), vorn::max_message_size);
  EXPECT_TRUE(at_limit.wire.open);

  collecting_protocol over;
  over.feed("a ");
  feed_bytes(over, vorn::max_message_size - 2);
  EXPECT_TRUE(over.wire.open);
  over.feed("y");
  EXPECT_FALSE(over.wire.open);
  EXPECT_NE(over.wire.reason.find("16 MiB"), std::string::npos);

  // An escape announcing too much is refused before any of its bytes arrive.
  collecting_protocol announced;
  announced.feed("{" + std::to_string(vorn::max_message_size + 1) + "}");
  EXPECT_FALSE(announced.wire.open);
  collecting_protocol many_fields;
  many_fields.feed(std::string(vorn::max_message_fields, ' '));
  EXPECT_NE(many_fields.wire.reason.find("fields"), std::string::npos);
}

TEST(PlaintalkParser, ConsumerMayReplaceTheParserOrCloseBetweenMessages) {
  struct callback_consumer : vorn::message_consumer {
    std::function<void(const fields&)> call;
    void message_received(const fields& f) override { call(f); }
  } other;
  collecting_protocol p;
  messages second;
  other.call = [&](const fields& f) {
    second.push_back(f);
    if (f[0] == "bye") p.close_connection();
  };
  p.on_message = [&](const fields& f) {
    if (f[0] == "switch") p.install_message_parser(std::make_shared<vorn::message_accumulator>(other));
  };
  p.feed("a\nswitch\nb c\nbye\nlost\n");
  EXPECT_EQ(p.received, (messages{{"a"}, {"switch"}}));
  EXPECT_EQ(second, (messages{{"b", "c"}, {"bye"}}));
}

// A consumer may start the next message itself while handling one; reusing the finished
// message's storage must not clobber it.
TEST(MessageAccumulator, AConsumerThatStartsTheNextMessageKeepsItsFields) {
  struct consumer : vorn::message_consumer {
    void message_received(const fields& f) override {
      got.push_back(f);
      if (f[0] == "1") {
        accumulator->field_bytes_received("2", 1);
        accumulator->field_ended();
      }
    }
    vorn::message_accumulator* accumulator = nullptr;
    messages got;
  } c;
  vorn::message_accumulator accumulator(c);
  c.accumulator = &accumulator;
  for (const char* field : {"1", "a"}) {
    accumulator.field_bytes_received(field, 1);
    if (field[0] == '1') accumulator.field_ended();
  }
  accumulator.last_field_ended();
  accumulator.field_bytes_received("b", 1);
  accumulator.last_field_ended();
  EXPECT_EQ(c.got, (messages{{"1", "a"}, {"2", "b"}}));
}

TEST(PlaintalkMessage, EscapesOnlyFieldsThatNeedItAndParsesBack) {
  const fields all{"7", "ok", "", "two words", "line\nbreak", "cr\r", "{3}", "a}b", std::string("nul\0x", 5)};
  vorn::message m;
  m.start(all[0]);
  for (std::size_t i = 1; i < all.size(); ++i) m.add_field(all[i]);
  EXPECT_EQ(m.text(), std::string("7 ok {0} {9}two words {10}line\nbreak {3}cr\r {3}{3} a}b nul\0x", 60));
  EXPECT_EQ(m.field_count(), 9u);
  EXPECT_EQ(parse(m.text() + "\r\n"), messages{all});
  m.start("*");
  EXPECT_EQ(m.text(), "*");
}

// Works on the receive buffer the way a document-splitting client does: takes whole
// "|"-terminated records and compacts once half the block is consumed.
class record_protocol : public vorn::base_protocol {
 public:
  record_protocol() { attach_transport(wire); }
  void received_data_added_to_buffer() override {
    for (auto end = buffer().unread().find('|'); end != std::string_view::npos; end = buffer().unread().find('|')) {
      records.emplace_back(buffer().unread().substr(0, end));
      buffer().consume(end + 1);
      if (buffer().read_position() * 2 >= buffer().capacity()) buffer().compact();
    }
  }
  void feed(std::string_view s) { data_received(s.data(), s.size()); }
  std::string unread() { return std::string(buffer().unread()); }

  fake_transport wire;
  std::vector<std::string> records;
};

TEST(ReceiveBuffer, KeepsPartialRecordsAcrossChunksAndCompaction) {
  record_protocol p;
  p.feed("");  // an empty chunk before any data is harmless
  for (int i = 0; i < 200; ++i) p.feed("record-" + std::to_string(i) + "|rec");
  ASSERT_EQ(p.records.size(), 200u);
  EXPECT_EQ(p.records[0] + " " + p.records[1] + " " + p.records[199], "record-0 recrecord-1 recrecord-199");
  EXPECT_EQ(p.unread(), "rec");
  EXPECT_TRUE(p.wire.open);
}

TEST(ReceiveBuffer, TooMuchUnconsumedInputClosesTheConnection) {
  record_protocol p;
  const std::string chunk(1 << 20, 'x');
  for (int i = 0; i < 16; ++i) p.feed(chunk);
  EXPECT_TRUE(p.wire.open);
  p.feed("x");
  EXPECT_FALSE(p.wire.open);
  EXPECT_NE(p.wire.reason.find("16 MiB"), std::string::npos);
}

}  // namespace
