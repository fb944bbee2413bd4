#include <gtest/gtest.h>

#include <fcntl.h>
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
using texts = std::vector<std::pair<std::string, std::string>>;

// Answers from a script; an empty entry is a request that finds no element.
struct scripted_stream : element_stream {
  std::deque<std::optional<TickerElement>> script;
  std::vector<std::string> upcoming;
  bool has_section = false;
  int empty_calls = 0;

  bool GetNextElement(TickerElement& out) override {
    if (script.empty() || !script.front()) {
      if (!script.empty()) script.pop_front();
      return false;
    }
    out = *script.front();
    script.pop_front();
    return true;
  }
  void OnStreamEmpty() override { ++empty_calls; }
  std::vector<std::string> GetUpcomingSections() override { return upcoming; }
  bool HasCurrentSection() override { return has_section; }
};

struct recording_events : event_server_base {
  texts lines;
  void send_delayed_log(const std::string& line, const std::string& ttl_line) override { lines.emplace_back(line, ttl_line); }
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
    supplier_->set_stream(stream_);
  }

  // Requests over the request event, each waiting for its reset.
  void requests(int n = 1) {
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(renderer_.ask());
      ASSERT_TRUE(testing::run_until(io_, [&] { return renderer_.take_resets() == 1; })) << "no reset";
    }
  }
  std::string area(std::size_t n) const { return {supplier_->element_area().data(), n}; }
  std::string titles(std::size_t n) const {
    const int fd = ::shm_open(("/sections" + ticker_.name).c_str(), O_RDONLY, 0);
    std::string bytes(n, '?');
    EXPECT_EQ(::pread(fd, bytes.data(), n, 0), static_cast<ssize_t>(n));
    ::close(fd);
    return bytes;
  }

  boost::asio::io_context io_;
  vorn::event_dispatcher dispatcher_{io_};
  testing::scratch_ticker ticker_{"supplier"};
  std::shared_ptr<testing::memory_logger> log_ = std::make_shared<testing::memory_logger>();
  std::shared_ptr<recording_events> events_ = std::make_shared<recording_events>();
  texts runs_;
  std::shared_ptr<scripted_stream> stream_ = std::make_shared<scripted_stream>();
  std::shared_ptr<supplier> supplier_ = std::make_shared<supplier>(
      ticker_.name, dispatcher_, events_, [this](const std::string& r, const std::string& t) { runs_.emplace_back(r, t); },
      log_);
  testing::raw_renderer renderer_{ticker_.name};
};

TEST_F(SupplierTest, ALogMessageGoesOutAtTheNextRequestWithItsTimeToLive) {
  for (const auto& [ttl, ttl_line] : std::vector<std::pair<int, std::string>>{{3, "N?TTL=2"}, {0, "N?TTL=0"}, {-1, "N"}}) {
    events_->lines.clear();
    runs_.clear();
    stream_->script = {element("1", "N", ttl), element("2")};
    requests();
    EXPECT_EQ(area(11), "D1\0L\0A\0T1\0\0"s);
    EXPECT_TRUE(events_->lines.empty()) << "ttl " << ttl;
    requests();  // element 2 has no log message: nothing goes out for it at the third
    requests();
    EXPECT_EQ(events_->lines, (texts{{"N", ttl_line}})) << "ttl " << ttl;
    EXPECT_EQ(runs_, (texts{{ttl_line, ticker_.name}})) << "ttl " << ttl;
  }
  EXPECT_TRUE(log_->contains("...element: D1: L.A=T1  (1: N)"));
}

TEST_F(SupplierTest, ADrySpellCallsOnStreamEmptyOnceAndAnnouncesTheMarkerAtTheSeventhEmptyRequest) {
  requests(8);  // nothing ever delivered: silence
  EXPECT_EQ(stream_->empty_calls, 0);

  stream_->script = {element("1")};
  requests(2);
  EXPECT_EQ(stream_->empty_calls, 1);
  EXPECT_EQ(area(3), "\0\0\0"s);
  requests(5);
  EXPECT_TRUE(events_->lines.empty());
  requests();
  EXPECT_EQ(events_->lines, (texts{{"SCROLLER_EMPTY", "SCROLLER_EMPTY"}}));
  EXPECT_EQ(runs_, (texts{{"SCROLLER_EMPTY", ticker_.name}}));
  requests(10);
  EXPECT_EQ(events_->lines.size(), 1u);
  EXPECT_EQ(stream_->empty_calls, 1);
}

TEST_F(SupplierTest, TheCountdownCarriesOverWhenElementsComeBackEarly) {
  stream_->script = {element("1"), std::nullopt, std::nullopt, element("2")};
  requests(4);
  // Two empty requests are used up: no second OnStreamEmpty, the marker after four more.
  requests(4);
  EXPECT_EQ(stream_->empty_calls, 1);
  EXPECT_TRUE(events_->lines.empty());
  requests();
  EXPECT_EQ(events_->lines.size(), 1u);
}

TEST_F(SupplierTest, ClearLeavesTheEmptyElementAndDropsWaitingTitles) {
  stream_->has_section = true;
  stream_->upcoming = {"A", "B"};
  stream_->script = {element("1")};
  requests();  // titles fetched, written at the next request
  EXPECT_EQ(titles(5), "\0\0\0\0\0"s);
  supplier_->clear();
  EXPECT_EQ(area(2), "\0\0"s);
  stream_->has_section = false;
  requests();
  EXPECT_EQ(titles(5), "\0\0\0\0\0"s);

  supplier_->refresh_titles();  // at once, and again at the next request
  EXPECT_EQ(titles(5), "A\0B\0\0"s);
  stream_->upcoming = {};
  supplier_->refresh_titles();  // an empty list is never written
  EXPECT_EQ(titles(5), "A\0B\0\0"s);
}

TEST_F(SupplierTest, ARendererHoldingTheTitleMutexNeverHoldsUpARequest) {
  stream_->has_section = true;
  stream_->upcoming = {"A"};
  requests();
  stream_->has_section = false;
  const int mutex = ::shm_open(("/sectionmutex" + ticker_.name).c_str(), O_RDWR, 0);
  ASSERT_EQ(::flock(mutex, LOCK_EX), 0);
  requests();
  EXPECT_EQ(titles(3), "\0\0\0"s);
  ::close(mutex);
  requests();  // the kept list goes in now
  EXPECT_EQ(titles(3), "A\0\0"s);
}

TEST_F(SupplierTest, ExpiredStreamsAndOversizedElementsStillGetAnAnswer) {
  TickerElement big = element("big");
  big.SetValues({{"L", "", std::string(10000, 'x')}, {"L", "", std::string(10000, 'y')}});
  stream_->script = {big};
  requests();
  EXPECT_EQ(area(4), "Dbig");
  EXPECT_TRUE(log_->contains("Element big cut to 1 of 2 values"));

  stream_.reset();
  requests();
  EXPECT_EQ(area(2), "\0\0"s);
  EXPECT_EQ(log_->count("Element stream expired"), 2);
}

}  // namespace
}  // namespace orv
