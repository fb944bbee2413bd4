#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "event_server/event_server.h"
#include "runtime/asyncore.h"
#include "tests/support/child_process.h"
#include "tests/support/log_listener.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using namespace std::chrono_literals;
using testing::log_listener;

class EventServer : public ::testing::Test {
 protected:
  void start(event_server_instance::settings config = {.port = 0}) {
    server_ = std::make_shared<event_server_instance>(loop_, log_, config);
    ASSERT_TRUE(server_->listening());
  }
  bool run_until(const std::function<bool()>& done) { return testing::run_until(loop_->io_context(), done); }
  std::unique_ptr<log_listener> connect(const std::string& greeting, std::size_t listeners_after = 0) {
    auto listener = std::make_unique<log_listener>(server_->port(), greeting);
    EXPECT_TRUE(!listeners_after || run_until([&] { return server_->listener_count() == listeners_after; }));
    return listener;
  }
  int logged(int level, const std::string& pattern) const {
    int n = 0;
    for (const auto& e : log_->entries()) n += e.level == level && std::regex_match(e.text, std::regex(pattern));
    return n;
  }

  std::shared_ptr<testing::memory_logger> log_ = std::make_shared<testing::memory_logger>();
  std::shared_ptr<vorn::asyncore> loop_ = std::make_shared<vorn::asyncore>(log_);
  std::shared_ptr<event_server_instance> server_;
};

TEST_F(EventServer, TheGreetingChoosesTheTimeToLiveOrThePlainForm) {
  start();
  const std::vector<std::pair<std::string, bool>> cases{{"TTL\n", true},   {"news TTL\n", true}, {"a,TTL,b\n", true},
                                                        {"TTL=1\n", true}, {"ttl\n", false},     {"xTTL\n", false},
                                                        {"TTL", false}};
  std::vector<std::unique_ptr<log_listener>> clients;
  for (const auto& c : cases) clients.push_back(connect(c.first, clients.size() + 1));
  server_->send_delayed_log("N", "N?TTL=2");
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const std::string expected = cases[i].second ? "N?TTL=2\n" : "N\n";
    EXPECT_TRUE(run_until([&] { return clients[i]->received().size() >= expected.size(); }));
    EXPECT_EQ(clients[i]->received(), expected) << "greeting " << cases[i].first;
  }
}

TEST_F(EventServer, LinesBeforeTheGreetingAreKeptForTheFormItPicksAndNobodyWaits) {
  start({.port = 0, .greeting_wait = 300ms});
  auto silent = connect("");
  log_listener late(server_->port(), "");
  auto greeter = connect("TTL\n", 1);
  server_->send_delayed_log("first", "first?TTL=0");
  EXPECT_EQ(server_->listener_count(), 1u) << "the others were not waited for";
  EXPECT_TRUE(run_until([&] { return greeter->received() == "first?TTL=0\n"; }));

  ASSERT_EQ(::send(late.fd, "TTL\n", 4, 0), 4);
  ASSERT_TRUE(run_until([&] { return server_->listener_count() == 2; }));
  server_->send_delayed_log("second", "second?TTL=0");
  EXPECT_TRUE(run_until([&] { return late.received() == "first?TTL=0\nsecond?TTL=0\n"; })) << late.received();
  ASSERT_TRUE(run_until([&] { return server_->listener_count() == 3; }));
  server_->send_delayed_log("third", "third?TTL=0");
  EXPECT_TRUE(run_until([&] { return silent->received() == "first\nsecond\nthird\n"; })) << silent->received();
}

TEST_F(EventServer, WhatIsKeptForAListenerAndHowManyConnectAreBounded) {
  start({.port = 0, .greeting_wait = 10s, .max_queued_bytes = 1000, .max_listeners = 2});
  log_listener pending(server_->port(), "");
  auto greeted = connect("\n", 1);
  log_listener refused(server_->port(), "");
  EXPECT_TRUE(run_until([&] {
    refused.received();
    return refused.ended;
  }));
  EXPECT_EQ(refused.text, "Too many listeners: the server serves at most 2 at a time; try again later\n");
  EXPECT_EQ(log_->count("Refusing log listeners: 2 are connected, the most allowed\n"), 1);

  for (int i = 0; i < 10; ++i) server_->send_delayed_log(std::string(60, 'p'), std::string(60, 't'));
  EXPECT_TRUE(log_->contains("\tsend: (0x00000069) No buffer space available\n\tDisconnecting listener.\n"));
  EXPECT_TRUE(run_until([&] {
    pending.received();
    return pending.ended;
  }));
  EXPECT_EQ(pending.text, "");
  auto admitted = connect("\n", 2);
  EXPECT_EQ(greeted->received().size(), 10 * 61u);
}

TEST_F(EventServer, ClosedAndResetListenersAreRemovedEachOnItsOwnPath) {
  start();
  auto closed = connect("\n", 1), reset = connect("\n", 2);
  closed->close();
  reset->close(true);
  // The first line after an orderly close still leaves; the peer's answer breaks the pipe.
  ASSERT_TRUE(run_until([&] {
    server_->send_delayed_log("x", "x");
    return server_->listener_count() == 0;
  }));
  EXPECT_EQ(logged(80, "Listener on FD #[0-9]+ closed it's connection\\.\n"), 1);
  EXPECT_EQ(
      log_->count("Error while sending log events to listeners:\n\tsend: (0x00000068) Connection reset by peer\n\t"
                  "Disconnecting listener.\n"),
      1);
  server_->send_delayed_log("y", "y");
  EXPECT_EQ(log_->entries().back().text, "  Sending delayed log 'y' to 0 listeners.\n");
}

TEST_F(EventServer, AListenerThatStopsReadingIsDroppedAndTheOthersGetEverything) {
  start({.port = 0, .max_queued_bytes = 64 * 1024});
  log_listener stalled(server_->port(), "\n", 4096);
  auto reader = connect("\n", 2);
  const std::string line(1000, 'z');
  std::size_t sent = 0;
  for (; server_->listener_count() == 2 && sent < 100000; ++sent) {
    server_->send_delayed_log(line, line);
    loop_->process(0);
    reader->received();
  }
  ASSERT_EQ(server_->listener_count(), 1u) << "never dropped after " << sent << " lines";
  EXPECT_TRUE(log_->contains("\tsend: (0x00000069) No buffer space available\n\tDisconnecting listener.\n"));
  EXPECT_TRUE(run_until([&] { return reader->received().size() == sent * (line.size() + 1); }));
}

TEST_F(EventServer, APortInUseIsReportedAndTheServerStaysUsable) {
  start();
  ::testing::internal::CaptureStderr();
  event_server_instance second(loop_, log_, {.port = server_->port()});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Could not start event server: bind failed: (0x00000062) Address already in use\n");
  EXPECT_FALSE(second.listening());
  second.send_delayed_log("a", "b");
}

}  // namespace
}  // namespace orv
