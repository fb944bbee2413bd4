// The service process, tickertalk clients, log listeners and the renderer client library,
// all on loopback.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>

#include <string>

#include "renderer/orv_renderer.h"
#include "tests/support/service_harness.h"

namespace orv {
namespace {

using testing::fields;
using testing::log_listener;

const char* const group_xml =
    "<group name=\"g1\"><section>Headlines</section>"
    "<element key=\"a\"><design>news</design><ttl>3</ttl><value label=\"text\" attribute=\"\">Hello</value></element>"
    "<element key=\"b\"><design>news</design><value label=\"text\">World</value>"
    "<value label=\"extra\" attribute=\"x\">More</value></element></group>";
const std::string hello = "news:text.=Hello", world = "news:text.=World,extra.x=More";

class EndToEnd : public testing::service_test {
 protected:
  EndToEnd() : service_test(true) {}
  void SetUp() override {
    service_test::SetUp();
    ASSERT_EQ(service.standard_error().find("Could not start event server"), std::string::npos);
    events = service.connect();
    ASSERT_EQ(testing::ask(*events, {"e", "protocol", "tickertalk"}),
              (fields{"e", "protocol", "tickertalk", "noevents"}));
    // Opened before the ticker exists: the renderer creates the objects.
    ASSERT_EQ(orv_renderer_open(T.data(), T.size(), &renderer), ORV_RENDERER_OK);
  }
  void TearDown() override {
    orv_renderer_close(renderer);
    service_test::TearDown();
  }

  std::string command(const fields& request) { return ask(request).back(); }
  fields next_event() { return events->receive().value_or(fields{}); }
  // The next element as "design:label.attribute=text,...".
  std::string next_element() {
    if (int status = orv_renderer_request(renderer, 5000); status != ORV_RENDERER_OK)
      return orv_renderer_status_text(status);
    orv_renderer_element e{};
    if (orv_renderer_read_element(renderer, &e) != ORV_RENDERER_OK) return "malformed";
    std::string shown = std::string(e.design.data) + ":";
    for (size_t i = 0; i < e.value_count; ++i)
      shown += (i ? "," : "") + std::string(e.values[i].label.data) + "." + e.values[i].attribute.data + "=" +
               e.values[i].text.data;
    return shown;
  }

  testing::scratch_ticker ticker{"e2e"};
  const std::string& T = ticker.name;
  std::unique_ptr<tickertalk_client> events;
  orv_renderer_channel* renderer = nullptr;
};

TEST_F(EndToEnd, ARendererGetsTheCarouselAndListenersTheLogOneRequestLaterUntilTheTickerRunsDry) {
  EXPECT_EQ(orv_renderer_request(renderer, 1000), ORV_RENDERER_NOT_SERVED);
  log_listener with_ttl(log_port, "TTL\n"), plain(log_port, "hello\n");
  EXPECT_EQ(command({"c", "on_ticker", T, "AddGroupAfterCurrent", group_xml}), "ok");
  EXPECT_EQ(next_element(), hello);
  EXPECT_EQ(next_element(), world);
  // The main element's log message, its group's name, goes out at the second request.
  EXPECT_EQ(next_event(), (fields{"*", "run", "g1?TTL=2", T}));
  EXPECT_EQ(with_ttl.line(), "g1?TTL=2");
  EXPECT_EQ(plain.line(), "g1");
  orv_renderer_titles titles{};
  ASSERT_EQ(orv_renderer_read_titles(renderer, &titles), ORV_RENDERER_OK);
  ASSERT_GE(titles.count, 1u);
  EXPECT_STREQ(titles.titles[0].data, "Headlines");
  EXPECT_EQ(next_element(), hello);
  EXPECT_EQ(next_element(), world);
  EXPECT_EQ(with_ttl.line(), "g1?TTL=1");
  EXPECT_EQ(next_event(), (fields{"*", "event", "at_end", T}));  // the carousel wrapped
  EXPECT_EQ(next_event(), (fields{"*", "run", "g1?TTL=1", T}));

  // Cleared, the element area empties at once; the first empty request says so, the
  // seventh sends the marker.
  EXPECT_EQ(command({"c", "on_ticker", T, "ClearAll"}), "ok");
  char head[2] = {'?', '?'};
  const int fd = ::shm_open(("/mem" + T).c_str(), O_RDONLY, 0);
  EXPECT_EQ(::pread(fd, head, 2, 0), 2);
  ::close(fd);
  EXPECT_EQ(std::string(head, 2), std::string(2, '\0')) << "not cleared at once";
  for (int i = 0; i < 6; ++i) EXPECT_EQ(next_element(), ":") << "empty request " << i + 1;
  EXPECT_EQ(next_event(), (fields{"*", "event", "at_end", T}));
  EXPECT_EQ(next_event(), (fields{"*", "event", "empty", T}));
  EXPECT_EQ(next_element(), ":");
  EXPECT_EQ(next_event(), (fields{"*", "run", "SCROLLER_EMPTY", T}));
  EXPECT_EQ(with_ttl.line(), "SCROLLER_EMPTY");
  EXPECT_EQ(plain.line(), "g1");
  EXPECT_EQ(plain.line(), "SCROLLER_EMPTY");

  // A deleted ticker closes its channel; a new one of the name serves the objects the renderer kept.
  EXPECT_EQ(command({"c", "DeleteTicker", T}), "ok");
  EXPECT_EQ(orv_renderer_request(renderer, 1000), ORV_RENDERER_NOT_SERVED);
  EXPECT_EQ(command({"c", "AddTicker", T}), "ok");
  EXPECT_EQ(next_element(), ":");
  EXPECT_EQ(command({"c", "on_ticker", T, "AddGroupAfterCurrent", group_xml}), "ok");
  EXPECT_EQ(next_element(), hello);
}

}  // namespace
}  // namespace orv
