#include "runtime/plaintalk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using fields = std::vector<std::string>;

struct fake_transport : vorn::transport {
  bool write(std::string_view bytes) override {
    written += bytes;
    return open;
  }
  void close(std::string_view why) override {
    open = false;
    reason = why;
  }
  bool is_open() const override { return open; }

  bool open = true;
  std::string written;
  std::string reason;
};

// Collects messages the way a service protocol does: the accumulator is installed once the
// connection is made.
class collecting_protocol : public vorn::plaintalk_protocol {
 public:
  collecting_protocol() : vorn::plaintalk_protocol(nullptr) { attach_transport(wire); }
  void connection_made() override { install_message_parser(std::make_shared<vorn::message_accumulator>(*this)); }
  void message_received(const fields& f) override {
    messages.push_back(f);
    if (on_message) on_message(f);
  }
  void feed(std::string_view bytes) { data_received(bytes.data(), bytes.size()); }

  fake_transport wire;
  std::vector<fields> messages;
  std::function<void(const fields&)> on_message;
};

std::vector<fields> parse(std::string_view bytes) {
  collecting_protocol p;
  p.feed(bytes);
  EXPECT_TRUE(p.wire.open) << p.wire.reason;
  return p.messages;
}

TEST(PlaintalkParser, SplitsFieldsAndDecodesEscapes) {
  EXPECT_EQ(parse("7 AddTicker news\r\n"), (std::vector<fields>{{"7", "AddTicker", "news"}}));
  // Escaped bytes are taken whatever they are, and plain and escaped runs join in one field.
  EXPECT_EQ(parse("a{7}b c\r\n{}d x{0}y\n"), (std::vector<fields>{{"a" "b c\r\n{}d", "xy"}}));
  EXPECT_EQ(parse("{0} {3}   \n"), (std::vector<fields>{{"", "   "}}));
  // A doubled or trailing space leaves an empty field; an empty line is no message.
  EXPECT_EQ(parse("a  b \n\n\r\nc\n"), (std::vector<fields>{{"a", "", "b", ""}, {"c"}}));
  EXPECT_EQ(parse("a}b {2}}{\n"), (std::vector<fields>{{"a}b", "}{"}}));
  // Bytes after the last line end wait for the rest of their message.
  EXPECT_EQ(parse("one\ntwo three"), (std::vector<fields>{{"one"}}));
}

TEST(PlaintalkParser, AnySplitOfTheStreamGivesTheSameMessages) {
  const std::string stream =
      "1 on_ticker T AddGroupAfterCurrent {26}<group name=\"g\">\r\n</group>\r\n"
      "2 x{11}{3}a b\r\n  c{0}\n"
      "\r\n"
      "{0}\r\n"
      "3 {10}0123456789 end\n";
  const auto whole = parse(stream);
  ASSERT_EQ(whole.size(), 4u);
  EXPECT_EQ(whole[0][4], "<group name=\"g\">\r\n</group>");
  EXPECT_EQ(whole[1][1], "x{3}a b\r\n  c");

  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    collecting_protocol p;
    p.feed(std::string_view(stream).substr(0, cut));
    p.feed(std::string_view(stream).substr(cut));
    EXPECT_EQ(p.messages, whole) << "split at " << cut;
  }
  collecting_protocol bytewise;
  for (char c : stream) bytewise.feed(std::string_view(&c, 1));
  EXPECT_EQ(bytewise.messages, whole);
}

TEST(PlaintalkParser, MalformedStreamClosesTheConnectionAndStopsParsing) {
  struct bad {
    std::string stream;
    std::string reason;
  };
  for (const auto& [stream, reason] : {bad{"ok\n{1a}xx\nnext\n", "digit"}, bad{"ok\n{}\nnext\n", "digit"},
                                       bad{"ok\nab\rc\nnext\n", "CR not followed by LF"}}) {
    collecting_protocol p;
    p.feed(stream);
    EXPECT_FALSE(p.wire.open) << stream;
    EXPECT_NE(p.wire.reason.find(reason), std::string::npos) << p.wire.reason;
    EXPECT_EQ(p.messages, (std::vector<fields>{{"ok"}})) << stream;
    p.feed("more\n");
    EXPECT_EQ(p.messages.size(), 1u);
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
  at_limit.feed("\n");
  ASSERT_EQ(at_limit.messages.size(), 1u);
  EXPECT_EQ(at_limit.messages[0][0].size(), vorn::max_message_size);
  at_limit.feed("next message\n");  // the count starts over
  EXPECT_EQ(at_limit.messages.size(), 2u);
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
  EXPECT_FALSE(many_fields.wire.open);
  EXPECT_NE(many_fields.wire.reason.find("fields"), std::string::npos);
}

TEST(PlaintalkParser, ConsumerMayReplaceTheParserOrCloseBetweenMessages) {
  struct callback_consumer : vorn::message_consumer {
    std::function<void(const fields&)> call;
    void message_received(const fields& f) override { call(f); }
  } other;
  collecting_protocol p;
  std::vector<fields> second;
  other.call = [&](const fields& f) {
    second.push_back(f);
    if (f[0] == "bye") p.close_connection();
  };
  p.on_message = [&](const fields& f) {
    if (f[0] == "switch") p.install_message_parser(std::make_shared<vorn::message_accumulator>(other));
  };
  p.feed("a\nswitch\nb c\nbye\nlost\n");
  EXPECT_EQ(p.messages, (std::vector<fields>{{"a"}, {"switch"}}));
  EXPECT_EQ(second, (std::vector<fields>{{"b", "c"}, {"bye"}}));
}

TEST(PlaintalkMessage, EscapesOnlyFieldsThatNeedItAndParsesBack) {
  vorn::message m;
  m.start("7");
  for (const auto& f : fields{"ok", "", "two words", "line\nbreak", "cr\r", "{3}", "a}b", std::string("nul\0x", 5)})
    m.add_field(f);
  EXPECT_EQ(m.text(), std::string("7 ok {0} {9}two words {10}line\nbreak {3}cr\r {3}{3} a}b nul\0x", 60));
  EXPECT_EQ(m.field_count(), 9u);
  EXPECT_EQ(parse(m.text() + "\r\n"),
            (std::vector<fields>{{"7", "ok", "", "two words", "line\nbreak", "cr\r", "{3}", "a}b",
                                  std::string("nul\0x", 5)}}));
  m.start("*");
  EXPECT_EQ(m.text(), "*");
}

}  // namespace
