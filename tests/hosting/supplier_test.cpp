#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/ticker_element.h"
#include "hosting/supplier.h"
#include "tests/support/memory_logger.h"
#include "tests/support/ticker_objects.h"

namespace orv {
namespace {

using namespace std::string_literals;
using lines = std::vector<std::string>;

// Answers from a script; an empty entry is a request that finds no element.
struct scripted_stream : element_stream {
  std::deque<std::optional<TickerElement>> script;
  std::vector<std::string> upcoming;
  bool has_section = false;
  int empty_calls = 0;

  bool GetNextElement(TickerElement& out) override {
    const bool found = !script.empty() && script.front();
    if (found) out = *script.front();
    if (!script.empty()) script.pop_front();
    return found;
  }
  void OnStreamEmpty() override { ++empty_calls; }
  std::vector<std::string> GetUpcomingSections() override { return upcoming; }
  bool HasCurrentSection() override { return has_section; }
};

// Delayed log lines as "log <line> <line with time to live>".
struct recording_events : event_server_base {
  lines* sent;
  explicit recording_events(lines* to) : sent(to) {}
  void send_delayed_log(const std::string& line, const std::string& ttl) override {
    sent->push_back("log " + line + " " + ttl);
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

// A supplier whose delayed logs and "run" messages (as "run <text>") land in sent_.
class SupplierTest : public ::testing::Test {
 protected:
  SupplierTest() { supplier_->set_stream(stream_); }

  // Renderer requests, as the request event hands them on.
  void requests(int n = 1) {
    while (n-- > 0) supplier_->on_signalled();
  }
  std::string area(std::size_t n) const { return {supplier_->element_area().data(), n}; }
  std::string titles(std::size_t n) const { return {section_channel(ticker_.name).title_area().data(), n}; }

  boost::asio::io_context io_;
  vorn::event_dispatcher dispatcher_{io_};
  testing::scratch_ticker ticker_{"supplier"};
  std::shared_ptr<testing::memory_logger> log_ = std::make_shared<testing::memory_logger>();
  lines sent_;
  std::shared_ptr<scripted_stream> stream_ = std::make_shared<scripted_stream>();
  std::shared_ptr<supplier> supplier_ = std::make_shared<supplier>(
      ticker_.name, dispatcher_, std::make_shared<recording_events>(&sent_),
      [this](const std::string& run, const std::string& ticker) {
        sent_.push_back("run " + run + (ticker == ticker_.name ? "" : " on " + ticker));
      },
      log_);
};

TEST_F(SupplierTest, ALogMessageGoesOutAtTheNextRequestWithItsTimeToLive) {
  for (const auto& [ttl, ttl_line] :
       std::vector<std::pair<int, std::string>>{{3, "N?TTL=2"}, {0, "N?TTL=0"}, {-1, "N"}}) {
    sent_.clear();
    stream_->script = {element("1", "N", ttl), element("2")};
    requests();
    EXPECT_EQ(area(11), "D1\0L\0A\0T1\0\0"s);
    EXPECT_EQ(sent_, lines{}) << "ttl " << ttl;
    requests(2);  // element 2 has no log message: nothing goes out for it at the third
    EXPECT_EQ(sent_, (lines{"log N " + ttl_line, "run " + ttl_line})) << "ttl " << ttl;
  }
}

TEST_F(SupplierTest, ADrySpellCallsOnStreamEmptyOnceAndSendsTheMarkerOnceItsCountdownRunsOut) {
  requests(8);  // nothing ever delivered: silence
  stream_->script = {element("1"), std::nullopt, std::nullopt, element("2")};
  requests(2);
  EXPECT_EQ(stream_->empty_calls, 1);
  EXPECT_EQ(area(3), "\0\0\0"s);
  // Elements came back before the marker: the countdown goes on where it stopped, so the marker
  // comes sooner and OnStreamEmpty is not called again.
  requests(6);
  EXPECT_EQ(sent_, lines{});
  requests();
  EXPECT_EQ(sent_, (lines{"log SCROLLER_EMPTY SCROLLER_EMPTY", "run SCROLLER_EMPTY"}));
  requests(10);
  EXPECT_EQ(sent_.size(), 2u);
  EXPECT_EQ(stream_->empty_calls, 1);
}

TEST_F(SupplierTest, TitlesWaitForTheNextRequestClearDropsThemAndARendererHoldingTheMutexHoldsUpNothing) {
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

  stream_->has_section = true;
  stream_->upcoming = {"C"};
  requests();
  stream_->has_section = false;
  const int mutex = ::shm_open(("/sectionmutex" + ticker_.name).c_str(), O_RDWR, 0);
  ASSERT_EQ(::flock(mutex, LOCK_EX), 0);
  requests();
  EXPECT_EQ(titles(5), "A\0B\0\0"s);
  ::close(mutex);
  requests();  // the kept list goes in now
  EXPECT_EQ(titles(3), "C\0\0"s);
}

TEST_F(SupplierTest, AnExpiredStreamStillGetsAnAnswer) {
  stream_->script = {element("1")};
  requests();
  stream_.reset();
  requests();
  EXPECT_EQ(area(2), "\0\0"s);
  EXPECT_EQ(log_->count("Element stream expired"), 2);
}

}  // namespace
}  // namespace orv
