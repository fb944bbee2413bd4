// The orv_ticker process itself: options, single instance, the wire, bad clients, shutdown.

#include <gtest/gtest.h>

#include <csignal>

#include "tests/support/child_process.h"
#include "tools/tickertalk_client.h"

namespace orv {
namespace {

using testing::child_process;
using testing::service_process;
using fields = std::vector<std::string>;

// Runs orv_ticker to its end with these arguments (a port of its own comes first).
struct finished_run {
  explicit finished_run(std::vector<std::string> args) : process(std::move(args)) { exit_code = process.wait_exit(); }
  service_process process;
  std::optional<int> exit_code;
};

std::unique_ptr<tickertalk_client> connect_to(const service_process& service) {
  auto client = std::make_unique<tickertalk_client>(std::chrono::seconds(20));
  EXPECT_TRUE(client->connect("127.0.0.1", std::to_string(service.port())));
  return client;
}

fields ask(tickertalk_client& client, const fields& request) {
  EXPECT_TRUE(client.send(request));
  auto reply = client.receive_reply(request.front());
  EXPECT_TRUE(reply) << "no reply to " << request[1];
  return reply.value_or(fields{});
}

TEST(ServiceOptions, HelpAndBadOptionsEndWithTheirExitCodes) {
  finished_run help({"--help"});
  EXPECT_EQ(help.exit_code, 1);
  const auto text = help.process.standard_output();
  EXPECT_EQ(text.rfind("Allowed options:\n  --help ", 0), 0u) << text;
  for (const char* line : {"Shows this help message", "--log-level arg (=50)", "--port arg (=6301)",
                           "--ignore-inactive-qm-groups", "--RegServer", "--UnregServer", "--Service", "--elevated"})
    EXPECT_NE(text.find(line), std::string::npos) << line;

  finished_run unknown({"--bogus"});
  EXPECT_EQ(unknown.exit_code, 255);
  EXPECT_EQ(unknown.process.standard_output().rfind("Error: unrecognised option '--bogus'\n\nAllowed options:", 0), 0u)
      << unknown.process.standard_output();

  finished_run bad_value({"--log-level", "high"});
  EXPECT_EQ(bad_value.exit_code, 255);
  EXPECT_EQ(bad_value.process.standard_output().rfind("A specified option has an invalid value: ", 0), 0u);

  for (const char* level : {"101", "-1"}) {
    finished_run out_of_range({"--log-level", level});
    EXPECT_EQ(out_of_range.exit_code, 255);
    EXPECT_EQ(out_of_range.process.standard_output(), "Log level must be in [0-100]\n");
  }
}

TEST(ServiceOptions, RegistrationWordsEndTheProcessWithAnError) {
  finished_run registration({"--ignore-inactive-qm-groups", "-unREGserver"});
  ASSERT_TRUE(registration.exit_code);
  EXPECT_NE(*registration.exit_code, 0);
  EXPECT_EQ(registration.process.standard_error().rfind(
                "An error occured while trying to register or un register Ticker Service:\n(0x", 0),
            0u)
      << registration.process.standard_error();
}

TEST(ServiceProcess, LogLevelBoundsAndElevatedAloneStartTheService) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--log-level", "0"}, {"--log-level", "100", "--elevated"}}) {
    service_process service(args);
    ASSERT_TRUE(service.wait_listening()) << service.standard_output() << service.standard_error();
    auto client = connect_to(service);
    EXPECT_EQ(ask(*client, {"1", "ListTickers"}), (fields{"1", "ok"}));
  }
}

TEST(ServiceProcess, ASecondInstanceIsRefusedUntilTheFirstIsGone) {
  service_process first;
  ASSERT_TRUE(first.wait_listening()) << first.standard_error();

  for (std::vector<std::string> args : {std::vector<std::string>{}, {"--help"}}) {
    service_process second(args, testing::free_port(), first.instance());
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_EQ(second.standard_error(), "An instance of Orv|Ticker Service is already running.\n");
  }
  auto client = connect_to(first);
  EXPECT_EQ(ask(*client, {"1", "ListTickers"}), (fields{"1", "ok"}));

  // Killed outright, it leaves nothing behind that blocks the next start.
  first.kill_now();
  service_process third({}, testing::free_port(), first.instance());
  EXPECT_TRUE(third.wait_listening()) << third.standard_error();
}

TEST(ServiceProcess, ExampleExchange) {
  service_process service;
  ASSERT_TRUE(service.wait_listening()) << service.standard_error();
  auto client = connect_to(service);
  EXPECT_EQ(ask(*client, {"7", "protocol", "tickertalk"}), (fields{"7", "protocol", "tickertalk", "noevents"}));
  EXPECT_EQ(ask(*client, {"7", "AddTicker", "T"}), (fields{"7", "ok"}));
  EXPECT_EQ(ask(*client, {"7", "AddTicker", "T"}), (fields{"7", "error", "Ticker already exists"}));
  EXPECT_EQ(ask(*client, {"7", "on_ticker", "U", "pause_ticker"}),
            (fields{"7", "ok", "Created ticker: 'U'", "ok", "Running pause on ticker"}));
  EXPECT_EQ(ask(*client, {"7", "ListTickers"}), (fields{"7", "ok", "T\nU\n"}));
}

TEST(ServiceProcess, ArgumentCountAndConversionErrors) {
  service_process service;
  ASSERT_TRUE(service.wait_listening()) << service.standard_error();
  auto client = connect_to(service);
  EXPECT_EQ(ask(*client, {"1", "ListTickers", "x"}),
            (fields{"1", "error", "ListTickers: Wrong argument count. Got 1, expected 0."}));
  EXPECT_EQ(ask(*client, {"3", "on_ticker", "T", "Flush", "x"}),
            (fields{"3", "ok", "Created ticker: 'T'", "error", "Flush: Wrong argument count. Got 1, expected 0."}));
  EXPECT_EQ(ask(*client, {"4", "on_ticker", "T", "RunOnce", "t", "d", "s", "e", "p", "12a", "l", "o"}),
            (fields{"4", "error", "Could not convert parameter '12a' to integer."}));
  EXPECT_EQ(ask(*client, {"5", "on_ticker", "T", "RunOnce", "t", "d", "s", "e", "p", "12 ", "l", "o"}),
            (fields{"5", "ok"}));
}

TEST(ServiceProcess, BadClientsLeaveEveryOtherClientServed) {
  service_process service;
  ASSERT_TRUE(service.wait_listening()) << service.standard_error();
  auto steady = connect_to(service);
  EXPECT_EQ(ask(*steady, {"1", "AddTicker", "T"}), (fields{"1", "ok"}));

  // Well-framed nonsense is answered, and the connection stays.
  auto nonsense = connect_to(service);
  nonsense->send_raw(std::string("\x01\xff \x7f\r\n", 6));
  EXPECT_EQ(nonsense->receive(), (fields{"\x01\xff", "error", "not implemented", "\x7f"}));
  EXPECT_EQ(ask(*nonsense, {"2", "ListTickers"}), (fields{"2", "ok", "T\n"}));

  // Broken framing and an oversized field end only their own connections.
  auto garbled = connect_to(service);
  garbled->send_raw("x {zz}\r\n");
  EXPECT_EQ(garbled->receive(), std::nullopt);
  EXPECT_FALSE(garbled->is_open());

  auto flooding = connect_to(service);
  flooding->send_raw("3 AddTicker {16777216}" + std::string(16u << 20, 'a') + "\r\n");
  EXPECT_EQ(flooding->receive(), std::nullopt);
  EXPECT_FALSE(flooding->is_open());

  // A client that leaves in the middle of a message.
  auto leaving = connect_to(service);
  leaving->send_raw("4 on_ticker T AddGroupAfterCurrent {100}<group");
  leaving->close();

  EXPECT_EQ(ask(*steady, {"5", "ListTickers"}), (fields{"5", "ok", "T\n"}));
  auto newcomer = connect_to(service);
  EXPECT_EQ(ask(*newcomer, {"6", "on_ticker", "T", "GetGroups"}), (fields{"6", "ok"}));
  EXPECT_TRUE(service.running());
}

TEST(ServiceProcess, StopSignalsEndTheLoopWithASoftShutdown) {
  for (int stop : {SIGTERM, SIGINT}) {
    service_process service;
    ASSERT_TRUE(service.wait_listening()) << service.standard_error();
    auto client = connect_to(service);
    EXPECT_EQ(ask(*client, {"1", "on_ticker", "T", "GetGroups"}), (fields{"1", "ok", "Created ticker: 'T'", "ok"}));
    service.signal(stop);
    EXPECT_EQ(service.wait_exit(), 0) << service.standard_error();

    const auto console = service.standard_output();
    EXPECT_NE(console.find("Message loop stopped.\n----------------------------\nTicker service soft shutdown\n"),
              std::string::npos)
        << console;
    // The same lines went to the day's file in the log folder.
    std::string file_text;
    for (const auto& entry : std::filesystem::directory_iterator(service.log_folder()))
      if (entry.path().filename().string().rfind("ticker-", 0) == 0) file_text += child_process::read(entry.path());
    EXPECT_NE(file_text.find("Starting message loop."), std::string::npos);
    EXPECT_NE(file_text.find("Ticker service soft shutdown"), std::string::npos);
  }
}

}  // namespace
}  // namespace orv
