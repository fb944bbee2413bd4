#include "runtime/protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct open_transport : vorn::transport {
  bool write(std::string_view) override { return open; }
  void close(std::string_view why) override {
    open = false;
    reason = why;
  }
  bool is_open() const override { return open; }
  bool open = true;
  std::string reason;
};

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

  open_transport wire;
  std::vector<std::string> records;
};

TEST(ReceiveBuffer, KeepsPartialRecordsAcrossChunksAndCompaction) {
  record_protocol p;
  p.feed("");  // an empty chunk before any data is harmless
  for (int i = 0; i < 200; ++i) p.feed("record-" + std::to_string(i) + "|rec");
  ASSERT_EQ(p.records.size(), 200u);
  EXPECT_EQ(p.records[0], "record-0");
  EXPECT_EQ(p.records[1], "recrecord-1");
  EXPECT_EQ(p.records[199], "recrecord-199");
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
