#include "engine/quillmere_ticker_manager.h"

#include <gtest/gtest.h>

#include "engine/ticker_clock.h"
#include "engine/ticker_element.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

struct recording_subscriber : quillmere_subscriber {
  std::shared_ptr<ticker_group_base> group;
  void receive(const std::string&) override {}
};

struct fake_client : quillmere_client_base {
  std::vector<std::vector<std::string>> calls;
  std::shared_ptr<quillmere_subscriber> last_subscriber;
  std::weak_ptr<int> last_handle;
  quillmere_subscription subscribe(const std::vector<std::string>& urls,
                                   std::shared_ptr<quillmere_subscriber> subscriber) override {
    calls.push_back(urls);
    last_subscriber = std::move(subscriber);
    auto handle = std::make_shared<int>(static_cast<int>(calls.size()));
    last_handle = handle;
    return handle;
  }
};

TEST(QuillmereTickerManager, SubscribesThroughTheClientWithTheFactorysSubscriber) {
  auto log = std::make_shared<testing::memory_logger>(50);
  auto client = std::make_shared<fake_client>();
  std::shared_ptr<element_key_index> index_seen;
  QuillmereTickerManager manager(client, log,
                                 [&](std::shared_ptr<ticker_group_base>, std::shared_ptr<element_key_index> index,
                                     std::shared_ptr<vorn::logger_base>) {
                                   index_seen = index;
                                   return std::make_shared<recording_subscriber>();
                                 });
  ASSERT_NE(manager.key_index(), nullptr);
  EXPECT_EQ(manager.key_index()->size(), 0u);

  auto handle = manager.AddManagedGroup(nullptr, {"http://hub:8080/a", "http://other/b"});
  ASSERT_EQ(client->calls.size(), 1u);
  EXPECT_EQ(client->calls[0].front(), "http://hub:8080/a");
  EXPECT_EQ(index_seen, manager.key_index());
  EXPECT_NE(client->last_subscriber, nullptr);
  ASSERT_EQ(log->entries().size(), 1u);
  EXPECT_EQ(log->entries()[0].text, "Adding managed group with url: http://hub:8080/a\r\n");

  EXPECT_FALSE(client->last_handle.expired());
  handle.reset();
  EXPECT_TRUE(client->last_handle.expired());
}

TEST(QuillmereTickerManager, WithoutClientThereIsNoSubscription) {
  auto log = std::make_shared<testing::memory_logger>(50);
  bool factory_called = false;
  QuillmereTickerManager manager(nullptr, log, [&](auto, auto, auto) {
    factory_called = true;
    return std::shared_ptr<quillmere_subscriber>();
  });
  EXPECT_EQ(manager.AddManagedGroup(nullptr, {"http://hub/x"}), nullptr);
  EXPECT_FALSE(factory_called);
  EXPECT_TRUE(log->contains("Adding managed group with url: http://hub/x"));
}

TEST(TickerClock, OverrideIsScopedAndRestoresThePreviousClock) {
  const auto real = ticker_now();
  {
    scoped_ticker_clock outer(1000);
    EXPECT_EQ(ticker_now(), 1000);
    {
      scoped_ticker_clock inner(5);
      inner.advance(3);
      EXPECT_EQ(ticker_now(), 8);
    }
    outer.set(2000);
    EXPECT_EQ(ticker_now(), 2000);
  }
  EXPECT_GE(ticker_now(), real);
  EXPECT_GT(ticker_now(), 1'000'000'000);
}

}  // namespace
}  // namespace orv
