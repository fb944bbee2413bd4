#include "stress/stress_automation.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>

namespace orv::stress {

namespace {

constexpr const char* service = "OrvTicker.OrvTickers";
constexpr const char* registry_path = "/OrvTicker/OrvTickers";
constexpr const char* registry = "OrvTicker.IOrvTickers";
constexpr int in_flight = 32;

struct flood_state {
  int outstanding = 0;
  std::atomic<std::int64_t>* answered;
  std::atomic<std::int64_t>* failed;
};

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& state = *static_cast<flood_state*>(userdata);
  --state.outstanding;
  ++*(sd_bus_message_is_method_error(reply, nullptr) ? state.failed : state.answered);
  return 0;
}

}  // namespace

private_bus::private_bus(const std::filesystem::path& folder)
    : socket_(folder / "bus"), address_("unix:path=" + socket_.string()) {
  const std::string address_option = "--address=" + address_;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", address_option.c_str(), nullptr);
    ::_exit(127);
  }
  for (int i = 0; i < 300 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

private_bus::~private_bus() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool private_bus::ready() const { return pid_ > 0 && std::filesystem::exists(socket_); }

automation_flood::automation_flood(const std::string& bus_address, const std::string& ticker)
    : thread_([this, bus_address, ticker] { run(bus_address, ticker); }) {}

automation_flood::~automation_flood() {
  stop_ = true;
  thread_.join();
}

void automation_flood::run(const std::string& bus_address, const std::string& ticker) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, bus_address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_start(bus) < 0) {
    trouble_ = "cannot connect to the bus";
    sd_bus_unref(bus);
    return;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const char* path = nullptr;
  if (sd_bus_call_method(bus, service, registry_path, registry, "GetTicker", &error, &reply, "s", ticker.c_str()) < 0 ||
      sd_bus_message_read(reply, "o", &path) < 0 || std::string(path) == "/") {
    trouble_ = std::string("GetTicker failed: ") + (error.message ? error.message : "no such ticker");
  } else {
    const std::string object = path;
    flood_state state{0, &answered_, &failed_};
    for (std::uint64_t n = 0; !stop_;) {
      for (; state.outstanding < in_flight; ++n, ++state.outstanding) {
        const int r =
            n % 4 == 0 ? sd_bus_call_method_async(bus, nullptr, service, registry_path, registry, "ListTickers",
                                                  on_reply, &state, "")
            : n % 4 == 1 ? sd_bus_call_method_async(bus, nullptr, service, object.c_str(),
                                                    "OrvTicker.IOrvTickerControl", "ListGroups", on_reply, &state, "")
            : n % 4 == 2 ? sd_bus_call_method_async(bus, nullptr, service, object.c_str(),
                                                    "OrvTicker.IOrvTickerControl2", "GetGroupNames", on_reply, &state,
                                                    "")
                         : sd_bus_call_method_async(bus, nullptr, service, object.c_str(),
                                                    "OrvTicker.IOrvTickerControl3", "AddPriorityGroup", on_reply,
                                                    &state, "s", "sports");
        if (r < 0) {
          trouble_ = "cannot send a call";
          stop_ = true;
          break;
        }
      }
      int r;
      while ((r = sd_bus_process(bus, nullptr)) > 0) {
      }
      if (r < 0) {
        trouble_ = "the bus connection failed";
        break;
      }
      sd_bus_wait(bus, 100'000);
    }
    sd_bus_call_method(bus, service, object.c_str(), "OrvTicker.IUnknown", "Release", nullptr, nullptr, "");
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
}

}  // namespace orv::stress
