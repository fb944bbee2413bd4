#include "feed/quillmere_client.h"

#include <gtest/gtest.h>

#include <boost/lexical_cast.hpp>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/fake_connection.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using texts = std::vector<std::string>;

// Keeps each document it is handed.
struct recording_subscriber : quillmere_subscriber {
  texts documents;
  void receive(const std::string& document) override { documents.push_back(document); }
};

TEST(QuillmereUrl, SplitsSchemeHostPortAndPath) {
  for (const auto& [url, parts] :
       std::vector<std::pair<std::string, std::string>>{{"http://hub.example:8080/a?x=1", "hub.example 8080 /a?x=1"},
                                                        {"qm://hub", "hub 0 /"},
                                                        {"x://hub:/deep/er/", "hub 0 /deep/er/"},
                                                        // Without anything after "://" the whole text is the path.
                                                        {"hub:99/feed", " 0 hub:99/feed"},
                                                        {"http://", " 0 http://"},
                                                        {"", " 0 "}}) {
    const auto u = parse_quillmere_url(url);
    EXPECT_EQ(u.host + " " + std::to_string(u.port) + " " + u.path, parts) << url;
  }
  EXPECT_EQ(parse_quillmere_url("http://hub:1/").scheme, "http");
  for (const char* bad : {"http://hub:80x/", "http://hub:http/", "http://hub:99999999999/"})
    EXPECT_THROW(parse_quillmere_url(bad), boost::bad_lexical_cast) << bad;
}

// One connection of a subscription, driven by hand.
struct connection {
  explicit connection(std::size_t cap = default_max_unread_feed_bytes)
      : factory(std::make_shared<quillmere_client_factory>(subscriber, 7, "/", log, cap)), protocol(factory, log) {
    protocol.attach_transport(transport);
  }
  void receive(std::string_view bytes) { protocol.data_received(bytes.data(), bytes.size()); }

  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>(100);
  std::shared_ptr<recording_subscriber> subscriber = std::make_shared<recording_subscriber>();
  std::shared_ptr<quillmere_client_factory> factory;
  testing::fake_transport transport;
  quillmere_client_protocol protocol;
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
    c.receive(separator);  // the unfinished document was kept
    EXPECT_EQ(c.subscriber->documents.back(), "<D>") << "cut at " << cut;
  }
  connection bytewise;
  for (const char byte : stream) bytewise.receive(std::string_view(&byte, 1));
  EXPECT_EQ(bytewise.subscriber->documents, documents);
}

TEST(QuillmereClientProtocol, ALargeDocumentInManyReadsComesOutWhole) {
  std::string big = "<big>";
  for (int i = 0; big.size() < 300000; ++i) big += "<v>" + std::to_string(i) + "</v>";
  big += "</big>";
  const std::string wire = big + separator + "<small/>" + separator;
  // Read sizes that put the separator across reads, and pieces past the gathering size.
  for (const std::size_t read : {std::size_t{40000}, std::size_t{65537}, big.size() + 3}) {
    connection c;
    for (std::size_t at = 0; at < wire.size(); at += read) c.receive(std::string_view(wire).substr(at, read));
    EXPECT_EQ(c.subscriber->documents, (texts{big, "<small/>"})) << read;
  }
}

TEST(QuillmereClientProtocol, DropsTheConnectionWhenAnUnfinishedDocumentPassesTheCap) {
  connection c(64);
  c.receive("<big>" + std::string(59, 'x'));  // exactly at the cap
  // Complete documents do not count, only what is left unread.
  c.receive("</big>" + separator + "<next>" + std::string(58, 'y'));
  EXPECT_TRUE(c.transport.open);
  EXPECT_EQ(c.subscriber->documents.size(), 1u);
  c.receive("y");
  EXPECT_FALSE(c.transport.open);
  EXPECT_EQ(c.log->entries().back().text,
            "Feed document passed 64 bytes without a separator. Dropping the connection.\n");
  EXPECT_EQ(c.log->entries().back().level, 20);

  // What a dropped connection held goes back a mebibyte per turn.
  connection large;
  for (int i = 0; i < 40; ++i) large.receive(std::string(65536, 'z'));
  int turns = 1;
  while (large.protocol.release_some()) ++turns;
  EXPECT_EQ(turns, 3);
}

// Takes "<big/>" in three parts, recording each part it applies.
struct parting_subscriber : quillmere_subscriber {
  texts parts;
  int left = 0;
  void receive(const std::string& document) override { parts.push_back(document); }
  bool start(std::string&& document) override {
    left = document == "<big/>" ? 2 : 0;
    parts.push_back(document);
    return left == 0;
  }
  bool resume() override {
    parts.push_back("part");
    return --left == 0;
  }
};

TEST(QuillmereClientProtocol, ADocumentAppliedInPartsHoldsBackWhatFollowsItEvenAfterTheConnectionIsGone) {
  auto subscriber = std::make_shared<parting_subscriber>();
  auto log = std::make_shared<testing::memory_logger>(100);
  auto factory = std::make_shared<quillmere_client_factory>(subscriber, 7, "/", log);
  testing::fake_connection c(*factory);
  const std::string wire = "<big/>" + separator + "<small/>" + separator + "<big/>" + separator;
  std::string_view rest = c.turn(wire);
  EXPECT_EQ(rest, wire.substr(6 + separator.size()));
  EXPECT_TRUE(c.has_work_left());
  EXPECT_EQ(c.turn(rest), rest);  // one part a turn, and nothing new meanwhile
  EXPECT_EQ(subscriber->parts, (texts{"<big/>", "part"}));
  c.receive(rest);
  EXPECT_EQ(subscriber->parts, (texts{"<big/>", "part", "part", "<small/>", "<big/>", "part", "part"}));

  // A message of megabytes, read as the connection reads it, is joined a mebibyte a turn,
  // with the header in front of it left out.
  const std::string large = "<large>" + std::string(std::size_t{3} << 20, 'x') + "</large>";
  const std::string stream = "HTTP/1.0 200 OK\r\n\r\n" + large + separator;
  std::size_t turns = 0, reads = 0;
  for (std::size_t at = 0; at < stream.size(); at += 65536, ++reads)
    for (auto chunk = std::string_view(stream).substr(at, 65536); !chunk.empty() || c.has_work_left(); ++turns)
      chunk = c.turn(chunk);
  EXPECT_EQ(subscriber->parts.back(), large);
  EXPECT_GE(turns, reads + 2) << "the join spread over turns after the one that read the separator";

  // A document taken whole before the loss is still applied, a part a turn.
  EXPECT_EQ(c.turn("<big/>" + separator), "");
  subscriber->parts.clear();
  c.release();
  EXPECT_EQ(subscriber->parts, (texts{"part", "part"}));
}

// The demo hub as operators run it, and this test's clients subscribing to it.
class DemoFeedHub : public ::testing::Test {
 protected:
  void start(std::vector<std::string> arguments, const std::string& standard_input = "") {
    arguments.insert(arguments.begin(), {"--port", std::to_string(port)});
    hub.emplace(ORV_DEMO_FEEDHUB_EXE, arguments, std::map<std::string, std::string>{}, standard_input);
  }
  // Only the first URL counts.
  std::shared_ptr<recording_subscriber> subscribe(quillmere_client& by, const std::string& path) {
    auto subscriber = std::make_shared<recording_subscriber>();
    subscriptions.push_back(
        by.subscribe({"http://127.0.0.1:" + std::to_string(port) + path, "http://x:1/"}, subscriber));
    return subscriber;
  }
  texts received(const std::shared_ptr<recording_subscriber>& s, std::size_t count) {
    EXPECT_TRUE(run_until([&] { return s->documents.size() >= count; })) << count;
    return s->documents;
  }
  bool run_until(const std::function<bool()>& done) {
    return testing::run_until(loop->io_context(), done, std::chrono::seconds(15));
  }
  void TearDown() override {
    // The hub is a sanitizer build too; it must end cleanly on SIGTERM.
    hub->signal(SIGTERM);
    EXPECT_EQ(hub->wait_exit(std::chrono::seconds(10)), 0);
    EXPECT_EQ(hub->standard_error().find("Sanitizer"), std::string::npos) << hub->standard_error();
    if (HasFailure()) std::cerr << hub->standard_output();
  }

  int port = testing::free_port();
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>(50);
  std::shared_ptr<vorn::asyncore> loop = std::make_shared<vorn::asyncore>(log);
  quillmere_client client{loop, log};
  std::vector<quillmere_subscription> subscriptions;
  std::optional<testing::child_process> hub;
};

TEST_F(DemoFeedHub, SendsTheFilesOnSubscribingAndAgainOnTheIntervalAsTheyAreNow) {
  const auto dir = std::filesystem::temp_directory_path() / ("orv-demohub-" + std::to_string(port));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "one.xml") << "<GROUP id=\"one\"/>\n";
  std::ofstream(dir / "two.xml") << "<SECURITY id=\"a\"><NAME>x</NAME></SECURITY>";
  start({"--interval", "1", (dir / "one.xml").string(), (dir / "two.xml").string()});
  auto subscriber = subscribe(client, "/demo?x=1");
  EXPECT_EQ(received(subscriber, 2), (texts{"<GROUP id=\"one\"/>\n", "<SECURITY id=\"a\"><NAME>x</NAME></SECURITY>"}));
  // Files are read again for each sending, so edits reach subscribers.
  const std::string edited = "<SECURITY id=\"a\"><NAME>y</NAME></SECURITY>";
  std::ofstream(dir / "two.xml") << edited;
  ASSERT_TRUE(run_until([&] { return subscriber->documents.size() > 2 && subscriber->documents.back() == edited; }));
  EXPECT_EQ(subscriber->documents.size() % 2, 0u);
  std::filesystem::remove_all(dir);
}

TEST_F(DemoFeedHub, SendsStandardInputToEverySubscriberWhichHasItsOwnIdAndComesBackWhenTheHubListens) {
  // Subscribed before the hub listens: the client keeps trying at its own pace.
  auto early = subscribe(client, "/a");
  // The line names the subscription, so a reader of the log knows which feed is down.
  ASSERT_TRUE(run_until([&] {
    return log->contains("Failed. Reconnecting. (http://127.0.0.1:" + std::to_string(port) + "/a: ");
  }));
  start({},
        "<GROUP id=\"one\"/>\n---QuillmereSeparator---\n"
        "<SECURITY id=\"a\">\r\n<NAME>x</NAME></SECURITY>\r\n---QuillmereSeparator---\r\n"
        "\n---QuillmereSeparator---\n"  // a blank document is not sent
        "<last/>\n");                   // the end of input ends the last one
  const texts expected{"<GROUP id=\"one\"/>\n", "<SECURITY id=\"a\">\n<NAME>x</NAME></SECURITY>\n", "<last/>\n"};
  EXPECT_EQ(received(early, 3), expected);
  // Later subscribers get the same documents; each subscription of a client has its own id.
  EXPECT_EQ(received(subscribe(client, "/b"), 3), expected);
  quillmere_client other_ticker(loop, log);
  EXPECT_EQ(received(subscribe(other_ticker, "/c?x=1"), 3), expected);
  for (const char* line :
       {": QuillmereID 0, path /a\n", ": QuillmereID 1, path /b\n", ": QuillmereID 0, path /c?x=1\n"})
    EXPECT_NE(hub->standard_output().find(line), std::string::npos) << line;

  // Dropping the handles hangs up and ends the subscriptions with their subscribers.
  std::weak_ptr<recording_subscriber> held = early;
  early.reset();
  subscriptions.clear();
  ASSERT_TRUE(
      run_until([&] { return held.expired() && hub->standard_output().find(" left: hung up") != std::string::npos; }));
}

}  // namespace
}  // namespace orv
