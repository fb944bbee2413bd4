#pragma once

// End-to-end tests: a real orv_ticker started for the test, tickertalk clients to it, and the
// renderer and log listener sides of its tickers.

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>

#include "tests/support/child_process.h"
#include "tests/support/log_listener.h"
#include "tests/support/ticker_objects.h"
#include "tools/tickertalk_client.h"

namespace orv::testing {

using fields = std::vector<std::string>;

// orv_ticker on a port of its own, with its own instance name and log folder.
class service_process : public child_process {
 public:
  explicit service_process(std::vector<std::string> args = {}, int port = free_port())
      : service_process(std::move(args), port, "test" + std::to_string(::getpid()) + "_" + std::to_string(port)) {}
  // environment adds to the instance's own variables.
  service_process(std::vector<std::string> args, int port, const std::string& instance,
                  std::map<std::string, std::string> environment = {})
      : child_process(ORV_TICKER_EXE, with_port(std::move(args), port),
                      with_instance(std::move(environment), instance)),
        port_(port),
        instance_(instance) {}
  ~service_process() {
    kill_now();
    std::error_code ignored;
    std::filesystem::remove_all(appdata_for(instance_), ignored);
  }

  int port() const { return port_; }
  const std::string& instance() const { return instance_; }
  std::filesystem::path log_folder() const { return appdata_for(instance_) / "Ostrant" / "Ticker Service"; }

  // Tries the port until it accepts, the process ends, or the limit passes.
  bool wait_listening(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto accepts = [&] {
      return tickertalk_client(std::chrono::seconds(1)).connect("127.0.0.1", std::to_string(port_));
    };
    return eventually([&] { return !running() || accepts(); }, limit) && running();
  }
  std::unique_ptr<tickertalk_client> connect() const {
    auto client = std::make_unique<tickertalk_client>(std::chrono::seconds(20));
    EXPECT_TRUE(client->connect("127.0.0.1", std::to_string(port_)));
    return client;
  }

 private:
  static std::vector<std::string> with_port(std::vector<std::string> args, int port) {
    args.insert(args.begin(), {"--port", std::to_string(port)});
    return args;
  }
  static std::map<std::string, std::string> with_instance(std::map<std::string, std::string> environment,
                                                          const std::string& instance) {
    environment["ORV_TICKER_INSTANCE"] = instance;
    environment["ORV_TICKER_APPDATA_DIR"] = appdata_for(instance).string();
    return environment;
  }
  static std::filesystem::path appdata_for(const std::string& instance) {
    return std::filesystem::temp_directory_path() / ("orv_appdata_" + instance);
  }

  int port_;
  std::string instance_;
};

// The reply to request, whose first field is the tag.
inline fields ask(tickertalk_client& client, const fields& request) {
  auto reply = client.send(request) ? client.receive_reply(request.front()) : std::nullopt;
  return reply.value_or(fields{"no reply to " + request[1]});
}

// A running service with one client; its output is shown when the test fails.
class service_test : public ::testing::Test {
 protected:
  static constexpr std::uint16_t log_port = 6300;

  // The log port is fixed, so a test with log listeners needs it free before the service starts.
  explicit service_test(bool with_log_listeners = false)
      : log_port_free(!with_log_listeners ||
                      eventually([] { return free_port(log_port) != 0; }, std::chrono::seconds(20))) {}
  void SetUp() override {
    ASSERT_TRUE(log_port_free) << "port " << log_port << " stays taken by another process";
    ASSERT_TRUE(service.wait_listening()) << service.standard_output() << service.standard_error();
    client = service.connect();
  }
  void TearDown() override {
    if (HasFailure()) std::cerr << service.standard_output() << service.standard_error();
  }
  fields ask(const fields& request) { return testing::ask(*client, request); }

  const bool log_port_free;
  service_process service;
  std::unique_ptr<tickertalk_client> client;
};

}  // namespace orv::testing
