// The orv_ticker process itself: options, single instance, the wire, bad clients, shutdown.

#include <gtest/gtest.h>

#include <csignal>

#include "tests/support/service_harness.h"

namespace orv {
namespace {

using testing::fields;
using testing::scratch_ticker;
using testing::service_process;

TEST(ServiceOptions, HelpBadOptionsAndRegistrationWordsEndWithTheirExitCodes) {
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> runs{
      {{"--help"}, 1, "Allowed options:\n  --help "},
      {{"--bogus"}, 255, "Error: unrecognised option '--bogus'\n\nAllowed options:"},
      {{"--log-level", "high"}, 255, "A specified option has an invalid value: "},
      {{"--log-level", "101"}, 255, "Log level must be in [0-100]\n"},
      {{"--log-level", "-1"}, 255, "Log level must be in [0-100]\n"}};
  for (const auto& [args, exit_code, output_start] : runs) {
    service_process process(args);
    EXPECT_EQ(process.wait_exit(), exit_code) << args[0];
    const auto output = process.standard_output();
    EXPECT_EQ(output.rfind(output_start, 0), 0u) << output;
    if (output.find("Allowed options:") != std::string::npos) {
      for (const char* option : {"--log-level arg (=50)", "--port arg (=6301)", "--ignore-inactive-qm-groups",
                                 "--RegServer", "--UnregServer", "--Service", "--elevated"})
        EXPECT_NE(output.find(option), std::string::npos) << option;
    }
  }
  // A registration word wins over everything else; one that cannot write its registry says so.
  service_process registration({"--ignore-inactive-qm-groups", "-REGserver", "--elevated"}, testing::free_port(),
                               "reg_words", {{"ORV_TICKER_REGISTRY_ROOT", "/proc/orv_unwritable"}});
  EXPECT_NE(registration.wait_exit().value_or(0), 0);
  EXPECT_NE(registration.standard_error().find(
                "An error occured while trying to register or un register Ticker Service:\n(0x"),
            std::string::npos)
      << registration.standard_error();
}

TEST(ServiceProcess, ASecondInstanceIsRefusedUntilTheFirstIsGone) {
  service_process first;
  ASSERT_TRUE(first.wait_listening()) << first.standard_error();
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"--help"}}) {
    service_process second(args, testing::free_port(), first.instance());
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_EQ(second.standard_error(), "An instance of Orv|Ticker Service is already running.\n");
  }
  EXPECT_EQ(testing::ask(*first.connect(), {"1", "ListTickers"}), (fields{"1", "ok"}));

  // Killed outright, it leaves nothing behind that blocks the next start.
  first.kill_now();
  service_process third({}, testing::free_port(), first.instance());
  EXPECT_TRUE(third.wait_listening()) << third.standard_error();
}

using ServiceWire = testing::service_test;

TEST_F(ServiceWire, TheExchangeErrorsAndBadClientsLeaveOtherClientsServed) {
  scratch_ticker t("T"), u("U");
  EXPECT_EQ(ask({"7", "protocol", "tickertalk"}), (fields{"7", "protocol", "tickertalk", "noevents"}));
  EXPECT_EQ(ask({"7", "AddTicker", t.name}), (fields{"7", "ok"}));
  EXPECT_EQ(ask({"7", "AddTicker", t.name}), (fields{"7", "error", "Ticker already exists"}));
  EXPECT_EQ(ask({"7", "on_ticker", u.name, "pause_ticker"}),
            (fields{"7", "ok", "Created ticker: '" + u.name + "'", "ok", "Running pause on ticker"}));
  const std::string all = t.name + "\n" + u.name + "\n";
  EXPECT_EQ(ask({"7", "ListTickers"}), (fields{"7", "ok", all}));

  EXPECT_EQ(ask({"1", "ListTickers", "x"}),
            (fields{"1", "error", "ListTickers: Wrong argument count. Got 1, expected 0."}));

  // Well-framed nonsense is answered, and the connection stays.
  auto nonsense = service.connect();
  nonsense->send_raw(std::string("\x01\xff \x7f\r\n", 6));
  EXPECT_EQ(nonsense->receive(), (fields{"\x01\xff", "error", "not implemented", "\x7f"}));
  EXPECT_EQ(testing::ask(*nonsense, {"2", "ListTickers"}), (fields{"2", "ok", all}));

  // Broken framing, an oversized field and leaving mid-message end only their own connections;
  // each client is told why before its connection closes.
  auto garbled = service.connect(), flooding = service.connect(), untagged = service.connect(),
       leaving = service.connect();
  garbled->send_raw("x {zz}\r\n");
  flooding->send_raw("3 AddTicker {16777216}" + std::string(16u << 20, 'a') + "\r\n");
  untagged->send_raw("{1x");
  leaving->send_raw("4 on_ticker " + t.name + " AddGroupAfterCurrent {100}<group");
  leaving->close();
  EXPECT_EQ(garbled->receive(), (fields{"x", "error", "malformed escape: expected a digit inside {}"}));
  // Closing on input the peer is still sending resets the connection, which may drop the reply.
  if (auto reply = flooding->receive()) {
    EXPECT_EQ(*reply, (fields{"3", "error", "message larger than 16 MiB"}));
  }
  EXPECT_EQ(untagged->receive(), (fields{"*", "error", "malformed escape: expected a digit inside {}"}));
  for (auto* ended : {garbled.get(), flooding.get(), untagged.get()}) {
    EXPECT_EQ(ended->receive(), std::nullopt);
    EXPECT_FALSE(ended->is_open());
  }
  EXPECT_EQ(ask({"5", "ListTickers"}), (fields{"5", "ok", all}));
  EXPECT_EQ(testing::ask(*service.connect(), {"6", "on_ticker", t.name, "GetGroups"}), (fields{"6", "ok"}));
  EXPECT_TRUE(service.running());
}

TEST(ServiceProcess, StartUpSaysWhereItListensAndWhereItWrites) {
  service_process service({}, 0);  // the system picks the port, and the service must say which
  const std::string said = "Tickertalk port: ";
  ASSERT_TRUE(testing::eventually([&] { return service.standard_output().find(said) != std::string::npos; }))
      << service.standard_output() << service.standard_error();
  const auto console = service.standard_output();
  const int port = std::atoi(console.c_str() + console.find(said) + said.size());
  ASSERT_GT(port, 0) << console;
  tickertalk_client client(std::chrono::seconds(5));
  ASSERT_TRUE(client.connect("127.0.0.1", std::to_string(port)));
  EXPECT_EQ(testing::ask(client, {"1", "ListTickers"}), (fields{"1", "ok"}));
  EXPECT_NE(console.find("Settings file: ticker.ini (not found)\n"), std::string::npos) << console;
  EXPECT_NE(console.find("Log event port: "), std::string::npos) << console;
  EXPECT_NE(console.find("Log file: " + (service.log_folder() / "ticker-").string()), std::string::npos) << console;
}

TEST(ServiceProcess, StopSignalsEndWithASoftShutdownAndTheLogLevelBoundsStart) {
  for (const auto& [args, stop, logs] : std::vector<std::tuple<std::vector<std::string>, int, bool>>{
           {{}, SIGTERM, true},
           {{"--log-level", "100", "--elevated"}, SIGINT, true},
           {{"--log-level", "0"}, SIGTERM, false}}) {
    service_process service(args);
    ASSERT_TRUE(service.wait_listening()) << service.standard_error();
    scratch_ticker t("T");
    EXPECT_EQ(testing::ask(*service.connect(), {"1", "on_ticker", t.name, "GetGroups"}),
              (fields{"1", "ok", "Created ticker: '" + t.name + "'", "ok"}));
    service.signal(stop);
    EXPECT_EQ(service.wait_exit(), 0) << service.standard_error();
    const auto console = service.standard_output();
    EXPECT_EQ(console.find("Message loop stopped.\n----------------------------\nTicker service soft shutdown\n") !=
                  std::string::npos,
              logs)
        << console;
    // The same lines went to the day's file in the log folder.
    std::string file_text;
    for (const auto& entry : std::filesystem::directory_iterator(service.log_folder()))
      if (entry.path().filename().string().rfind("ticker-", 0) == 0) file_text += service.read(entry.path());
    EXPECT_EQ(file_text.find("Starting message loop.") != std::string::npos, logs);
    EXPECT_EQ(file_text.find("Ticker service soft shutdown") != std::string::npos, logs);
  }
}

}  // namespace
}  // namespace orv
