#include "feed/quillmere_client.h"

#include <gtest/gtest.h>

#include <boost/lexical_cast.hpp>
#include <memory>
#include <string>
#include <vector>

#include "tests/feed/test_hub.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using testing::recording_subscriber;

TEST(QuillmereUrl, SplitsSchemeHostPortAndPath) {
  auto url = parse_quillmere_url("http://hub.example:8080/a?x=1");
  EXPECT_EQ(url.scheme, "http");
  EXPECT_EQ(url.host, "hub.example");
  EXPECT_EQ(url.port, 8080);
  EXPECT_EQ(url.path, "/a?x=1");

  url = parse_quillmere_url("qm://hub");
  EXPECT_EQ(url.host, "hub");
  EXPECT_EQ(url.port, 0);
  EXPECT_EQ(url.path, "/");

  url = parse_quillmere_url("x://hub:/deep/er/");
  EXPECT_EQ(url.host, "hub");
  EXPECT_EQ(url.port, 0);
  EXPECT_EQ(url.path, "/deep/er/");

  // Without anything after "://" the whole text is the path.
  for (const std::string whole : {"hub:99/feed", "http://", ""}) {
    url = parse_quillmere_url(whole);
    EXPECT_EQ(url.path, whole);
    EXPECT_EQ(url.host, "");
    EXPECT_EQ(url.port, 0);
  }

  EXPECT_THROW(parse_quillmere_url("http://hub:80x/"), boost::bad_lexical_cast);
  EXPECT_THROW(parse_quillmere_url("http://hub:http/"), boost::bad_lexical_cast);
  EXPECT_THROW(parse_quillmere_url("http://hub:99999999999/"), boost::bad_lexical_cast);
}

struct recording_transport : vorn::transport {
  std::string sent;
  bool open = true;
  bool write(std::string_view bytes) override {
    sent += bytes;
    return open;
  }
  void close(std::string_view) override { open = false; }
  bool is_open() const override { return open; }
};

// Exposes the receive buffer so the compaction rule can be checked.
struct inspected_protocol : quillmere_client_protocol {
  using quillmere_client_protocol::quillmere_client_protocol;
  const vorn::receive_buffer& received() { return buffer(); }
};

// One connection of a subscription, driven by hand.
struct connection {
  explicit connection(std::size_t cap = default_max_unread_feed_bytes)
      : factory(std::make_shared<quillmere_client_factory>(subscriber, 7, "/", log, cap)),
        protocol(factory, log) {
    protocol.attach_transport(transport);
  }
  void receive(std::string_view bytes) { protocol.data_received(bytes.data(), bytes.size()); }

  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>(100);
  std::shared_ptr<recording_subscriber> subscriber = std::make_shared<recording_subscriber>();
  std::shared_ptr<quillmere_client_factory> factory;
  recording_transport transport;
  inspected_protocol protocol;
};

const std::string separator(quillmere_separator);
const std::string stream = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n<A>1</A>" + separator + "\r\n<B/>" +
                           separator + "<C x=\"a<b\">3</C>" + separator + "no document" + separator + "<D>";
const std::vector<std::string> documents = {"<A>1</A>", "<B/>", "<C x=\"a<b\">3</C>", ""};

TEST(QuillmereClientProtocol, SplitsTheStreamWhereverReadsAreCut) {
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    connection c;
    c.receive(std::string_view(stream).substr(0, cut));
    c.receive(std::string_view(stream).substr(cut));
    EXPECT_EQ(c.subscriber->documents, documents) << "cut at " << cut;
    EXPECT_EQ(c.protocol.received().unread(), "<D>") << "cut at " << cut;
  }

  connection bytewise;
  for (const char byte : stream) bytewise.receive(std::string_view(&byte, 1));
  EXPECT_EQ(bytewise.subscriber->documents, documents);

  // Each document is logged at the most detailed level.
  EXPECT_EQ(bytewise.log->count("GOT MESSAGE: <A>1</A>\n"), 1);
  EXPECT_EQ(bytewise.log->count("Got data. Buffer is now: "), static_cast<int>(stream.size()));
}

TEST(QuillmereClientProtocol, CompactsOnlyOnceHalfTheBufferIsConsumed) {
  connection c;
  // A large first document sizes the buffer; a partial document is always left behind,
  // so the buffer never simply empties.
  c.receive("<big>" + std::string(2000, 'x') + "</big>" + separator + "<do");
  const auto& buffer = c.protocol.received();
  const auto capacity = buffer.capacity();
  EXPECT_EQ(buffer.read_position(), 0u);

  const std::string rest = "c>" + std::string(100, 'x') + "</doc>" + separator + "<do";
  bool kept_in_place = false;
  for (int i = 1; i <= 20; ++i) {
    c.receive(rest);
    ASSERT_EQ(c.subscriber->documents.size(), 1u + i);
    ASSERT_EQ(buffer.capacity(), capacity);
    EXPECT_LT(buffer.read_position(), capacity / 2);
    kept_in_place = kept_in_place || buffer.read_position() > 0;
    EXPECT_EQ(buffer.unread(), "<do");
  }
  EXPECT_TRUE(kept_in_place);  // small documents do not move the buffer each time
  EXPECT_EQ(c.subscriber->documents.back(), "<doc>" + std::string(100, 'x') + "</doc>");
}

TEST(QuillmereClientProtocol, DropsTheConnectionWhenAnUnfinishedDocumentPassesTheCap) {
  connection c(64);
  c.receive("<big>" + std::string(59, 'x'));  // exactly at the cap
  EXPECT_TRUE(c.transport.open);
  // Complete documents do not count, only what is left unread.
  c.receive("</big>" + separator + "<next>" + std::string(58, 'y'));
  EXPECT_TRUE(c.transport.open);
  EXPECT_EQ(c.subscriber->documents.size(), 1u);
  EXPECT_FALSE(c.log->contains("without a separator"));

  c.receive("y");
  EXPECT_FALSE(c.transport.open);
  EXPECT_EQ(c.log->entries().back().text,
            "Feed document passed 64 bytes without a separator. Dropping the connection.\n");
  EXPECT_EQ(c.log->entries().back().level, 20);
}

}  // namespace
}  // namespace orv
