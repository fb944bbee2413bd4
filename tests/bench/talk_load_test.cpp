#include "bench/talk_load.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <thread>

#include "control/tickertalk.h"
#include "host/app_core.h"
#include "hosting/ticker_manager.h"
#include "tests/support/fake_connection.h"
#include "tests/support/memory_logger.h"
#include "tests/support/ticker_objects.h"

namespace orv::bench {
namespace {

using fields = std::vector<std::string>;
namespace asio = boost::asio;
using asio::ip::tcp;

std::string wire(const std::string& tag, const fields& command) {
  vorn::message m;
  m.start(tag);
  for (const auto& field : command) m.add_field(field);
  return m.text() + "\r\n";
}

TEST(Percentile, NearestRank) {
  std::vector<double> thousand;
  for (int i = 1; i <= 1000; ++i) thousand.push_back(i);
  EXPECT_EQ(percentile(thousand, 0.5), 500);
  EXPECT_EQ(percentile(thousand, 0.99), 990);
  EXPECT_EQ(percentile(thousand, 0.999), 999);
  EXPECT_EQ(percentile(thousand, 1.0), 1000);
  EXPECT_EQ(percentile({7}, 0.999), 7);
  EXPECT_EQ(percentile({1, 2}, 0.5), 1);
  EXPECT_EQ(percentile({}, 0.5), 0);
}

// The cycles of several connections, interleaved as the service may see them, through the
// real tickertalk protocol and tickers: every command succeeds, and the writes leave the
// ticker no larger than one group per connection besides the one they follow.
TEST(CommandCycle, EveryCommandSucceedsAndTheTickerStaysBounded) {
  auto log = std::make_shared<orv::testing::memory_logger>();
  auto core = std::make_shared<app_core>(nullptr, nullptr, log, 6301, false);
  auto tickers = std::make_shared<ticker_manager>(core);
  auto factory = std::make_shared<tickertalk_factory>(log, tickers.get());
  orv::testing::scratch_ticker ticker("bench");
  orv::testing::fake_connection setup(*factory);
  setup.receive("a AddTicker " + ticker.name + "\r\n" +
                wire("b", {"on_ticker", ticker.name, "AddGroupAfterGroup", "",
                           "<group name=\"base\"><element key=\"1\"><log_msg>x</log_msg></element></group>"}));
  ASSERT_EQ(setup.sent(), (std::vector<fields>{{"a", "ok"}, {"b", "ok"}}));

  constexpr int connections = 3;
  std::vector<std::unique_ptr<orv::testing::fake_connection>> clients;
  std::vector<std::vector<fields>> cycles;
  for (int c = 0; c < connections; ++c) {
    clients.push_back(std::make_unique<orv::testing::fake_connection>(*factory));
    cycles.push_back(command_cycle(ticker.name, "base", c));
  }
  std::size_t most_groups = 0;
  for (int turn = 0; turn < 40; ++turn) {
    // Connections take turns out of step, so one's write meets another's delete.
    for (int c = 0; c < connections; ++c) {
      const int n = turn + c;
      clients[c]->receive(wire(std::to_string(n), cycles[c][n % cycles[c].size()]));
      const auto replies = clients[c]->sent();
      ASSERT_EQ(replies.size(), 1u);
      ASSERT_GE(replies[0].size(), 2u);
      EXPECT_EQ(replies[0][1], "ok") << "connection " << c << " command " << n;
    }
    most_groups = std::max(most_groups, tickers->GetTicker(ticker.name)->GetGroupNames().size());
  }
  EXPECT_LE(most_groups, 1u + connections);
  EXPECT_GT(most_groups, 1u);  // the writes did add groups
}

// A server on its own thread that answers each command with its tag and "ok", or "error"
// for deletes, and counts what it sent.
class answering_server {
 public:
  answering_server() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~answering_server() {
    io_.stop();
    thread_.join();
  }
  tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }
  std::atomic<long> replies{0};
  std::atomic<long> errors{0};

 private:
  struct session : vorn::plaintalk_protocol {
    session(answering_server& server, tcp::socket socket)
        : vorn::plaintalk_protocol(nullptr), server(server), socket(std::move(socket)) {
      install_message_parser(std::make_shared<vorn::message_accumulator>(*this));
    }
    void message_received(const std::vector<std::string>& command) override {
      const bool error = command.size() > 4 && command[3] == "DeleteGroupWhenInactive";
      out += command[0] + (error ? " error\r\n" : " ok\r\n");
      ++server.replies;
      if (error) ++server.errors;
    }
    answering_server& server;
    tcp::socket socket;
    std::array<char, 4096> buffer;
    std::string out;
  };

  void accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
      if (ec) return;
      serve(std::make_shared<session>(*this, std::move(socket)));
      accept();
    });
  }
  void serve(std::shared_ptr<session> s) {
    s->socket.async_read_some(asio::buffer(s->buffer), [this, s](boost::system::error_code ec, std::size_t n) {
      if (ec) return;
      s->data_received(s->buffer.data(), n);
      boost::system::error_code ignored;
      asio::write(s->socket, asio::buffer(s->out), ignored);
      s->out.clear();
      serve(s);
    });
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

TEST(TalkLoad, CountsEveryReplyItWaitedForAndEachErrorOnce) {
  answering_server server;
  std::vector<std::vector<fields>> cycles;
  for (int c = 0; c < 4; ++c) cycles.push_back(command_cycle("t", "base", c));
  const talk_load_result load = run_talk_load(server.endpoint(), cycles, 8, std::chrono::milliseconds(200));

  EXPECT_GT(load.answered, 0);
  EXPECT_LE(load.answered, server.replies.load());
  EXPECT_EQ(load.latencies_us.size(), static_cast<std::size_t>(load.answered));
  EXPECT_TRUE(std::is_sorted(load.latencies_us.begin(), load.latencies_us.end()));
  // Every fourth command is a delete, and each connection ends on a whole cycle.
  EXPECT_EQ(load.error_replies, server.errors.load());
  EXPECT_EQ(server.errors.load() * 4, server.replies.load());
  EXPECT_EQ(load.out_of_order, 0);
  EXPECT_EQ(load.unanswered, 0);
  EXPECT_EQ(load.connections_lost, 0);
}

}  // namespace
}  // namespace orv::bench
