#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "feed/quillmere_client.h"
#include "tests/feed/test_hub.h"
#include "tests/support/child_process.h"
#include "tests/support/memory_logger.h"
#include "tools/tickertalk_client.h"

namespace orv {
namespace {

using namespace std::chrono_literals;
using testing::run_until;
using testing::test_hub;

const std::string separator(quillmere_separator);

// A real orv_ticker on its own tickertalk port, whose feed hub is this test's.
class FeedService : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.wait_listening()) << service.standard_output() << service.standard_error();
    ASSERT_TRUE(control.connect("127.0.0.1", std::to_string(service.port())));
    // Opened after the service started, so that it holds none of the hub's sockets.
    hub.emplace(loop->io_context());
  }
  void TearDown() override {
    if (HasFailure()) std::cerr << service.standard_output() << service.standard_error();
  }

  std::vector<std::string> ask(std::vector<std::string> fields) {
    fields.insert(fields.begin(), "t" + std::to_string(++tag));
    EXPECT_TRUE(control.send(fields));
    auto reply = control.receive_reply(fields.front());
    return reply ? *reply : std::vector<std::string>{"no reply"};
  }
  std::string content() {
    const auto reply = ask({"on_ticker", "T", "GetGroupsWithContent"});
    return reply.size() >= 3 ? reply[2] : "";
  }
  // Hub and service both make progress while the test waits for what the ticker shows.
  bool shows(const std::string& fragment) {
    return run_until(*loop, [&] { return content().find(fragment) != std::string::npos; });
  }

  testing::service_process service{{"--log-level", "50"}};
  std::shared_ptr<vorn::asyncore> loop = std::make_shared<vorn::asyncore>(std::make_shared<testing::memory_logger>(0));
  std::optional<test_hub> hub;
  tickertalk_client control{5s};
  int tag = 0;
};

TEST_F(FeedService, ARunningTickerFollowsItsHubAcrossARestartOfTheHub) {
  ASSERT_EQ(ask({"AddTicker", "T"}), (std::vector<std::string>{"t1", "ok"}));
  const std::string group = "<group name=\"news\"><subscribeurl> " + hub->url("/news?desk=1") +
                            " </subscribeurl><element key=\"own\"><value label=\"NAME\">Own</value></element></group>";
  ASSERT_EQ(ask({"on_ticker", "T", "AddGroupAfterCurrent", group}), (std::vector<std::string>{"t2", "ok"}));

  ASSERT_TRUE(run_until(*loop, [&] { return hub->requests() == 1; }));
  EXPECT_EQ(hub->subscribers[0]->request,
            "QuillmereID: 0\r\nConnection: Keep-Alive\r\nGET /news?desk=1 HTTP/1.0\r\n\r\n");
  hub->send(*hub->subscribers[0],
           "HTTP/1.0 200 OK\r\n\r\n<FEED><GROUP id=\"markets\"><SECURITIES>"
           "<SECURITY id=\"b\"><NAME>Beta</NAME><PRICE>1</PRICE></SECURITY>"
           "<SECURITY id=\"a\"><NAME>Alpha</NAME></SECURITY></SECURITIES></GROUP></FEED>" +
               separator);
  ASSERT_TRUE(shows("Alpha"));
  // Document order, then the group's own element.
  const auto listed = content();
  const auto beta = listed.find("NAME.control=Beta PRICE.control=1  (b: )");
  const auto alpha = listed.find("NAME.control=Alpha  (a: )");
  const auto own = listed.find("NAME.=Own  (own: news)");
  ASSERT_NE(beta, std::string::npos) << listed;
  ASSERT_NE(alpha, std::string::npos) << listed;
  ASSERT_NE(own, std::string::npos) << listed;
  EXPECT_LT(beta, alpha);
  EXPECT_LT(alpha, own);

  // An update in place of one element.
  hub->send(*hub->subscribers[0], "<SECURITY id=\"b\"><PRICE>2</PRICE></SECURITY>" + separator);
  ASSERT_TRUE(shows("NAME.control=Beta PRICE.control=2  (b: )"));

  // The hub goes away and comes back on the same port; the service resubscribes by itself.
  hub->stop();
  hub->restart();
  ASSERT_TRUE(run_until(*loop, [&] { return hub->requests() == 2; }));
  EXPECT_EQ(hub->subscribers.back()->request, hub->subscribers[0]->request);
  hub->send(*hub->subscribers.back(),
           "HTTP/1.0 200 OK\r\n\r\n<GROUP><SECURITIES><SECURITY id=\"c\"><NAME>Gamma</NAME></SECURITY>"
           "</SECURITIES></GROUP>" +
               separator);
  ASSERT_TRUE(shows("NAME.control=Gamma  (c: )"));
  EXPECT_EQ(content().find("Alpha"), std::string::npos);

  // Deleting the ticker ends its subscription.
  const auto deleted = ask({"DeleteTicker", "T"});
  ASSERT_EQ(deleted.size(), 2u);
  EXPECT_EQ(deleted[1], "ok");
  ASSERT_TRUE(run_until(*loop, [&] { return hub->subscribers.back()->closed_by_peer; }));

  control.close();
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait_exit(std::chrono::seconds(10)), 0);
  const auto log = service.standard_output();
  EXPECT_NE(log.find("Adding managed group with url: " + hub->url("/news?desk=1")), std::string::npos);
  EXPECT_NE(log.find("Lost. Reconnecting."), std::string::npos);
  // The service is a sanitizer build: nothing of the feed side may leak or misbehave.
  EXPECT_EQ(service.standard_error().find("Sanitizer"), std::string::npos) << service.standard_error();
}

}  // namespace
}  // namespace orv
