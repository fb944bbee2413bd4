// The service process, a tickertalk client, log listeners on port 6300 and the renderer client
// library, all on loopback.

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

// Binds port (0: any) on loopback and answers the bound port, or 0 when it is taken.
std::uint16_t try_bind(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  socklen_t length = sizeof address;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

// orv_ticker with its own tickertalk port and instance name; terminated at the end.
class service_process {
 public:
  explicit service_process(const std::string& port) : output_("/tmp/orv_e2e_" + std::to_string(::getpid())) {
    std::vector<std::string> arguments{ORV_TICKER_PATH, "--port", port, "--log-level", "40"};
    std::vector<std::string> environment{"ORV_TICKER_INSTANCE=e2e_" + std::to_string(::getpid())};
    for (char** e = environ; *e; ++e) environment.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (auto& a : arguments) argv.push_back(a.data());
    for (auto& e : environment) envp.push_back(e.data());
    argv.push_back(nullptr);
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
        if (std::chrono::steady_clock::now() > deadline) ::kill(pid_, SIGKILL);
        std::this_thread::sleep_for(10ms);
      }
    }
    ::unlink(output_.c_str());
  }
  bool started() const { return pid_ > 0; }
  std::string output() const {
    std::stringstream all;
    all << std::ifstream(output_).rdbuf();
    return all.str();
  }

 private:
  std::string output_;
  pid_t pid_ = -1;
};

// A log listener reading lines with a bounded wait.
struct log_listener {
  explicit log_listener(const std::string& greeting) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(6300);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::send(fd, greeting.data(), greeting.size(), 0);
  }
  ~log_listener() { ::close(fd); }
  std::string line() {
    for (char chunk[4096];;) {
      if (auto end = buffer.find('\n'); end != std::string::npos) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        return line;
      }
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return "(nothing)";
      buffer.append(chunk, n);
    }
  }
  int fd;
  std::string buffer;
};

const char* const group_xml =
    "<group name=\"g1\"><section>Headlines</section>"
    "<element key=\"a\"><design>news</design><ttl>3</ttl><value label=\"text\" attribute=\"\">Hello</value></element>"
    "<element key=\"b\"><design>news</design><value label=\"text\">World</value>"
    "<value label=\"extra\" attribute=\"x\">More</value></element></group>";
const std::string hello = "news:text.=Hello", world = "news:text.=World,extra.x=More";

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    // The log port is fixed, and another service on this machine may hold it for a while.
    for (auto until = std::chrono::steady_clock::now() + 20s; !try_bind(6300) && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(100ms);
    ASSERT_NE(try_bind(6300), 0) << "port 6300 stays taken by another process";
    const std::string port = std::to_string(try_bind(0));
    service_ = std::make_unique<service_process>(port);
    ASSERT_TRUE(service_->started());
    for (auto until = std::chrono::steady_clock::now() + 20s;
         !commands_.connect("127.0.0.1", port) && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(commands_.is_open()) << service_->output();
    ASSERT_EQ(service_->output().find("Could not start event server"), std::string::npos) << service_->output();
    ASSERT_TRUE(events_.connect("127.0.0.1", port) && events_.send({"e", "protocol", "tickertalk"}));
    ASSERT_TRUE(events_.receive_reply("e"));
    ASSERT_EQ(orv_renderer_open(T.data(), T.size(), &renderer_), ORV_RENDERER_OK);
  }
  void TearDown() override { orv_renderer_close(renderer_); }

  // The status field that ends the reply.
  std::string command(field_list fields) {
    fields.insert(fields.begin(), "c");
    auto reply = commands_.send(fields) ? commands_.receive_reply("c") : std::nullopt;
    return reply ? reply->back() : "no reply";
  }
  field_list next_event() {
    auto message = events_.receive();
    if (!message || message->empty()) return {};
    return field_list(message->begin() + 1, message->end());
  }
  // The next element as "design:label.attribute=text,...".
  std::string next_element() {
    if (int status = orv_renderer_request(renderer_, 5000); status != ORV_RENDERER_OK) return orv_renderer_status_text(status);
    orv_renderer_element e{};
    if (orv_renderer_read_element(renderer_, &e) != ORV_RENDERER_OK) return "malformed";
    std::string shown = std::string(e.design.data) + ":";
    for (size_t i = 0; i < e.value_count; ++i)
      shown += (i ? "," : "") + std::string(e.values[i].label.data) + "." + e.values[i].attribute.data + "=" +
               e.values[i].text.data;
    return shown;
  }

  testing::scratch_ticker ticker_{"e2e"};
  const std::string& T = ticker_.name;
  std::unique_ptr<service_process> service_;
  tickertalk_client commands_{5s};
  tickertalk_client events_{5s};
  orv_renderer_channel* renderer_ = nullptr;  // opened before the ticker exists: it creates the objects
};

TEST_F(EndToEnd, ARendererGetsTheCarouselAndTitlesAndListenersTheLogOneRequestLater) {
  EXPECT_EQ(orv_renderer_request(renderer_, 1000), ORV_RENDERER_NOT_SERVED);
  log_listener with_ttl("TTL\n"), plain("hello\n");
  EXPECT_EQ(command({"on_ticker", T, "AddGroupAfterCurrent", group_xml}), "ok");

  EXPECT_EQ(next_element(), hello);
  EXPECT_EQ(next_element(), world);
  // The main element's log message, its group's name, goes out at the second request.
  EXPECT_EQ(next_event(), (field_list{"run", "g1?TTL=2", T}));
  EXPECT_EQ(with_ttl.line(), "g1?TTL=2");
  EXPECT_EQ(plain.line(), "g1");
  orv_renderer_titles titles{};
  ASSERT_EQ(orv_renderer_read_titles(renderer_, &titles), ORV_RENDERER_OK);
  ASSERT_GE(titles.count, 1u);
  EXPECT_STREQ(titles.titles[0].data, "Headlines");
  EXPECT_EQ(next_element(), hello);
  EXPECT_EQ(next_element(), world);
  EXPECT_EQ(with_ttl.line(), "g1?TTL=1");
}

TEST_F(EndToEnd, AClearedTickerRunsDryAndSaysSo) {
  EXPECT_EQ(command({"on_ticker", T, "AddGroupAfterCurrent", group_xml}), "ok");
  log_listener listener("\n");
  EXPECT_EQ(next_element(), hello);

  EXPECT_EQ(command({"on_ticker", T, "ClearAll"}), "ok");
  char head[2] = {'?', '?'};
  const int fd = ::shm_open(("/mem" + T).c_str(), O_RDONLY, 0);
  EXPECT_EQ(::pread(fd, head, 2, 0), 2);
  ::close(fd);
  EXPECT_EQ(std::string(head, 2), std::string(2, '\0')) << "not cleared at once";

  for (int i = 0; i < 6; ++i) EXPECT_EQ(next_element(), ":") << "empty request " << i + 1;
  EXPECT_EQ(next_event(), (field_list{"run", "g1?TTL=2", T}));
  EXPECT_EQ(next_event(), (field_list{"event", "at_end", T}));
  EXPECT_EQ(next_event(), (field_list{"event", "empty", T}));
  EXPECT_EQ(next_element(), ":");
  EXPECT_EQ(next_event(), (field_list{"run", "SCROLLER_EMPTY", T}));
  EXPECT_EQ(listener.line(), "g1");
  EXPECT_EQ(listener.line(), "SCROLLER_EMPTY");
}

TEST_F(EndToEnd, ADeletedTickerClosesItsChannelAndANewOneSharesTheObjects) {
  EXPECT_EQ(command({"on_ticker", T, "AddGroupAfterCurrent", group_xml}), "ok");
  EXPECT_EQ(next_element(), hello);
  EXPECT_EQ(command({"DeleteTicker", T}), "ok");
  EXPECT_EQ(orv_renderer_request(renderer_, 1000), ORV_RENDERER_NOT_SERVED);

  EXPECT_EQ(command({"AddTicker", T}), "ok");
  EXPECT_EQ(next_element(), ":");  // new and empty, on the objects the renderer kept
  EXPECT_EQ(command({"on_ticker", T, "AddGroupAfterCurrent", group_xml}), "ok");
  EXPECT_EQ(next_element(), hello);
}

}  // namespace
}  // namespace orv
