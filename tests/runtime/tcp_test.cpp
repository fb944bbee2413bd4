#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <functional>
#include <stdexcept>

#include "runtime/plaintalk.h"
#include "runtime/tcp_connector.h"
#include "runtime/tcp_listener.h"
#include "tests/runtime/run_loop.h"
#include "tests/support/descriptor_exhaustion.h"
#include "tests/support/memory_logger.h"

namespace {

using namespace std::chrono_literals;
using orv::testing::memory_logger;
using orv::testing::run_until;
using steady = std::chrono::steady_clock;

// Server side: answers each message with its tag, "re" and the other fields; "quit" closes.
class reply_protocol : public vorn::plaintalk_protocol {
 public:
  reply_protocol() : vorn::plaintalk_protocol(nullptr) {}
  void connection_made() override { install_message_parser(std::make_shared<vorn::message_accumulator>(*this)); }
  void message_received(const std::vector<std::string>& fields) override {
    if (on_message) on_message(fields[0]);
    if (fields[0] == "quit") return close_connection();
    reply.start(fields[0]);
    reply.add_field("re");
    for (std::size_t i = 1; i < fields.size(); ++i) reply.add_field(fields[i]);
    write(reply.text() + "\r\n");
  }
  void connection_lost() override { lost = true; }

  vorn::message reply;
  bool lost = false;
  std::function<void(const std::string& tag)> on_message;
};

struct server_factory : vorn::protocol_factory_base {
  server_factory() : protocol_factory_base(std::make_shared<memory_logger>()) {}
  std::shared_ptr<vorn::base_protocol> create_protocol() override {
    auto p = std::make_shared<reply_protocol>();
    p->set_messages_per_turn(messages_per_turn);
    p->on_message = on_message;
    created.push_back(p);
    return p;
  }
  memory_logger& log() { return static_cast<memory_logger&>(*logger_); }
  std::vector<std::weak_ptr<reply_protocol>> created;
  std::size_t messages_per_turn = 0;
  std::function<void(const std::string& tag)> on_message;
};

// Client side: sends its greeting once connected and keeps what arrives in the buffer.
class client_protocol : public vorn::base_protocol {
 public:
  client_protocol(std::string greeting, std::shared_ptr<std::vector<std::string>> closed_log)
      : greeting_(std::move(greeting)), closed_log_(std::move(closed_log)) {}
  void connection_made() override { write(greeting_); }
  void received_data_added_to_buffer() override { received = buffer().unread(); }
  void connection_lost() override { closed_log_->push_back(received); }
  std::string received;

 private:
  std::string greeting_;
  std::shared_ptr<std::vector<std::string>> closed_log_;
};

struct client_factory : vorn::client_factory_base {
  client_factory() : client_factory_base(std::make_shared<memory_logger>()) {}
  std::shared_ptr<vorn::base_protocol> create_protocol() override {
    auto p = std::make_shared<client_protocol>(greeting, received_by_closed);
    current = p;
    connected_at.push_back(steady::now());
    return p;
  }
  void connection_failed(const std::shared_ptr<vorn::connector>& c, const std::string& reason) override {
    failed_at.push_back(steady::now());
    last_reason = reason;
    if (reconnect) c->connect();
  }
  void connection_lost(const std::shared_ptr<vorn::connector>& c, const std::string&) override {
    ++losses;
    EXPECT_FALSE(c->is_connected());
    if (reconnect) c->connect();
  }

  bool reconnect = false;
  std::string greeting = "7 hello {3}a b\r\n";
  std::weak_ptr<client_protocol> current;
  // What each connection had received when it closed.
  std::shared_ptr<std::vector<std::string>> received_by_closed = std::make_shared<std::vector<std::string>>();
  std::vector<steady::time_point> failed_at, connected_at;
  int losses = 0;
  std::string last_reason;
};

// A plain socket client the test drives byte by byte, without the library.
struct raw_client {
  explicit raw_client(int port, int receive_buffer = 0) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    local_port = ntohs(address.sin_port);
  }
  ~raw_client() { ::close(fd); }
  // Sends what the socket takes now; the rest stays in pending.
  void pump() {
    while (!pending.empty()) {
      const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n <= 0) return;
      pending.erase(0, static_cast<std::size_t>(n));
    }
  }
  // Reads what has arrived; true once the other side has ended the connection.
  bool ended() {
    char chunk[65536];
    ssize_t n;
    while ((n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) received.append(chunk, static_cast<std::size_t>(n));
    return n == 0 || (n < 0 && errno != EAGAIN);
  }

  int fd;
  int local_port = 0;
  std::string pending;
  std::string received;
};

class Tcp : public ::testing::Test {
 protected:
  std::shared_ptr<vorn::connector> connect(int port) {
    return vorn::connect_tcp(*core, client, "127.0.0.1", std::to_string(port));
  }
  bool client_received(const std::string& text) {
    auto p = client->current.lock();
    return p && p->received.find(text) != std::string::npos;
  }
  bool both_released(std::size_t server_index) {
    return server->created.at(server_index).expired() && client->current.expired();
  }

  std::shared_ptr<vorn::asyncore> core = std::make_shared<vorn::asyncore>(std::make_shared<memory_logger>());
  std::shared_ptr<server_factory> server = std::make_shared<server_factory>();
  std::shared_ptr<client_factory> client = std::make_shared<client_factory>();
  const int port = vorn::listen_tcp(*core, 0, server)->port();  // the listener outlives its handle
};

TEST_F(Tcp, LoopbackExchangeAndEitherSideClosing) {
  auto c = connect(port);
  ASSERT_TRUE(run_until(*core, [&] { return client_received("\r\n"); }));
  EXPECT_EQ(client->current.lock()->received, "7 re hello {3}a b\r\n");
  EXPECT_TRUE(c->is_connected());
  // Dropping the connector closes the connection without telling the factory.
  c.reset();
  EXPECT_TRUE(run_until(*core, [&] { return both_released(0); }));
  EXPECT_EQ(client->losses, 0);

  // The listener still accepts; a server that closes is reported to the client factory.
  client->greeting = "quit\n";
  c = connect(port);
  ASSERT_TRUE(run_until(*core, [&] { return client->losses == 1; }));
  EXPECT_FALSE(c->is_connected());
  EXPECT_TRUE(run_until(*core, [&] { return both_released(1); }));
}

TEST_F(Tcp, APipelinedReadIsServedInTurnsWithOtherWorkBetweenThem) {
  // One message per turn: work queued while the first is handled runs before the second.
  server->messages_per_turn = 1;
  std::vector<std::string> order;
  server->on_message = [&](const std::string& tag) {
    order.push_back(tag);
    if (tag == "1") boost::asio::post(core->io_context(), [&] { order.push_back("other"); });
  };
  client->greeting = "1 a\n2 b\n3 c\n";
  auto c = connect(port);
  ASSERT_TRUE(run_until(*core, [&] { return client_received("3 re c"); }));
  EXPECT_EQ(order, (std::vector<std::string>{"1", "other", "2", "3"}));
  EXPECT_EQ(client->current.lock()->received, "1 re a\r\n2 re b\r\n3 re c\r\n");
}

TEST_F(Tcp, MalformedInputClosesOnlyThatConnection) {
  auto good = connect(port);
  ASSERT_TRUE(run_until(*core, [&] { return client_received("\r\n"); }));
  auto good_protocol = client->current.lock();
  // The reply to what came before the malformed part of the same read still arrives.
  client->greeting = "9 first\nbad\rline\n";
  auto bad = connect(port);
  ASSERT_TRUE(run_until(*core, [&] { return client->losses == 1; }));
  EXPECT_TRUE(server->log().contains("CR not followed by LF"));
  EXPECT_EQ(client->received_by_closed->back(), "9 re first\r\n");
  EXPECT_TRUE(good->is_connected());
  good_protocol->write("8 still here\n");
  EXPECT_TRUE(run_until(*core, [&] { return good_protocol->received.find("8 re still here") != std::string::npos; }));
}

TEST_F(Tcp, BindFailureNamesThePortAndTheSystemError) {
  using ::testing::HasSubstr;
  EXPECT_THAT([&] { vorn::listen_tcp(*core, port, server); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  ::testing::AllOf(HasSubstr(std::to_string(port)), HasSubstr(") Address already in use"))));
  EXPECT_THROW(vorn::listen_tcp(*core, 70000, server), std::runtime_error);
}

TEST_F(Tcp, ConnectorRetriesAtAGrowingPaceUntilThePortOpens) {
  auto probe = vorn::listen_tcp(*core, 0, server);
  const int closed_port = probe->port();
  probe->close();
  client->reconnect = true;
  auto c = connect(closed_port);
  ASSERT_TRUE(run_until(*core, [&] { return client->failed_at.size() == 2; }));
  auto listener = vorn::listen_tcp(*core, closed_port, server);
  ASSERT_TRUE(run_until(*core, [&] { return !client->connected_at.empty(); }));
  EXPECT_TRUE(c->is_connected());
  EXPECT_EQ(client->failed_at.size(), 2u);
  EXPECT_GE(client->failed_at[1] - client->failed_at[0], 100ms);
  EXPECT_GE(client->connected_at[0] - client->failed_at[1], 200ms);
}

TEST_F(Tcp, APeerThatHangsUpAtOnceIsRetriedAtAGrowingPace) {
  client->greeting = "quit\n";  // the server closes on it
  client->reconnect = true;
  auto c = connect(port);
  ASSERT_TRUE(run_until(*core, [&] { return client->connected_at.size() == 3; }));
  EXPECT_GE(client->connected_at[1] - client->connected_at[0], 100ms);
  EXPECT_GE(client->connected_at[2] - client->connected_at[1], 200ms);
}

TEST_F(Tcp, UnusableAddressesFailLikeUnreachableOnesAndDroppingCancelsTheRetry) {
  client->reconnect = true;
  auto no_host = vorn::connect_tcp(*core, client, "", "6301");
  EXPECT_TRUE(client->failed_at.empty());  // reported from the loop, not from inside connect_tcp
  ASSERT_TRUE(run_until(*core, [&] { return client->failed_at.size() == 1; }));
  EXPECT_EQ(client->last_reason, "no address to connect to");
  no_host.reset();  // its retry was already scheduled

  auto no_port = connect(0);
  ASSERT_TRUE(run_until(*core, [&] { return client->failed_at.size() == 2; }));
  no_port.reset();
  const auto never = [] { return false; };
  run_until(*core, never, 250ms);
  EXPECT_EQ(client->failed_at.size(), 2u);
}

TEST_F(Tcp, OutputCapDisconnectsAPeerThatStopsReadingButNotOneThatReads) {
  boost::asio::io_context other;
  boost::asio::ip::tcp::socket silent(other);
  silent.open(boost::asio::ip::tcp::v4());
  silent.set_option(boost::asio::socket_base::receive_buffer_size(4096));
  silent.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
  ASSERT_TRUE(run_until(*core, [&] { return server->created.size() == 1; }));
  auto p = server->created[0].lock();
  constexpr std::size_t cap = 256 * 1024;
  p->set_max_unsent_output(cap);
  const std::string block(64 * 1024, 'x');
  std::size_t accepted = 0;
  for (int i = 0; i < 4096 && p->has_transport(); ++i) {
    if (p->write(block)) accepted += block.size();
    core->process(0);
  }
  EXPECT_FALSE(p->has_transport());
  EXPECT_GT(accepted, cap);
  // The system took no more than its capped share: megabytes there would be freed in one
  // turn when the connection closes.
  EXPECT_LT(accepted, cap + block.size() + (768u << 10));
  EXPECT_TRUE(server->log().contains("peer is not reading"));
  EXPECT_TRUE(run_until(*core, [&] { return p->lost; }));

  // A reading peer may receive many times the cap.
  client->greeting = "";
  auto c = connect(port);
  ASSERT_TRUE(run_until(*core, [&] { return server->created.size() == 2 && !client->current.expired(); }));
  auto reader = server->created[1].lock();
  reader->set_max_unsent_output(cap / 2);
  for (std::size_t i = 1; i <= 32; ++i) {
    ASSERT_TRUE(reader->write(block.substr(0, 32 * 1024))) << i;
    ASSERT_TRUE(run_until(*core, [&] { return client->current.lock()->received.size() == i * 32 * 1024; }));
  }
  EXPECT_TRUE(reader->has_transport());
}

TEST_F(Tcp, APeerThatEndsItsInputGetsEveryReplyBeforeTheClose) {
  server->messages_per_turn = 1;  // the replies also wait behind turns
  const std::string big(3 << 20, 'b');
  raw_client half(port, 4096);  // reads nothing until its input has ended: the replies back up
  half.pending = "1 {" + std::to_string(big.size()) + "}" + big + "\n2 tail\n3 unfinished";
  while (!half.pending.empty()) {
    half.pump();
    core->process(1);
  }
  ::shutdown(half.fd, SHUT_WR);
  ASSERT_TRUE(run_until(*core, [&] { return half.ended(); }, 10s));
  const std::string whole = "1 re " + big + "\r\n2 re tail\r\n";
  EXPECT_EQ(half.received.size(), whole.size());
  EXPECT_TRUE(half.received == whole);
  EXPECT_TRUE(server->log().contains("closed by the peer"));
}

TEST_F(Tcp, PastTheMemoryBudgetTheConnectionHoldingTheMostIsClosed) {
  core->connection_budget().set_limit(1 << 20);
  // Each holds the two bytes of "t " and what has arrived of the field, not its announced length.
  auto send_part = [&](raw_client& c, std::size_t bytes) {
    c.pending = "t {4000000}" + std::string(bytes, 'x');
    const std::size_t before = core->connection_budget().total();
    c.pump();
    ASSERT_TRUE(c.pending.empty());
    ASSERT_TRUE(run_until(*core, [&] { return core->connection_budget().total() >= before + bytes; }));
  };
  raw_client largest(port), middle(port), last(port);
  send_part(largest, 600 << 10);
  send_part(middle, 300 << 10);
  EXPECT_FALSE(largest.ended());
  last.pending = "t {4000000}" + std::string(200 << 10, 'x');
  last.pump();
  ASSERT_TRUE(run_until(*core, [&] { return largest.ended(); }));
  EXPECT_TRUE(server->log().contains("Connection with 127.0.0.1:" + std::to_string(largest.local_port) +
                                     " closed: the connections together hold more than the memory budget of "
                                     "1048576 bytes; this one holds the most, " +
                                     std::to_string((600 << 10) + 2) + " bytes"));
  ASSERT_TRUE(run_until(*core, [&] { return core->connection_budget().total() == (500u << 10) + 4; }));
  EXPECT_FALSE(middle.ended() || last.ended());
  // The one that grows past the rest is next; what it held is given back.
  middle.pending = std::string(1 << 20, 'y');
  ASSERT_TRUE(run_until(
      *core,
      [&] {
        middle.pump();
        return middle.ended();
      },
      5s));
  EXPECT_TRUE(run_until(*core, [&] { return core->connection_budget().total() == (200u << 10) + 2; }));
  EXPECT_FALSE(last.ended());
}

TEST_F(Tcp, OutOfDescriptorsAcceptingPausesWithOneLineAndResumesWhenTheLoopClosesOne) {
  using boost::asio::ip::tcp;
  boost::asio::io_context other;
  const tcp::endpoint at(boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
  tcp::socket first(other), second(other);
  first.connect(at);
  ASSERT_TRUE(run_until(*core, [&] { return server->created.size() == 1; }));
  second.connect(at);  // waits in the backlog
  {
    orv::testing::descriptor_exhaustion exhausted;
    EXPECT_FALSE(run_until(*core, [&] { return server->created.size() > 1; }, 600ms));
    EXPECT_EQ(server->log().count("Out of descriptors"), 1);
    EXPECT_EQ(server->log().count("Accept failed"), 0);
    server->created[0].lock()->close_connection();
    EXPECT_TRUE(run_until(*core, [&] { return server->created.size() == 2; }));
  }
  EXPECT_EQ(server->log().count("accepting resumed"), 1);
}

}  // namespace
