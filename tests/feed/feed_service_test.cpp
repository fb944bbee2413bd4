#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <string>

#include "tests/support/service_harness.h"

namespace orv {
namespace {

using testing::eventually;
using testing::fields;

// A real orv_ticker following a demo feed hub, which the test stops and starts again.
class FeedService : public testing::service_test {
 protected:
  void start_hub(const std::string& documents) {
    hub.emplace(ORV_DEMO_FEEDHUB_EXE, fields{"--port", std::to_string(hub_port)}, std::map<std::string, std::string>{},
                documents);
  }
  std::string content() { return ask({"c", "on_ticker", T, "GetGroupsWithContent"}).back(); }
  bool shows(const std::string& fragment) {
    return eventually([&] { return content().find(fragment) != std::string::npos; });
  }
  bool hub_says(const std::string& text) {
    return eventually([&] { return hub->standard_output().find(text) != std::string::npos; });
  }

  int hub_port = testing::free_port();
  std::optional<testing::child_process> hub;
  testing::scratch_ticker ticker{"feed"};
  const std::string& T = ticker.name;
};

TEST_F(FeedService, ARunningTickerFollowsItsHubAcrossARestartOfTheHub) {
  const std::string url = "http://127.0.0.1:" + std::to_string(hub_port) + "/news?desk=1";
  start_hub(
      "<FEED><GROUP id=\"markets\"><SECURITIES><SECURITY id=\"b\"><NAME>Beta</NAME><PRICE>1</PRICE></SECURITY>"
      "<SECURITY id=\"a\"><NAME>Alpha</NAME></SECURITY></SECURITIES></GROUP></FEED>\n"
      "---QuillmereSeparator---\n<SECURITY id=\"b\"><PRICE>2</PRICE></SECURITY>\n");
  ASSERT_EQ(ask({"1", "AddTicker", T}), (fields{"1", "ok"}));
  ASSERT_EQ(ask({"2", "on_ticker", T, "AddGroupAfterCurrent",
                 "<group name=\"news\"><subscribeurl> " + url +
                     " </subscribeurl><element key=\"own\"><value label=\"NAME\">Own</value></element></group>"}),
            (fields{"2", "ok"}));
  // The group in document order, then the group's own element; the update changed one value in place.
  ASSERT_TRUE(shows("NAME.control=Beta PRICE.control=2  (b: )"));
  const auto listed = content();
  const auto alpha = listed.find("NAME.control=Alpha  (a: )");
  EXPECT_LT(listed.find("NAME.control=Beta PRICE.control=2  (b: )"), alpha);
  EXPECT_LT(alpha, listed.find("NAME.=Own  (own: news)"));
  EXPECT_NE(listed.find("NAME.=Own  (own: news)"), std::string::npos) << listed;
  EXPECT_TRUE(hub_says(": QuillmereID 0, path /news?desk=1\n"));

  // The hub goes away and comes back on the same port; the service resubscribes by itself.
  hub->signal(SIGTERM);
  EXPECT_EQ(hub->wait_exit(), 0);
  start_hub("<GROUP><SECURITIES><SECURITY id=\"c\"><NAME>Gamma</NAME></SECURITY></SECURITIES></GROUP>\n");
  ASSERT_TRUE(shows("NAME.control=Gamma  (c: )"));
  EXPECT_EQ(content().find("Alpha"), std::string::npos);

  // Deleting the ticker ends its subscription.
  EXPECT_EQ(ask({"3", "DeleteTicker", T}), (fields{"3", "ok"}));
  EXPECT_TRUE(hub_says(" left: "));
  client->close();
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait_exit(std::chrono::seconds(10)), 0);
  EXPECT_NE(service.standard_output().find("Adding managed group with url: " + url), std::string::npos);
  EXPECT_NE(service.standard_output().find("Lost. Reconnecting."), std::string::npos);
  // The service is a sanitizer build: nothing of the feed side may leak or misbehave.
  EXPECT_EQ(service.standard_error().find("Sanitizer"), std::string::npos) << service.standard_error();
}

}  // namespace
}  // namespace orv
