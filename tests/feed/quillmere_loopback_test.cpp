#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "feed/quillmere_client.h"
#include "tests/feed/test_hub.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using testing::run_until;
using testing::recording_subscriber;
using testing::test_hub;

const std::string separator(quillmere_separator);
const std::string response_header = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n";

class QuillmereLoopback : public ::testing::Test {
 protected:
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>(50);
  std::shared_ptr<vorn::asyncore> core = std::make_shared<vorn::asyncore>(log);
  test_hub hub{core->io_context()};
  quillmere_client client{core, log};
  std::shared_ptr<recording_subscriber> subscriber = std::make_shared<recording_subscriber>();
};

TEST_F(QuillmereLoopback, SubscribesReceivesDocumentsAndComesBackAfterTheHubRestarts) {
  auto subscription = client.subscribe({hub.url("/feed?x=1"), "http://ignored:1/"}, subscriber);
  ASSERT_TRUE(run_until(*core, [&] { return hub.requests() == 1; }));
  EXPECT_EQ(hub.subscribers[0]->request,
            "QuillmereID: 0\r\nConnection: Keep-Alive\r\nGET /feed?x=1 HTTP/1.0\r\n\r\n");

  hub.send(*hub.subscribers[0], response_header + "<A>1</A>" + separator + "\r\n<B/>" + separator + "<C");
  ASSERT_TRUE(run_until(*core, [&] { return subscriber->documents.size() == 2; }));
  EXPECT_EQ(subscriber->documents, (std::vector<std::string>{"<A>1</A>", "<B/>"}));

  // The hub goes away, refuses for a while, then comes back on the same port.
  hub.stop();
  ASSERT_TRUE(run_until(*core, [&] { return log->contains("Lost. Reconnecting.\n"); }));
  ASSERT_TRUE(run_until(*core, [&] { return log->contains("Failed. Reconnecting.\n"); }));
  auto level_of = [&](const std::string& text) {
    for (const auto& e : log->entries())
      if (e.text == text) return e.level;
    return -1;
  };
  EXPECT_EQ(level_of("Connection lost\n"), 15);
  EXPECT_EQ(level_of("Lost. Reconnecting.\n"), 15);
  EXPECT_EQ(level_of("Failed. Reconnecting.\n"), 20);
  EXPECT_EQ(level_of("Connection made. Sending: " + hub.subscribers[0]->request + "\n"), 45);
  hub.restart();
  ASSERT_TRUE(run_until(*core, [&] { return hub.requests() == 2; }));
  EXPECT_EQ(hub.subscribers.back()->request, hub.subscribers[0]->request);  // same id and path

  // The unfinished "<C" of the old connection is gone with it.
  hub.send(*hub.subscribers.back(), response_header + "<D/>" + separator);
  ASSERT_TRUE(run_until(*core, [&] { return subscriber->documents.size() == 3; }));
  EXPECT_EQ(subscriber->documents.back(), "<D/>");

  // Dropping the handle hangs up and ends the subscription with its subscriber.
  std::weak_ptr<recording_subscriber> held = subscriber;
  subscriber.reset();
  subscription.reset();
  ASSERT_TRUE(run_until(*core, [&] { return hub.subscribers.back()->closed_by_peer && held.expired(); }));
}

TEST_F(QuillmereLoopback, EachSubscriptionOfAClientHasItsOwnId) {
  auto first = client.subscribe({hub.url("/a")}, subscriber);
  ASSERT_TRUE(run_until(*core, [&] { return hub.requests() == 1; }));
  auto second = client.subscribe({hub.url("/b")}, subscriber);
  ASSERT_TRUE(run_until(*core, [&] { return hub.requests() == 2; }));
  quillmere_client other_ticker(core, log);
  auto third = other_ticker.subscribe({hub.url("/c")}, subscriber);
  ASSERT_TRUE(run_until(*core, [&] { return hub.requests() == 3; }));

  EXPECT_EQ(hub.subscribers[0]->request.substr(0, 16), "QuillmereID: 0\r\n");
  EXPECT_EQ(hub.subscribers[1]->request.substr(0, 16), "QuillmereID: 1\r\n");
  EXPECT_EQ(hub.subscribers[2]->request.substr(0, 16), "QuillmereID: 0\r\n");
  EXPECT_NE(hub.subscribers[2]->request.find("GET /c HTTP/1.0"), std::string::npos);
}

TEST_F(QuillmereLoopback, ADocumentThatNeverEndsDropsTheConnectionAndReconnects) {
  client.set_max_unread_bytes(4096);
  auto subscription = client.subscribe({hub.url("/")}, subscriber);
  ASSERT_TRUE(run_until(*core, [&] { return hub.requests() == 1; }));
  hub.send(*hub.subscribers[0], response_header + "<ok/>" + separator + "<endless>" + std::string(8192, 'x'));

  ASSERT_TRUE(run_until(*core, [&] { return hub.requests() == 2; }));
  EXPECT_TRUE(hub.subscribers[0]->closed_by_peer);
  EXPECT_EQ(subscriber->documents, (std::vector<std::string>{"<ok/>"}));
  EXPECT_EQ(log->count("Feed document passed 4096 bytes without a separator. Dropping the connection.\n"), 1);
  EXPECT_TRUE(log->contains("Lost. Reconnecting.\n"));
}

}  // namespace
}  // namespace orv
