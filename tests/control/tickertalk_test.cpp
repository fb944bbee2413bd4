#include "control/tickertalk.h"

#include <boost/lexical_cast/bad_lexical_cast.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/app_core.h"
#include "hosting/ticker_manager.h"
#include "tests/support/fake_connection.h"
#include "tests/support/memory_logger.h"
#include "tests/support/mock_ticker.h"

namespace orv {
namespace {

using fields = std::vector<std::string>;
using messages = std::vector<fields>;
using testing::fake_connection;

class Tickertalk : public ::testing::Test {
 protected:
  std::shared_ptr<testing::memory_logger> log = std::make_shared<testing::memory_logger>();
  std::shared_ptr<app_core> core = std::make_shared<app_core>(nullptr, nullptr, log, 6301, false);
  std::shared_ptr<ticker_manager> tickers = std::make_shared<ticker_manager>(core);
  std::shared_ptr<tickertalk_factory> factory = std::make_shared<tickertalk_factory>(log, tickers.get());
};

TEST_F(Tickertalk, ExampleExchange) {
  fake_connection client(*factory);
  client.receive("7 protocol tickertalk\r\n");
  client.receive("7 AddTicker T\r\n");
  client.receive("7 AddTicker T\r\n");
  client.receive("7 on_ticker U pause_ticker\r\n");
  client.receive("7 ListTickers\r\n");
  EXPECT_EQ(client.sent(), (messages{
                               {"7", "protocol", "tickertalk", "noevents"},
                               {"7", "ok"},
                               {"7", "error", "Ticker already exists"},
                               {"7", "ok", "Created ticker: 'U'", "ok", "Running pause on ticker"},
                               {"7", "ok", "T\nU\n"},
                           }));
  client.receive("8 DeleteTicker T\n8 DeleteTicker T\n8 on_ticker U GetGroups\n");
  EXPECT_EQ(client.sent(), (messages{{"8", "ok"}, {"8", "error", "Ticker not found"}, {"8", "ok"}}));
}

TEST_F(Tickertalk, EveryMessageEndsInCarriageReturnLineFeed) {
  fake_connection client(*factory);
  client.receive("1 ListTickers\n1\n1 nonsense\n");
  const std::string& wire = client.wire.written;
  EXPECT_EQ(wire, "1 ok\r\n1 error {18}incomplete command\r\n1 error {15}not implemented nonsense\r\n");
}

TEST_F(Tickertalk, MalformedCommandsGetErrorRepliesAndTheConnectionStays) {
  fake_connection client(*factory);
  client.receive("t\r\n");
  client.receive("t addticker T\r\n");
  client.receive("t ListTickers x\r\n");
  client.receive("t AddTicker\r\n");
  client.receive("t DeleteTicker a b\r\n");
  client.receive("t on_ticker T\r\n");
  client.receive("t on_ticker T nothing\r\n");
  EXPECT_EQ(client.sent(),
            (messages{
                {"t", "error", "incomplete command"},
                {"t", "error", "not implemented", "addticker"},
                {"t", "error", "ListTickers: Wrong argument count. Got 1, expected 0."},
                {"t", "error", "AddTicker: Wrong argument count. Got 0, expected 1."},
                {"t", "error", "DeleteTicker: Wrong argument count. Got 2, expected 1."},
                {"t", "error", "on_ticker: Wrong argument count. Got 1, expected at least 2."},
                {"t", "ok", "Created ticker: 'T'", "error", "Command not implemented on ticker: 'nothing'"},
            }));
  // An empty tag has nobody to answer to.
  client.receive("{0} ListTickers\r\n{0}\r\n");
  EXPECT_TRUE(client.wire.written.empty());
  EXPECT_TRUE(client.wire.open);
  client.receive("u ListTickers\r\n");
  EXPECT_EQ(client.sent(), (messages{{"u", "ok", "T\n"}}));
}

// A registry whose answers each test sets.
class scripted_registry : public tickers_interface {
 public:
  ticker_result AddTicker(const std::string& name) override { return add(name); }
  ticker_result DeleteTicker(const std::string&) override { throw boost::bad_lexical_cast(); }
  std::shared_ptr<ticker_control_interface> GetTicker(const std::string&) override { return ticker; }
  ticker_result ListTickers() override { return {false, ""}; }

  std::function<ticker_result(const std::string&)> add = [](const std::string&) { return ticker_result{}; };
  std::shared_ptr<ticker_control_interface> ticker;
};

TEST_F(Tickertalk, FailuresBelowTheDispatcherBecomeErrorReplies) {
  scripted_registry registry;
  tickertalk_factory scripted(log, &registry);
  fake_connection client(scripted);

  client.receive("1 on_ticker X GetGroups\r\n");
  registry.add = [](const std::string& name) -> ticker_result { throw std::runtime_error("no room for " + name); };
  client.receive("2 on_ticker X GetGroups\r\n");
  client.receive("3 AddTicker Y\r\n");
  client.receive("4 DeleteTicker Y\r\n");
  client.receive("5 ListTickers\r\n");

  auto ticker = std::make_shared<::testing::StrictMock<testing::mock_ticker>>();
  EXPECT_CALL(*ticker, GetGroups()).WillOnce(::testing::Throw(std::runtime_error("ticker broke")));
  registry.ticker = ticker;
  client.receive("6 on_ticker X GetGroups\r\n");

  EXPECT_EQ(client.sent(), (messages{
                               {"1", "error", "Can't create ticker: 'X'"},
                               {"2", "error", "no room for X"},
                               {"3", "error", "no room for Y"},
                               {"4", "error", boost::bad_lexical_cast().what()},
                               {"5", "error"},
                               {"6", "error", "ticker broke"},
                           }));
}

TEST_F(Tickertalk, EventsGoOnlyToLiveConnectionsThatAskedForThem) {
  fake_connection subscribed(*factory), silent(*factory), declined(*factory), gone(*factory);
  subscribed.receive("a protocol tickertalk\r\n");
  declined.receive("noevents protocol tickertalk\r\n");
  gone.receive("g protocol\r\n");
  gone.wire.open = false;
  for (auto* c : {&subscribed, &declined}) c->sent();

  factory->broadcast_event({"event", "at_end", "T"});
  EXPECT_EQ(subscribed.sent(), (messages{{"*", "event", "at_end", "T"}}));
  EXPECT_TRUE(silent.wire.written.empty());
  EXPECT_TRUE(declined.wire.written.empty());
  EXPECT_TRUE(log->contains("Sent event to 1/4: \"* event at_end T\""));

  // Asking again without "noevents" turns them on; with it anywhere, off.
  declined.receive("d protocol tickertalk\r\n");
  subscribed.receive("a protocol noevents\r\n");
  declined.sent();
  subscribed.sent();
  log->clear();
  factory->broadcast_event({"run", "text with spaces", "T"});
  EXPECT_TRUE(subscribed.wire.written.empty());
  EXPECT_EQ(declined.sent(), (messages{{"*", "run", "text with spaces", "T"}}));

  // A connection that has ended is forgotten by the factory.
  gone.release();
  log->clear();
  factory->broadcast_event({"event", "empty", "T"});
  EXPECT_TRUE(log->contains("Sent event to 1/3: "));
}

TEST_F(Tickertalk, BroadcastWithNobodyListeningWritesAndLogsNothing) {
  fake_connection client(*factory);
  log->clear();
  factory->broadcast_event({"event", "at_end", "T"});
  EXPECT_TRUE(client.wire.written.empty());
  EXPECT_FALSE(log->contains("Sent event"));
}

TEST_F(Tickertalk, ConnectionNumbersAreNeverReused) {
  auto first = std::dynamic_pointer_cast<tickertalk_protocol>(factory->create_protocol());
  const auto first_id = first->id();
  first.reset();
  auto second = std::dynamic_pointer_cast<tickertalk_protocol>(factory->create_protocol());
  EXPECT_GT(second->id(), first_id);
}

TEST_F(Tickertalk, ConnectionsMayOutliveTheirFactory) {
  auto connection = factory->create_protocol();
  factory.reset();
  connection.reset();  // its deleter must not reach the factory
  EXPECT_FALSE(log->contains("Could not locate protocol"));
}

}  // namespace
}  // namespace orv
