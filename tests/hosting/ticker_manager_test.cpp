#include "hosting/ticker_manager.h"

#include <gtest/gtest.h>

#include "engine/element_stream.h"
#include "engine/ticker_element.h"
#include "tests/support/memory_logger.h"
#include "tests/support/recording_host.h"

namespace orv {
namespace {

using messages = std::vector<std::vector<std::string>>;

const char* const one_group = "<group name=\"g\"><element key=\"k\"><value label=\"L\">V</value></element></group>";

class TickerManager : public ::testing::Test {
 protected:
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>();
  std::shared_ptr<testing::recording_host> core = std::make_shared<testing::recording_host>(nullptr, nullptr, log, false);
  std::shared_ptr<ticker_manager> tickers = std::make_shared<ticker_manager>(core);
};

TEST_F(TickerManager, NamesAreExactListedInByteOrderAndDeletingReleasesTheTickerUnlessACallHoldsIt) {
  EXPECT_EQ(tickers->ListTickers().message, "");
  for (const char* name : {"b", "a", "B", ""}) EXPECT_TRUE(tickers->AddTicker(name).success) << name;
  EXPECT_EQ(tickers->ListTickers().message, std::string("\nB\na\nb\n"));
  EXPECT_EQ(tickers->GetTicker("A"), nullptr);
  auto b = tickers->GetTicker("b");
  b->AddGroupAfterCurrent(one_group);
  for (const char* name : {"a\nb", "c\r"}) {
    auto refused = tickers->AddTicker(name);
    EXPECT_EQ(std::make_pair(refused.success, refused.message),
              std::make_pair(false, std::string("Ticker name contains a line end")));
  }
  auto again = tickers->AddTicker("b");
  EXPECT_EQ(std::make_pair(again.success, again.message), std::make_pair(false, std::string("Ticker already exists")));
  EXPECT_EQ(tickers->GetTicker("b"), b);
  EXPECT_EQ(b->GetGroupNames(), std::vector<std::string>{"g"});

  std::weak_ptr<ticker_control_interface> a = tickers->GetTicker("a");
  EXPECT_TRUE(tickers->DeleteTicker("a").success);
  EXPECT_TRUE(a.expired());
  auto missing = tickers->DeleteTicker("a");
  EXPECT_EQ(std::make_pair(missing.success, missing.message), std::make_pair(false, std::string("Ticker not found")));
  // A re-added name is a fresh ticker; one held by a caller lives on, unlisted, until released.
  b.reset();
  tickers->DeleteTicker("b");
  EXPECT_TRUE(tickers->AddTicker("b").success);
  auto held = tickers->GetTicker("b");
  EXPECT_TRUE(held->GetGroupNames().empty());
  tickers->DeleteTicker("b");
  EXPECT_EQ(tickers->ListTickers().message, "\nB\n");
  EXPECT_TRUE(held->AddGroupAfterCurrent(one_group));
  a = held;
  held.reset();
  EXPECT_TRUE(a.expired());
}

TEST_F(TickerManager, TickerCallbacksBecomeEventMessagesOnceSomebodyListens) {
  tickers->AddTicker("T");
  auto ticker = tickers->GetTicker("T");
  std::dynamic_pointer_cast<element_stream>(ticker)->OnStreamEmpty();
  EXPECT_EQ(log->count("Skipping sending message due to missing tickertalk factory."), 2);

  core->listening = true;
  std::dynamic_pointer_cast<element_stream>(ticker)->OnStreamEmpty();
  EXPECT_EQ(core->sent, (messages{{"event", "at_end", "T"}, {"event", "empty", "T"}}));
  core->sent.clear();
  ASSERT_TRUE(ticker->AddGroupToRunOncePriorityQueue(one_group));
  TickerElement element;
  for (int request = 0; request < 10 && core->sent.empty(); ++request) ticker->GetNextElement(element);
  EXPECT_EQ(core->sent, (messages{{"event", "priority_size", "T", "0"}}));
  core->sent.clear();
  tickers->send_run("headline?TTL=2", "T");
  EXPECT_EQ(core->sent, (messages{{"run", "headline?TTL=2", "T"}}));

  // A ticker outliving the registry sends nothing.
  core->sent.clear();
  tickers.reset();
  std::dynamic_pointer_cast<element_stream>(ticker)->OnStreamEmpty();
  EXPECT_TRUE(core->sent.empty());
}

}  // namespace
}  // namespace orv
