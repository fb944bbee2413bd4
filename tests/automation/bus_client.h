#pragma once

// A private message bus for one test, and a blocking client of the service's automation objects.

#include <systemd/sd-bus.h>

#include <memory>
#include <string>
#include <utility>

#include "tests/support/child_process.h"

namespace orv::testing {

// dbus-daemon with the session policy on a socket of its own; stopped with the object.
class private_bus {
 public:
  private_bus()
      : folder_(make_folder()),
        daemon_("/usr/bin/dbus-daemon",
                {"--session", "--nofork", "--nopidfile", "--address=unix:path=" + (folder_ / "bus").string()}) {}
  ~private_bus() {
    daemon_.kill_now();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  std::string address() const { return "unix:path=" + (folder_ / "bus").string(); }
  bool wait_ready() {
    return eventually([&] { return std::filesystem::exists(folder_ / "bus"); }) && daemon_.running();
  }

 private:
  static std::filesystem::path make_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orv_bus_XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
  }
  std::filesystem::path folder_;
  child_process daemon_;
};

// The outcome of one call: the reply, or the error's name and message.
struct bus_reply {
  std::shared_ptr<sd_bus_message> message;
  std::string error;
  std::string error_message;

  bool ok() const { return error.empty(); }
  std::int32_t number() const { return read<std::int32_t>('i'); }
  std::string text() const {
    const char* s = read<const char*>('s');
    return s ? s : "";
  }
  std::string path() const {
    const char* s = read<const char*>('o');
    return s ? s : "";
  }

 private:
  template <class T>
  T read(char type) const {
    T value{};
    if (message) sd_bus_message_read_basic(message.get(), type, &value);
    return value;
  }
};

class bus_client {
 public:
  static constexpr const char* service = "OrvTicker.OrvTickers";
  static constexpr const char* registry_path = "/OrvTicker/OrvTickers";
  static constexpr const char* registry = "OrvTicker.IOrvTickers";

  explicit bus_client(const std::string& address) {
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    started_ = sd_bus_start(bus_) >= 0;
  }
  ~bus_client() { sd_bus_flush_close_unref(bus_); }
  bus_client(const bus_client&) = delete;
  bus_client& operator=(const bus_client&) = delete;

  bool started() const { return started_; }
  sd_bus* get() { return bus_; }

  // Arguments as sd_bus_message_append takes them after the signature.
  template <class... Args>
  bus_reply call(const std::string& path, const char* interface, const char* member, const char* signature = "",
                 Args... args) {
    sd_bus_message* m = nullptr;
    sd_bus_message_new_method_call(bus_, &m, service, path.c_str(), interface, member);
    if (*signature) sd_bus_message_append(m, signature, args...);
    return send(m);
  }
  // Sends a call built elsewhere and takes its reference.
  bus_reply send(sd_bus_message* m) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    bus_reply result;
    if (sd_bus_call(bus_, m, 10'000'000, &error, &reply) < 0) {
      result.error = error.name ? error.name : "call failed";
      result.error_message = error.message ? error.message : "";
    } else {
      result.message.reset(reply, sd_bus_message_unref);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(m);
    return result;
  }

 private:
  sd_bus* bus_ = nullptr;
  bool started_ = false;
};

}  // namespace orv::testing
