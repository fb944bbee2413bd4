#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "event_server/event_server.h"
#include "runtime/asyncore.h"
#include "tests/support/memory_logger.h"

namespace orv {
namespace {

using namespace std::chrono_literals;

// A log listener over a plain loopback socket.
class listener_client {
 public:
  listener_client(std::uint16_t port, int receive_buffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~listener_client() { close(); }

  bool connected() const { return connected_; }
  void greet(const std::string& greeting) { ASSERT_EQ(::send(fd_, greeting.data(), greeting.size(), 0), ssize_t(greeting.size())); }
  // Everything that has arrived so far, without waiting.
  const std::string& received() {
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) received_.append(buffer, n);
    return received_;
  }
  // With reset set the peer gets a reset instead of an orderly close.
  void close(bool reset = false) {
    if (fd_ < 0) return;
    if (reset) {
      linger abort{1, 0};
      ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string received_;
};

class EventServer : public ::testing::Test {
 protected:
  void start(event_server_instance::settings config = {}) {
    config.port = 0;
    server_ = std::make_shared<event_server_instance>(loop_, log_, config);
    ASSERT_TRUE(server_->listening());
  }

  bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool finished = done();
    while (!finished && std::chrono::steady_clock::now() < deadline) {
      loop_->process(10);
      finished = done();
    }
    return finished;
  }

  std::unique_ptr<listener_client> connect(const std::string& greeting) {
    auto client = std::make_unique<listener_client>(server_->port());
    EXPECT_TRUE(client->connected());
    if (!greeting.empty()) client->greet(greeting);
    return client;
  }

  std::shared_ptr<testing::memory_logger> log_ = std::make_shared<testing::memory_logger>();
  std::shared_ptr<vorn::asyncore> loop_ = std::make_shared<vorn::asyncore>(log_);
  std::shared_ptr<event_server_instance> server_;
};

TEST_F(EventServer, TheGreetingDecidesBetweenTheTimeToLiveAndThePlainForm) {
  start();
  const struct {
    std::string greeting;
    bool ttl;
  } cases[] = {{"TTL\n", true},   {"news TTL\n", true}, {"a,TTL,b\n", true}, {"TTL=1\n", true},
               {"ttl\n", false},  {"xTTL\n", false},    {"TTL", false}};
  std::vector<std::unique_ptr<listener_client>> clients;
  for (const auto& c : cases) {
    clients.push_back(connect(c.greeting));
    // One at a time, so the log lines come in order.
    ASSERT_TRUE(run_until([&] { return server_->listener_count() == clients.size(); }));
  }
  EXPECT_TRUE(std::regex_search(log_->entries().front().text,
                                std::regex("^Listener connected on FD# [0-9]+, making it a total of 1 listeners\\.  "
                                           "TTL ENABLED\n$")))
      << log_->entries().front().text;

  server_->send_delayed_log("N", "N?TTL=2");
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const std::string expected = cases[i].ttl ? "N?TTL=2\n" : "N\n";
    EXPECT_TRUE(run_until([&] { return clients[i]->received().size() >= expected.size(); })) << cases[i].greeting;
    EXPECT_EQ(clients[i]->received(), expected) << "greeting " << cases[i].greeting;
  }
  EXPECT_TRUE(log_->contains("  Sending delayed log 'N?TTL=2' to 7 listeners.\n"));
}

TEST_F(EventServer, ASilentListenerIsServedPlainAfterTheGreetingWaitAndHoldsUpNobody) {
  event_server_instance::settings config;
  config.greeting_wait = 300ms;
  start(config);
  auto silent = connect("");
  auto greeter = connect("TTL\n");
  ASSERT_TRUE(run_until([&] { return server_->listener_count() == 1; }, 250ms)) << "the greeter waited";
  server_->send_delayed_log("first", "first?TTL=0");
  EXPECT_TRUE(run_until([&] { return greeter->received() == "first?TTL=0\n"; }));

  ASSERT_TRUE(run_until([&] { return server_->listener_count() == 2; }));
  EXPECT_TRUE(log_->contains("TTL DISABLED"));
  server_->send_delayed_log("second", "second?TTL=0");
  EXPECT_TRUE(run_until([&] { return silent->received() == "second\n"; })) << silent->received();
}

TEST_F(EventServer, AListenerThatClosedIsRemovedWithTheClosedLine) {
  start();
  auto client = connect("\n");
  ASSERT_TRUE(run_until([&] { return server_->listener_count() == 1; }));
  client->close();
  // The first line after the close still leaves; the peer's answer to it breaks the pipe.
  ASSERT_TRUE(run_until([&] {
    server_->send_delayed_log("x", "x");
    return server_->listener_count() == 0;
  }));
  EXPECT_TRUE(std::regex_search(log_->entries().back().text, std::regex("^Listener on FD #[0-9]+ closed it's connection\\.\n$")))
      << log_->entries().back().text;
  EXPECT_EQ(log_->entries().back().level, 80);
  EXPECT_EQ(log_->count("Error while sending"), 0);
  server_->send_delayed_log("y", "y");
  EXPECT_EQ(log_->entries().back().text, "  Sending delayed log 'y' to 0 listeners.\n");
}

TEST_F(EventServer, AResetConnectionTakesTheFailurePath) {
  start();
  auto client = connect("\n");
  ASSERT_TRUE(run_until([&] { return server_->listener_count() == 1; }));
  client->close(true);
  ASSERT_TRUE(run_until([&] {
    server_->send_delayed_log("x", "x");
    return server_->listener_count() == 0;
  }));
  EXPECT_EQ(log_->entries().back().text,
            "Error while sending log events to listeners:\n\tsend: (0x00000068) Connection reset by peer\n\t"
            "Disconnecting listener.\n");
  EXPECT_EQ(log_->entries().back().level, 20);
}

TEST_F(EventServer, AListenerThatStopsReadingIsDroppedAndTheOthersGetEverything) {
  event_server_instance::settings config;
  config.max_queued_bytes = 64 * 1024;
  start(config);
  listener_client stalled(server_->port(), 4096);
  stalled.greet("\n");
  auto reader = connect("\n");
  ASSERT_TRUE(run_until([&] { return server_->listener_count() == 2; }));

  const std::string line(1000, 'z');
  std::size_t sent = 0;
  while (server_->listener_count() == 2 && sent < 100000) {
    server_->send_delayed_log(line, line);
    ++sent;
    loop_->process(0);
    reader->received();
  }
  ASSERT_EQ(server_->listener_count(), 1u) << "never dropped after " << sent << " lines";
  EXPECT_TRUE(log_->contains("\tsend: (0x00000069) No buffer space available\n\tDisconnecting listener.\n"));
  EXPECT_TRUE(run_until([&] { return reader->received().size() == sent * (line.size() + 1); }))
      << reader->received().size() << " of " << sent * (line.size() + 1);
}

TEST_F(EventServer, APortInUseIsReportedAndTheServerStaysUsable) {
  start();
  event_server_instance::settings config;
  config.port = server_->port();
  ::testing::internal::CaptureStderr();
  event_server_instance second(loop_, log_, config);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Could not start event server: bind failed: (0x00000062) Address already in use\n");
  EXPECT_FALSE(second.listening());
  second.send_delayed_log("a", "b");  // without listeners, and without harm
  EXPECT_EQ(second.listener_count(), 0u);
}

}  // namespace
}  // namespace orv
