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

TEST_F(TickerManager, ListsNamesInByteOrder) {
  auto empty = tickers->ListTickers();
  EXPECT_TRUE(empty.success);
  EXPECT_EQ(empty.message, "");
  for (const char* name : {"b", "a", "B", ""}) EXPECT_TRUE(tickers->AddTicker(name).success) << name;
  EXPECT_EQ(tickers->ListTickers().message, std::string("\nB\na\nb\n"));
  // Names differ by case.
  EXPECT_NE(tickers->GetTicker("a"), tickers->GetTicker("B"));
  EXPECT_EQ(tickers->GetTicker("A"), nullptr);
}

TEST_F(TickerManager, AddingAnExistingNameLeavesTheTickerAlone) {
  tickers->AddTicker("T");
  auto first = tickers->GetTicker("T");
  first->AddGroupAfterCurrent(one_group);

  auto again = tickers->AddTicker("T");
  EXPECT_FALSE(again.success);
  EXPECT_EQ(again.message, "Ticker already exists");
  EXPECT_EQ(tickers->GetTicker("T"), first);
  EXPECT_EQ(first->GetGroupNames(), std::vector<std::string>{"g"});
  EXPECT_TRUE(log->contains("Ticker T already exists."));
}

TEST_F(TickerManager, DeletingReleasesTheTickerAtOnceAndANewOneCanTakeItsName) {
  tickers->AddTicker("old");
  tickers->AddTicker("newer");
  std::weak_ptr<ticker_control_interface> old = tickers->GetTicker("old");
  old.lock()->AddGroupAfterCurrent(one_group);

  EXPECT_TRUE(tickers->DeleteTicker("old").success);
  EXPECT_TRUE(old.expired());
  auto missing = tickers->DeleteTicker("old");
  EXPECT_FALSE(missing.success);
  EXPECT_EQ(missing.message, "Ticker not found");

  EXPECT_TRUE(tickers->AddTicker("old").success);
  EXPECT_TRUE(tickers->GetTicker("old")->GetGroupNames().empty());
}

TEST_F(TickerManager, ACallInProgressKeepsADeletedTickerAliveUnlisted) {
  tickers->AddTicker("T");
  auto held = tickers->GetTicker("T");
  tickers->DeleteTicker("T");
  EXPECT_EQ(tickers->ListTickers().message, "");
  EXPECT_TRUE(held->AddGroupAfterCurrent(one_group));
  std::weak_ptr<ticker_control_interface> watch = held;
  held.reset();
  EXPECT_TRUE(watch.expired());
}

TEST_F(TickerManager, EachTickerLogsThroughItsOwnSublogger) {
  tickers->AddTicker("T");
  tickers->GetTicker("T")->pause_ticker();
  bool found = false;
  for (const auto& entry : log->entries())
    if (entry.text.find("Pause ticker") != std::string::npos) found = entry.source == "TickerControl:T";
  EXPECT_TRUE(found);
}

TEST_F(TickerManager, EventsWithoutATickertalkFactoryAreDroppedWithANote) {
  tickers->AddTicker("T");
  auto stream = std::dynamic_pointer_cast<element_stream>(tickers->GetTicker("T"));
  ASSERT_NE(stream, nullptr);
  stream->OnStreamEmpty();
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
}

TEST_F(TickerManagerEvents, RunAndEventMessagesCarryTheirFields) {
  tickers->send_run("headline?TTL=2", "T");
  tickers->send_ticker_event("priority_size", "T", "3");
  tickers->send_ticker_event("empty", "T", "");
  EXPECT_EQ(client.sent(), (messages{{"*", "run", "headline?TTL=2", "T"},
                                     {"*", "event", "priority_size", "T", "3"},
                                     {"*", "event", "empty", "T"}}));
}

TEST_F(TickerManagerEvents, ATickerOutlivingTheRegistrySendsNothing) {
  tickers->AddTicker("T");
  auto held = std::dynamic_pointer_cast<element_stream>(tickers->GetTicker("T"));
  tickers.reset();  // the registry goes; the ticker lives on in this handle
  held->OnStreamEmpty();
  EXPECT_TRUE(client.wire.written.empty());
}

}  // namespace
}  // namespace orv
