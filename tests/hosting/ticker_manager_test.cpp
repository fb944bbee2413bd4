#include "hosting/ticker_manager.h"

#include <gtest/gtest.h>

#include "control/tickertalk.h"
#include "engine/element_stream.h"
#include "engine/ticker_element.h"
#include "host/app_core.h"
#include "tests/support/fake_connection.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using messages = std::vector<std::vector<std::string>>;

const char* const one_group = "<group name=\"g\"><element key=\"k\"><value label=\"L\">V</value></element></group>";

class TickerManager : public ::testing::Test {
 protected:
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>();
  std::shared_ptr<app_core> core = std::make_shared<app_core>(nullptr, nullptr, log, 6301, false);
  std::shared_ptr<ticker_manager> tickers = std::make_shared<ticker_manager>(core);
};

TEST_F(TickerManager, NamesAreExactAndListedInByteOrder) {
  auto empty = tickers->ListTickers();
  EXPECT_TRUE(empty.success);
  EXPECT_EQ(empty.message, "");
  for (const char* name : {"b", "a", "B", ""}) EXPECT_TRUE(tickers->AddTicker(name).success) << name;
  EXPECT_EQ(tickers->ListTickers().message, std::string("\nB\na\nb\n"));
  EXPECT_EQ(tickers->GetTicker("A"), nullptr);

  auto b = tickers->GetTicker("b");
  b->AddGroupAfterCurrent(one_group);
  auto again = tickers->AddTicker("b");
  EXPECT_FALSE(again.success);
  EXPECT_EQ(again.message, "Ticker already exists");
  EXPECT_EQ(tickers->GetTicker("b"), b);
  EXPECT_EQ(b->GetGroupNames(), std::vector<std::string>{"g"});
}

TEST_F(TickerManager, DeletingReleasesTheTickerUnlessACallHoldsIt) {
  tickers->AddTicker("old");
  tickers->AddTicker("newer");
  std::weak_ptr<ticker_control_interface> old = tickers->GetTicker("old");
  EXPECT_TRUE(tickers->DeleteTicker("old").success);
  EXPECT_TRUE(old.expired());
  auto missing = tickers->DeleteTicker("old");
  EXPECT_FALSE(missing.success);
  EXPECT_EQ(missing.message, "Ticker not found");

  // A re-added name is a fresh ticker; one held by a caller lives on, unlisted, until released.
  EXPECT_TRUE(tickers->AddTicker("old").success);
  auto held = tickers->GetTicker("old");
  EXPECT_TRUE(held->GetGroupNames().empty());
  tickers->DeleteTicker("old");
  EXPECT_EQ(tickers->ListTickers().message, "newer\n");
  EXPECT_TRUE(held->AddGroupAfterCurrent(one_group));
  old = held;
  held.reset();
  EXPECT_TRUE(old.expired());
}

TEST_F(TickerManager, TickersLogThroughTheirOwnSubloggerAndEventsNeedAFactory) {
  tickers->AddTicker("T");
  auto ticker = tickers->GetTicker("T");
  ticker->pause_ticker();
  ASSERT_FALSE(log->entries().empty());
  EXPECT_EQ(log->entries().back().source, "TickerControl:T");

  ticker->continue_ticker();
  std::dynamic_pointer_cast<element_stream>(ticker)->OnStreamEmpty();
  EXPECT_EQ(log->count("Skipping sending message due to missing tickertalk factory."), 2);
}

class TickerManagerEvents : public TickerManager {
 protected:
  void SetUp() override {
    core->tickertalk_factory = factory;
    client.receive("1 protocol tickertalk\r\n");
    client.sent();
  }

  std::shared_ptr<tickertalk_factory> factory = std::make_shared<tickertalk_factory>(log, tickers.get());
  testing::fake_connection client{*factory};
};

TEST_F(TickerManagerEvents, TickerCallbacksBecomeEventMessages) {
  tickers->AddTicker("T");
  auto ticker = tickers->GetTicker("T");
  std::dynamic_pointer_cast<element_stream>(ticker)->OnStreamEmpty();
  EXPECT_EQ(client.sent(), (messages{{"*", "event", "at_end", "T"}, {"*", "event", "empty", "T"}}));

  ASSERT_TRUE(ticker->AddGroupToRunOncePriorityQueue(one_group));
  TickerElement element;
  for (int request = 0; request < 10 && client.wire.written.empty(); ++request) ticker->GetNextElement(element);
  EXPECT_EQ(client.sent(), (messages{{"*", "event", "priority_size", "T", "0"}}));

  tickers->send_run("headline?TTL=2", "T");
  EXPECT_EQ(client.sent(), (messages{{"*", "run", "headline?TTL=2", "T"}}));
}

TEST_F(TickerManagerEvents, ATickerOutlivingTheRegistrySendsNothing) {
  tickers->AddTicker("T");
  auto held = std::dynamic_pointer_cast<element_stream>(tickers->GetTicker("T"));
  tickers.reset();
  held->OnStreamEmpty();
  EXPECT_TRUE(client.wire.written.empty());
}

}  // namespace
}  // namespace orv
