// orv_ticker_web against a real service: the render protocol, the monitor's live state and
// actions, bad requests, and the token rules.

#include <gtest/gtest.h>

#include "tests/support/service_harness.h"
#include "tests/support/ticker_objects.h"
#include "tests/web/web_client.h"
#include "web/json_text.h"

namespace orv {
namespace {

using testing::bridge_process;
using testing::fields;
using testing::framed;
using testing::page_socket;

const char* const group_xml =
    "<group name=\"headlines\"><section>Top</section>"
    "<element key=\"1\"><design>scroll_header</design><value label=\"title\">Headlines</value></element>"
    "<element key=\"2\"><design>scroll_text</design><log_msg>bridge story</log_msg>"
    "<value label=\"text\">Bridge reopens</value></element>"
    "<element key=\"3\"><design>scroll_text</design><value label=\"text\" attribute=\"bold\">Library opens</value>"
    "</element></group>";

class Bridge : public testing::service_test {
 protected:
  Bridge() : service_test(true) {}
  void SetUp() override {
    service_test::SetUp();
    // Started once the service listens, so that the log feed connects at its first attempt.
    web = std::make_unique<bridge_process>(service.port());
    ASSERT_TRUE(web->wait_listening()) << web->standard_error();
    ASSERT_EQ(ask({"1", "on_ticker", T, "AddGroupAfterCurrent", group_xml}).back(), "ok");
  }
  void TearDown() override {
    if (HasFailure() && web) std::cerr << web->standard_output() << web->standard_error();
    service_test::TearDown();
  }
  std::string monitor_path() const { return "/ws/monitor/" + T; }

  testing::scratch_ticker ticker{"web"};
  const std::string& T = ticker.name;
  std::unique_ptr<bridge_process> web;
};

TEST_F(Bridge, RenderPagePullsOneElementPerRequestInCarouselOrderAndIsTheOnlyOne) {
  auto render = std::make_unique<page_socket>(web->port(), "/ws/render/" + T);
  ASSERT_TRUE(render->open());
  const std::vector<std::string> expected = {
      R"("design":"scroll_header","values":[{"label":"title","attribute":"","text":"Headlines"}])",
      R"("design":"scroll_text","values":[{"label":"text","attribute":"","text":"Bridge reopens"}])",
      R"("design":"scroll_text","values":[{"label":"text","attribute":"bold","text":"Library opens"}])",
      R"("design":"scroll_header")"};
  for (const auto& element : expected) {
    render->send("next");
    EXPECT_TRUE(render->receive_with({R"("type":"element")", element})) << element;
  }
  // The titles come one request after the service fetched them.
  render->send("next");
  EXPECT_TRUE(render->receive_with({R"("titles":["Top")"}));

  page_socket second(web->port(), "/ws/render/" + T);
  EXPECT_TRUE(second.receive_with({R"("type":"refused")", "already has a render page"}));
  EXPECT_FALSE(second.receive());

  // Once the first page is gone the ticker takes a new one.
  render.reset();
  EXPECT_TRUE(testing::eventually([&] {
    page_socket third(web->port(), "/ws/render/" + T);
    third.send("next");
    return third.receive_with({R"("type":"element")"}, std::chrono::milliseconds(500)).has_value();
  }));
}

TEST_F(Bridge, MonitorFollowsChangesLogLinesAndActions) {
  page_socket monitor(web->port(), monitor_path());
  ASSERT_TRUE(monitor.receive_with({R"("type":"state")", R"("name":"headlines")", "Bridge reopens"}));

  // A change by another client shows without asking.
  ASSERT_EQ(ask({"2", "on_ticker", T, "AddGroupFromText", "headlines", "weather", "Sunny later", "scroll_text", "", "",
                 "text", "0", "", ""})
                .back(),
            "ok");
  EXPECT_TRUE(monitor.receive_with({R"("name":"weather")", "Sunny"}, std::chrono::seconds(3)));

  // What the render page is given shows on the monitor, and so do the log lines it causes.
  page_socket render(web->port(), "/ws/render/" + T);
  for (int i = 0; i < 3; ++i) {
    render.send("next");
    ASSERT_TRUE(render.receive_with({R"("type":"element")"}));
  }
  // The log line of the second element comes as the third is asked for: in either order. The
  // first element's run message (its log text is its group's name) tells the current group.
  bool given = false, logged = false, current = false;
  while (!(given && logged && current)) {
    auto m = monitor.receive();
    if (!m) break;
    given = given || (m->find(R"("type":"given")") != std::string::npos && m->find("Library opens") != std::string::npos);
    logged = logged || m->find(R"("type":"log","line":"bridge story")") != std::string::npos;
    current = current || m->find(R"("current":"headlines","current_outside":false)") != std::string::npos;
  }
  EXPECT_TRUE(given && logged && current) << given << logged << current;

  // Operator actions are tickertalk commands whose replies come back to the page.
  monitor.send(framed({"7", "SetNextGroup", "weather"}));
  EXPECT_TRUE(monitor.receive_with({R"("type":"reply","id":"7","fields":["ok"])"}));
  monitor.send(framed({"8", "SetNextGroup", "missing"}));
  EXPECT_TRUE(monitor.receive_with({R"("id":"8","fields":["error","SetNextGroup failed."])"}));
  // Marks and priorities set from the pages show on the groups.
  monitor.send(framed({"11", "AddPriorityGroup", "weather"}));
  EXPECT_TRUE(monitor.receive_with({R"("name":"weather","marked":false,"priority":true)"}));
  monitor.send(framed({"12", "DeleteGroupWhenInactive", "headlines"}));
  EXPECT_TRUE(monitor.receive_with({R"("name":"headlines","marked":true)"}));
  monitor.send(framed({"9", "DeleteGroupWhenInactive", "weather"}));
  EXPECT_TRUE(monitor.receive_with({R"("id":"9","fields":["ok"])"}));
  EXPECT_TRUE(testing::eventually([&] { return ask({"3", "on_ticker", T, "GetGroups"}).back() == "headlines\n"; }));
  // Only the monitor's own actions pass.
  monitor.send(framed({"10", "DeleteTicker", T}));
  EXPECT_TRUE(monitor.receive_with({R"("id":"10","fields":["error","not an action of this page: DeleteTicker"])"}));

  // The index lists the tickers and adds one.
  page_socket index(web->port(), "/ws/index");
  EXPECT_TRUE(index.receive_with({R"("type":"tickers")", T}));
  index.send(framed({"1", "AddTicker", T + "_new"}));
  EXPECT_TRUE(index.receive_with({R"("id":"1","fields":["ok"])"}));
  EXPECT_EQ(ask({"4", "DeleteTicker", T + "_new"}).back(), "ok");
}

TEST_F(Bridge, BadRequestsGetClientErrorsAndCostNothingElse) {
  EXPECT_EQ(testing::http_status(web->port(), "/"), 200);
  EXPECT_EQ(testing::http_status(web->port(), "/nothing"), 404);
  EXPECT_EQ(testing::http_status(web->port(), "/static/../bridge_test.cpp"), 404);
  EXPECT_EQ(testing::http_status(web->port(), "/static/"), 404);
  EXPECT_EQ(testing::http_status(web->port(), "/render/" + T + "?template=missing"), 404);
  EXPECT_EQ(testing::http_status(web->port(), "/", "X-Big: " + std::string(10000, 'x') + "\r\n"), 431);
  auto answer = testing::http_exchange(web->port(), "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100000\r\n\r\n");
  EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 413") << answer;
  answer = testing::http_exchange(web->port(), "DELETE / HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 405") << answer;
  answer = testing::http_exchange(web->port(), "NOT HTTP AT ALL\r\n\r\n");
  EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 400") << answer;

  // Pages are served with their type and a policy that runs only the bridge's own scripts.
  answer = testing::http_exchange(web->port(), "GET /static/ticker.js HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
  EXPECT_NE(answer.find("Content-Type: text/javascript"), std::string::npos);
  EXPECT_NE(answer.find("Content-Security-Policy: default-src 'none'; script-src 'self';"), std::string::npos);

  // A WebSocket opened from another site's page is refused; a page request that is not
  // framed is dropped and the page stays served.
  page_socket foreign(web->port(), monitor_path(), "http://evil.example");
  EXPECT_FALSE(foreign.open());
  page_socket monitor(web->port(), monitor_path(), "http://127.0.0.1:" + std::to_string(web->port()));
  ASSERT_TRUE(monitor.open());
  monitor.send("{99}short");
  monitor.send(std::string(70000, 'x'));  // past the message cap: the bridge closes this page
  EXPECT_FALSE(monitor.receive_with({"never"}, std::chrono::seconds(2)));
  page_socket after(web->port(), monitor_path());
  EXPECT_TRUE(after.receive_with({R"("type":"state")"}));

  // A monitor that never reads while its ticker sends megabytes of events and log lines is
  // dropped, and costs the others nothing.
  const std::string log(30000, 'L');
  std::string big = "<group name=\"big\">";
  for (int i = 0; i < 4; ++i)
    big += "<element key=\"" + std::to_string(i) + "\"><log_msg>" + log + "</log_msg><value label=\"t\">x</value></element>";
  ASSERT_EQ(ask({"5", "on_ticker", T, "AddGroupAfterCurrent", big + "</group>"}).back(), "ok");
  page_socket stalled(web->port(), monitor_path());
  ASSERT_TRUE(stalled.open());
  page_socket render(web->port(), "/ws/render/" + T);
  for (int i = 0; i < 400; ++i) {  // 7 MB of run events and as much of log lines
    render.send("next");
    ASSERT_TRUE(render.receive_with({R"("type":"element")"}));
  }
  const auto read = stalled.bytes_until_closed(std::chrono::seconds(10));
  ASSERT_TRUE(read.has_value()) << "still open";
  EXPECT_LT(*read, std::size_t{8} << 20);  // what the sockets hold, and at most 1 MiB more
  page_socket later(web->port(), monitor_path());
  EXPECT_TRUE(later.receive_with({R"("type":"state")", R"("name":"big")"}));
  EXPECT_TRUE(web->running());
}

TEST(BridgeAccess, TokenIsNeededToActOffLoopbackAndToReadWhenGiven) {
  const int unused_service = testing::free_port();
  // Listening on every address, without --token: one is made up and printed.
  bridge_process open_web(unused_service, {}, testing::free_port(), "0.0.0.0");
  ASSERT_TRUE(open_web.wait_listening());
  ASSERT_TRUE(testing::eventually([&] { return open_web.standard_output().find("token for changes: ") != std::string::npos; }));
  const auto out = open_web.standard_output();
  const auto at = out.find("token for changes: ") + 19;
  const std::string token = out.substr(at, out.find(' ', at) - at);
  ASSERT_EQ(token.size(), 32u);

  page_socket reader(open_web.port(), "/ws/monitor/t");
  EXPECT_TRUE(reader.receive_with({R"("type":"service","up":false)"}));  // reading needs no token
  reader.send(framed({"1", "ClearAll"}));
  EXPECT_TRUE(reader.receive_with({R"("id":"1","fields":["error","this page needs the bridge's token to change tickers"])"}));
  page_socket render(open_web.port(), "/ws/render/t");
  EXPECT_TRUE(render.receive_with({R"("type":"refused")", "token"}));
  page_socket actor(open_web.port(), "/ws/monitor/t?token=" + token);
  actor.send(framed({"2", "ClearAll"}));
  EXPECT_TRUE(actor.receive_with({R"("id":"2","fields":["error","service unreachable"])"}));

  bridge_process closed_web(unused_service, {"--token", "s3cret"});
  ASSERT_TRUE(closed_web.wait_listening());
  EXPECT_EQ(testing::http_status(closed_web.port(), "/"), 401);
  EXPECT_EQ(testing::http_status(closed_web.port(), "/ticker/t?token=wrong"), 401);
  EXPECT_EQ(testing::http_status(closed_web.port(), "/ticker/t?token=s3cret"), 200);
  EXPECT_EQ(testing::http_status(closed_web.port(), "/static/page.js"), 200);  // code, not state
  EXPECT_FALSE(page_socket(closed_web.port(), "/ws/index").open());
  EXPECT_TRUE(page_socket(closed_web.port(), "/ws/index?token=s3cret").open());
}

TEST(BridgeService, PagesSayUnreachableUntilTheServiceIsBackAndClientsAreCapped) {
  const int port = testing::free_port();
  bridge_process web(port, {"--max-clients", "2"});
  ASSERT_TRUE(web.wait_listening());
  page_socket monitor(web.port(), "/ws/monitor/t");
  EXPECT_TRUE(monitor.receive_with({R"("type":"service","up":false)"}));
  testing::service_process service({}, port);
  ASSERT_TRUE(service.wait_listening());
  EXPECT_TRUE(monitor.receive_with({R"("type":"service","up":true)"}, std::chrono::seconds(10)));
  EXPECT_TRUE(monitor.receive_with({R"("type":"state","exists":false)"}));
  // A render page of a ticker nobody serves gets nothing, and no shared areas are made for it.
  const std::string missing = "orvtest_missing_" + std::to_string(::getpid());
  page_socket render(web.port(), "/ws/render/" + missing);
  render.send("next");
  EXPECT_TRUE(render.receive_with({R"("type":"element","served":false)"}));
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/mem" + missing));
  EXPECT_FALSE(page_socket(web.port(), "/ws/index").open());  // past the client cap
  service.kill_now();
  EXPECT_TRUE(monitor.receive_with({R"("type":"service","up":false)"}));
}

TEST(JsonText, ElementBytesBecomeTextThatCannotEscapeItsContext) {
  EXPECT_EQ(web::json_string("<img src=x onerror=\"alert(1)\">&"),
            R"("\u003cimg src=x onerror=\"alert(1)\"\u003e\u0026")");
  EXPECT_EQ(web::json_string("a\\b\n\x01"), R"("a\\b\u000a\u0001")");
  // Well-formed UTF-8 passes; stray, overlong, surrogate and cut sequences become U+FFFD.
  EXPECT_EQ(web::json_string("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"");
  EXPECT_EQ(web::json_string("\xe9 \xc0\xaf \xed\xa0\x80 \xe2\x82"),
            R"("\ufffd \ufffd\ufffd \ufffd\ufffd\ufffd \ufffd\ufffd")");
}

}  // namespace
}  // namespace orv
