// The real service process, a tickertalk client, log listeners on port 6300 and the renderer
// client library, all on loopback.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "renderer/orv_renderer.h"
#include "tests/hosting/channel_test_support.h"
#include "tools/tickertalk_client.h"

extern char** environ;

namespace orv {
namespace {

using namespace std::chrono_literals;
using field_list = std::vector<std::string>;

constexpr std::uint16_t event_server_port = 6300;

bool port_free(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

std::uint16_t unused_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// orv_ticker on its own tickertalk port and single-instance name; terminated at the end.
class service_process {
 public:
  explicit service_process(std::uint16_t port) : output_("/tmp/orv_e2e_" + std::to_string(::getpid()) + ".out") {
    const std::string port_text = std::to_string(port);
    std::vector<std::string> arguments{ORV_TICKER_PATH, "--port", port_text, "--log-level", "40"};
    std::vector<std::string> environment{"ORV_TICKER_INSTANCE=e2e_" + std::to_string(::getpid())};
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("ORV_TICKER_INSTANCE=", 0) != 0) environment.emplace_back(*e);

    std::vector<char*> argv, envp;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~service_process() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      const auto deadline = std::chrono::steady_clock::now() + 5s;
      while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for(10ms);
      }
    }
    ::unlink(output_.c_str());
  }
  service_process(const service_process&) = delete;
  service_process& operator=(const service_process&) = delete;

  bool started() const { return pid_ > 0; }
  std::string output() const {
    std::ifstream in(output_);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  std::string output_;
  pid_t pid_ = -1;
};

// A log listener: a blocking socket read with a bounded wait.
class log_listener {
 public:
  explicit log_listener(const std::string& greeting) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(event_server_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::send(fd_, greeting.data(), greeting.size(), 0) == ssize_t(greeting.size());
    timeval wait{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~log_listener() { ::close(fd_); }
  bool connected() const { return connected_; }
  // The next line without its line feed; empty when none came in time.
  std::string line() {
    for (;;) {
      if (auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      char chunk[4096];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return "";
      buffer_.append(chunk, n);
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

std::string text(const orv_renderer_text& t) { return {t.data, t.size}; }

const char* const group_xml =
    "<group name=\"g1\"><section>Headlines</section>"
    "<element key=\"a\"><design>news</design><ttl>3</ttl><value label=\"text\" attribute=\"\">Hello</value></element>"
    "<element key=\"b\"><design>news</design><value label=\"text\">World</value>"
    "<value label=\"extra\" attribute=\"x\">More</value></element></group>";

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    // The log event server's port is fixed; another service on this machine may hold it.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!port_free(event_server_port) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(port_free(event_server_port)) << "port 6300 stays taken by another process";

    port_ = std::to_string(unused_port());
    service_ = std::make_unique<service_process>(static_cast<std::uint16_t>(std::stoi(port_)));
    ASSERT_TRUE(service_->started());
    const auto ready = std::chrono::steady_clock::now() + 20s;
    while (!commands_.connect("127.0.0.1", port_) && std::chrono::steady_clock::now() < ready) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(commands_.is_open()) << service_->output();
    ASSERT_EQ(service_->output().find("Could not start event server"), std::string::npos) << service_->output();

    ASSERT_TRUE(events_.connect("127.0.0.1", port_));
    ASSERT_TRUE(events_.send({"e", "protocol", "tickertalk"}));
    ASSERT_TRUE(events_.receive_reply("e"));
  }

  field_list command(const field_list& fields) {
    static int tag = 0;
    field_list message{"c" + std::to_string(++tag)};
    message.insert(message.end(), fields.begin(), fields.end());
    EXPECT_TRUE(commands_.send(message));
    auto reply = commands_.receive_reply(message.front());
    EXPECT_TRUE(reply.has_value()) << "no reply to " << fields.at(0);
    return reply.value_or(field_list{});
  }

  std::optional<field_list> next_event() {
    auto message = events_.receive();
    if (message && !message->empty() && message->front() == "*") message->erase(message->begin());
    return message;
  }

  // The next element's design and value texts, as "design:text,text".
  std::string next_element(orv_renderer_channel* channel) {
    const int status = orv_renderer_request(channel, 5000);
    if (status != ORV_RENDERER_OK) return std::string("request failed: ") + orv_renderer_status_text(status);
    orv_renderer_element e{};
    if (orv_renderer_read_element(channel, &e) != ORV_RENDERER_OK) return "malformed";
    std::string shown = text(e.design) + ":";
    for (size_t i = 0; i < e.value_count; ++i)
      shown += (i ? "," : "") + text(e.values[i].label) + "." + text(e.values[i].attribute) + "=" + text(e.values[i].text);
    return shown;
  }

  testing::scratch_ticker ticker_{"e2e"};
  std::string port_;
  std::unique_ptr<service_process> service_;
  tickertalk_client commands_{5s};
  tickertalk_client events_{5s};
};

struct channel_handle {
  orv_renderer_channel* channel = nullptr;
  ~channel_handle() { orv_renderer_close(channel); }
};

TEST_F(EndToEnd, ARendererGetsTheCarouselWithTitlesAndListenersGetTheLogOneRequestLater) {
  const std::string& T = ticker_.name();
  // The renderer comes first and creates the objects; the ticker then shares them.
  channel_handle renderer;
  ASSERT_EQ(orv_renderer_open(T.data(), T.size(), &renderer.channel), ORV_RENDERER_OK);
  EXPECT_EQ(orv_renderer_request(renderer.channel, 1000), ORV_RENDERER_NOT_SERVED);

  log_listener with_ttl("TTL\n"), plain("hello\n");
  ASSERT_TRUE(with_ttl.connected() && plain.connected());
  EXPECT_EQ(command({"on_ticker", T, "AddGroupAfterCurrent", group_xml}).back(), "ok");

  EXPECT_EQ(next_element(renderer.channel), "news:text.=Hello");
  EXPECT_EQ(next_element(renderer.channel), "news:text.=World,extra.x=More");
  // The main element's log message (its group's name) is announced at the second request.
  EXPECT_EQ(next_event(), (field_list{"run", "g1?TTL=2", T}));
  EXPECT_EQ(with_ttl.line(), "g1?TTL=2");
  EXPECT_EQ(plain.line(), "g1");

  orv_renderer_titles titles{};
  ASSERT_EQ(orv_renderer_read_titles(renderer.channel, &titles), ORV_RENDERER_OK);
  ASSERT_GE(titles.count, 1u);
  EXPECT_EQ(text(titles.titles[0]), "Headlines");

  EXPECT_EQ(next_element(renderer.channel), "news:text.=Hello");
  EXPECT_EQ(next_element(renderer.channel), "news:text.=World,extra.x=More");
  EXPECT_EQ(with_ttl.line(), "g1?TTL=1");
}

TEST_F(EndToEnd, AClearedTickerRunsDryAndSaysSo) {
  const std::string& T = ticker_.name();
  EXPECT_EQ(command({"on_ticker", T, "AddGroupAfterCurrent", group_xml}).back(), "ok");
  channel_handle renderer;
  ASSERT_EQ(orv_renderer_open(T.data(), T.size(), &renderer.channel), ORV_RENDERER_OK);
  log_listener listener("\n");
  EXPECT_EQ(next_element(renderer.channel), "news:text.=Hello");

  // Cleared between two requests: the area holds the empty element at once.
  EXPECT_EQ(command({"on_ticker", T, "ClearAll"}).back(), "ok");
  const int fd = ::shm_open(("/mem" + T).c_str(), O_RDONLY, 0);
  char head[2] = {'?', '?'};
  ASSERT_EQ(::pread(fd, head, 2, 0), 2);
  ::close(fd);
  EXPECT_EQ(std::string(head, 2), std::string(2, '\0'));

  for (int i = 0; i < 6; ++i) EXPECT_EQ(next_element(renderer.channel), ":") << "empty request " << i + 1;
  EXPECT_EQ(next_event(), (field_list{"run", "g1?TTL=2", T}));
  EXPECT_EQ(next_event(), (field_list{"event", "at_end", T}));
  EXPECT_EQ(next_event(), (field_list{"event", "empty", T}));
  EXPECT_EQ(listener.line(), "g1");
  EXPECT_EQ(next_element(renderer.channel), ":");
  EXPECT_EQ(next_event(), (field_list{"run", "SCROLLER_EMPTY", T}));
  EXPECT_EQ(listener.line(), "SCROLLER_EMPTY");
}

TEST_F(EndToEnd, DeletingATickerClosesItsChannelAndANewTickerSharesTheObjects) {
  const std::string& T = ticker_.name();
  EXPECT_EQ(command({"on_ticker", T, "AddGroupAfterCurrent", group_xml}).back(), "ok");
  channel_handle renderer;
  ASSERT_EQ(orv_renderer_open(T.data(), T.size(), &renderer.channel), ORV_RENDERER_OK);
  EXPECT_EQ(next_element(renderer.channel), "news:text.=Hello");

  EXPECT_EQ(command({"DeleteTicker", T}).back(), "ok");
  EXPECT_EQ(orv_renderer_request(renderer.channel, 1000), ORV_RENDERER_NOT_SERVED);

  EXPECT_EQ(command({"AddTicker", T}).back(), "ok");
  EXPECT_EQ(next_element(renderer.channel), ":");  // a new, empty ticker on the same objects
  EXPECT_EQ(command({"on_ticker", T, "AddGroupAfterCurrent", group_xml}).back(), "ok");
  EXPECT_EQ(next_element(renderer.channel), "news:text.=Hello");
}

}  // namespace
}  // namespace orv
