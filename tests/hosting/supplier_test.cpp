#include <gtest/gtest.h>

#include <sys/file.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/ticker_element.h"
#include "hosting/supplier.h"
#include "tests/hosting/channel_test_support.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using namespace std::string_literals;
using testing::raw_renderer;
using testing::run_until;
using testing::scratch_ticker;
using text_pair = std::pair<std::string, std::string>;

// Hands out a scripted sequence of answers; an empty entry is a request without element.
class scripted_stream : public element_stream {
 public:
  std::deque<std::optional<TickerElement>> script;
  std::vector<std::string> upcoming;
  bool has_section = false;
  int empty_calls = 0;

  bool GetNextElement(TickerElement& out) override {
    if (script.empty()) return false;
    auto next = std::move(script.front());
    script.pop_front();
    if (!next) return false;
    out = *next;
    return true;
  }
  void OnStreamEmpty() override { ++empty_calls; }
  std::vector<std::string> GetUpcomingSections() override { return upcoming; }
  bool HasCurrentSection() override { return has_section; }
};

class recording_events : public event_server_base {
 public:
  std::vector<text_pair> lines;
  void send_delayed_log(const std::string& line, const std::string& ttl_line) override {
    lines.emplace_back(line, ttl_line);
  }
};

TickerElement element(const std::string& key, const std::string& log_msg = "", int ttl = -1) {
  TickerElement e;
  e.SetKey(key);
  e.SetDesign("D" + key);
  e.AddValue("L", "A", "T" + key);
  e.SetLogMsg(log_msg);
  e.SetTtl(ttl);
  return e;
}

class SupplierTest : public ::testing::Test {
 protected:
  SupplierTest() {
    supplier_ = std::make_shared<supplier>(
        ticker_.name(), dispatcher_, events_, [this](const std::string& text, const std::string& t) { runs_.emplace_back(text, t); },
        log_);
    supplier_->set_stream(stream_);
    renderer_ = std::make_unique<raw_renderer>(ticker_.name());
  }

  // One request over the request event, as a renderer makes it.
  void request() {
    ASSERT_TRUE(renderer_->ask());
    ASSERT_TRUE(run_until(io_, [&] { return renderer_->take_resets() == 1; })) << "no reset";
  }
  void requests(int n) {
    for (int i = 0; i < n; ++i) request();
  }
  std::string area(std::size_t n) const { return {supplier_->element_area().data(), n}; }
  std::string titles(std::size_t n) const {
    // The title area as a renderer maps it.
    const int fd = ::shm_open(("/" + encode_object_name("sections" + ticker_.name())).c_str(), O_RDONLY, 0);
    std::string bytes(n, '?');
    EXPECT_EQ(::pread(fd, bytes.data(), n, 0), static_cast<ssize_t>(n));
    ::close(fd);
    return bytes;
  }

  boost::asio::io_context io_;
  vorn::event_dispatcher dispatcher_{io_};
  scratch_ticker ticker_{"supplier"};
  std::shared_ptr<testing::memory_logger> log_ = std::make_shared<testing::memory_logger>();
  std::shared_ptr<recording_events> events_ = std::make_shared<recording_events>();
  std::vector<text_pair> runs_;
  std::shared_ptr<scripted_stream> stream_ = std::make_shared<scripted_stream>();
  std::shared_ptr<supplier> supplier_;
  std::unique_ptr<raw_renderer> renderer_;
};

TEST_F(SupplierTest, TheElementIsInTheAreaWhenTheResetArrives) {
  stream_->script = {element("1"), std::nullopt};
  request();
  EXPECT_EQ(area(10), "D1\0L\0A\0T1\0\0"s.substr(0, 10));
  EXPECT_TRUE(log_->contains("...element: D1: L.A=T1  (1: )"));
  request();  // nothing more: the empty element
  EXPECT_EQ(area(4), "\0\0\0L"s);  // only the first two bytes change
}

TEST_F(SupplierTest, ALogMessageGoesOutAtTheNextRequestWithItsTimeToLive) {
  const struct {
    int ttl;
    std::string ttl_line;
  } cases[] = {{3, "N?TTL=2"}, {0, "N?TTL=0"}, {-1, "N"}, {1, "N?TTL=0"}};
  for (const auto& c : cases) {
    events_->lines.clear();
    runs_.clear();
    stream_->script = {element("1", "N", c.ttl), element("2")};
    request();
    EXPECT_TRUE(events_->lines.empty()) << "sent before the next request, ttl " << c.ttl;
    request();
    EXPECT_EQ(events_->lines, (std::vector<text_pair>{{"N", c.ttl_line}})) << "ttl " << c.ttl;
    EXPECT_EQ(runs_, (std::vector<text_pair>{{c.ttl_line, ticker_.name()}})) << "ttl " << c.ttl;
  }
  // An element without log message announces nothing.
  events_->lines.clear();
  request();
  EXPECT_TRUE(events_->lines.empty());
}

TEST_F(SupplierTest, ADrySpellCallsOnStreamEmptyOnceAndSendsTheMarkerAfterSixEmptyRequests) {
  stream_->script = {element("1")};
  request();
  requests(1);
  EXPECT_EQ(stream_->empty_calls, 1);
  EXPECT_EQ(area(2), "\0\0"s);
  requests(5);  // six empty requests: the marker is queued by the last one
  EXPECT_TRUE(events_->lines.empty());
  request();
  EXPECT_EQ(events_->lines, (std::vector<text_pair>{{"SCROLLER_EMPTY", "SCROLLER_EMPTY"}}));
  EXPECT_EQ(runs_, (std::vector<text_pair>{{"SCROLLER_EMPTY", ticker_.name()}}));
  EXPECT_EQ(stream_->empty_calls, 1);

  // After the marker nothing was delivered: a longer spell stays silent.
  requests(10);
  EXPECT_EQ(events_->lines.size(), 1u);
  EXPECT_EQ(stream_->empty_calls, 1);
}

TEST_F(SupplierTest, TheCountdownCarriesOverWhenElementsComeBackEarly) {
  stream_->script = {element("1"), std::nullopt, std::nullopt, element("2")};
  requests(4);
  EXPECT_EQ(stream_->empty_calls, 1);
  // Two of the six empty requests are used up: OnStreamEmpty is not called again and the
  // marker is queued by the fourth empty request of the new spell.
  requests(4);
  EXPECT_EQ(stream_->empty_calls, 1);
  EXPECT_TRUE(events_->lines.empty());
  request();
  EXPECT_EQ(events_->lines.size(), 1u);
}

TEST_F(SupplierTest, ATickerThatNeverDeliveredStaysSilent) {
  requests(8);
  EXPECT_EQ(stream_->empty_calls, 0);
  EXPECT_TRUE(events_->lines.empty());
  EXPECT_TRUE(runs_.empty());
  EXPECT_EQ(area(2), "\0\0"s);
}

TEST_F(SupplierTest, ClearEmptiesTheElementAreaBetweenRequests) {
  stream_->script = {element("1")};
  request();
  ASSERT_EQ(area(2), "D1");
  supplier_->clear();
  EXPECT_EQ(area(2), "\0\0"s);
}

TEST_F(SupplierTest, TitlesFetchedAtOneRequestAreWrittenAtTheNext) {
  stream_->has_section = true;
  stream_->upcoming = {"A", "B"};
  request();
  EXPECT_EQ(titles(5), "\0\0\0\0\0"s);
  stream_->upcoming = {"C"};
  request();
  EXPECT_EQ(titles(5), "A\0B\0\0"s);
  EXPECT_TRUE(log_->contains("...delivering: A B \n"));

  // Cleared titles are never written; the area keeps the last list.
  supplier_->clear();
  request();
  EXPECT_EQ(titles(5), "A\0B\0\0"s);
}

TEST_F(SupplierTest, RefreshTitlesWritesAtOnceButNeverAnEmptyList) {
  stream_->upcoming = {"X", "Y"};
  supplier_->refresh_titles();
  EXPECT_EQ(titles(5), "X\0Y\0\0"s);
  EXPECT_TRUE(log_->contains("  Refresh titles: X Y \n"));

  stream_->upcoming = {};
  log_->clear();
  supplier_->refresh_titles();
  EXPECT_EQ(titles(5), "X\0Y\0\0"s);
  EXPECT_TRUE(log_->entries().empty());
}

TEST_F(SupplierTest, ARendererHoldingTheTitleMutexNeverHoldsUpARequest) {
  stream_->has_section = true;
  stream_->upcoming = {"A"};
  request();  // fetched, written next time

  const int mutex = ::shm_open(("/" + encode_object_name("sectionmutex" + ticker_.name())).c_str(), O_RDWR, 0);
  ASSERT_EQ(::flock(mutex, LOCK_EX), 0);
  stream_->has_section = false;
  request();
  EXPECT_EQ(titles(3), "\0\0\0"s);
  ::flock(mutex, LOCK_UN);
  ::close(mutex);

  request();  // the kept list goes in now
  EXPECT_EQ(titles(3), "A\0\0"s);
}

TEST_F(SupplierTest, AnExpiredStreamStillGetsEveryRequestAnswered) {
  stream_->script = {element("1")};
  request();
  stream_.reset();
  request();
  EXPECT_EQ(area(2), "\0\0"s);
  EXPECT_EQ(log_->count("Element stream expired"), 2);
  supplier_->refresh_titles();
  EXPECT_TRUE(log_->contains("Element stream expired."));
}

TEST_F(SupplierTest, AnElementTooBigForTheAreaIsCutAndSaysSo) {
  TickerElement big = element("big");
  big.SetValues({{"L", "", std::string(10000, 'x')}, {"L", "", std::string(10000, 'y')}});
  stream_->script = {big};
  request();
  EXPECT_EQ(area(4), "Dbig");
  int cut_level = -1;
  for (const auto& e : log_->entries())
    if (e.text.find("Element big cut to 1 of 2 values") != std::string::npos) cut_level = e.level;
  EXPECT_EQ(cut_level, 20);
}

}  // namespace
}  // namespace orv
