// Automation round trips against the floor under them on the same bus. A private
// dbus-daemon and a release orv_ticker are started here; one client calls ListTickers on the
// registry object and, as the floor, org.freedesktop.DBus.Peer.Ping on the same service,
// which the bus library answers without reaching the objects. Both go through the same bus
// daemon, in alternating blocks, so that load from elsewhere hits them alike.
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <boost/program_options.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/child_process.h"
#include "bench/figures.h"
#include "bench/round_trips.h"
#include "tools/command_line.h"

namespace orv::bench {
namespace {

namespace fs = std::filesystem;
using clock = std::chrono::steady_clock;

constexpr int blocks = 10;
constexpr const char* service_name = "OrvTicker.OrvTickers";
constexpr const char* registry_path = "/OrvTicker/OrvTickers";

struct options {
  std::string service = ORV_TICKER_EXE;
  int calls = 20000;
  std::string json = "build/bench/automation.json";
};

void add_figures(figure_sheet& sheet, const std::string& prefix, const samples& s) {
  sheet.add(prefix + "_rate", static_cast<double>(s.micros.size()) / s.seconds, "calls/s");
  sheet.add(prefix + "_p50", s.percentile(0.5), "us");
  sheet.add(prefix + "_p99", s.percentile(0.99), "us");
  sheet.add(prefix + "_max", *std::max_element(s.micros.begin(), s.micros.end()), "us");
}

bool call(sd_bus* bus, const char* path, const char* interface, const char* member) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const bool ok = sd_bus_call_method(bus, service_name, path, interface, member, &error, &reply, "") >= 0;
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return ok;
}

bool list_tickers(sd_bus* bus) { return call(bus, registry_path, "OrvTicker.IOrvTickers", "ListTickers"); }
bool ping(sd_bus* bus) { return call(bus, registry_path, "org.freedesktop.DBus.Peer", "Ping"); }

std::string outputs_of(const fs::path& scratch) {
  std::stringstream text;
  for (const char* name : {"service.out", "service.err", "bus.err"}) text << std::ifstream(scratch / name).rdbuf();
  return text.str();
}

// Waits for what another process does, up to 30 s.
template <class Done>
bool eventually(Done done) {
  for (auto until = clock::now() + std::chrono::seconds(30); !done();
       std::this_thread::sleep_for(std::chrono::milliseconds(50)))
    if (clock::now() > until) return false;
  return true;
}

int run(const options& opt) {
  char scratch_template[] = "/tmp/orv_bench_automation.XXXXXX";
  const char* made = ::mkdtemp(scratch_template);
  if (!made) {
    std::perror("scratch folder");
    return 2;
  }
  const scratch_folder scratch{made};
  const std::string address = "unix:path=" + (scratch.path / "bus").string();
  child_process daemon("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--address=" + address}, {},
                       scratch.path / "bus.out", scratch.path / "bus.err");
  if (!eventually([&] { return fs::exists(scratch.path / "bus") || !daemon.running(); }) || !daemon.running()) {
    std::cerr << "dbus-daemon did not start:\n" << outputs_of(scratch.path);
    return 2;
  }
  const std::string instance = "benchauto" + std::to_string(::getpid());
  child_process service(opt.service, {"--port", std::to_string(free_loopback_port()), "--log-level", "20"},
                        {"ORV_TICKER_INSTANCE=" + instance, "ORV_TICKER_APPDATA_DIR=" + scratch.path.string(), registered_root(opt.service, scratch.path),
                         "ORV_TICKER_BUS=" + address},
                        scratch.path / "service.out", scratch.path / "service.err");

  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_start(bus) < 0 || !eventually([&] { return list_tickers(bus) || !service.running(); }) ||
      !service.running()) {
    std::cerr << "the service's automation objects do not answer:\n" << outputs_of(scratch.path);
    sd_bus_flush_close_unref(bus);
    return 2;
  }

  const int per_block = std::max(1, opt.calls / blocks);
  samples warm_up, list_samples, ping_samples;
  const auto lists = [&](samples& out) { return run_block(per_block, out, [&] { return list_tickers(bus); }); };
  const auto pings = [&](samples& out) { return run_block(per_block, out, [&] { return ping(bus); }); };
  bool ok = lists(warm_up) && pings(warm_up);
  // Each kind goes first in every other block, so neither always follows the other.
  for (int block = 0; ok && block < blocks; ++block) {
    ok = block % 2 ? pings(ping_samples) && lists(list_samples) : lists(list_samples) && pings(ping_samples);
  }
  sd_bus_flush_close_unref(bus);
  if (!ok) {
    std::cerr << "a call failed:\n" << outputs_of(scratch.path);
    return 1;
  }

  figure_sheet sheet;
  add_figures(sheet, "automation_list_tickers", list_samples);
  add_figures(sheet, "bus_peer_ping", ping_samples);
  const double p50_ratio = list_samples.percentile(0.5) / ping_samples.percentile(0.5);
  sheet.add("automation_list_tickers_vs_ping_p50", p50_ratio, "x");
  sheet.add("automation_list_tickers_vs_ping_p99", list_samples.percentile(0.99) / ping_samples.percentile(0.99), "x");
  sheet.print();
  std::printf("target p50 within 1.5x: %s\n", p50_ratio <= 1.5 ? "met" : "missed");
  if (!sheet.write_json(opt.json, "automation")) {
    std::fprintf(stderr, "cannot write %s\n", opt.json.c_str());
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
  namespace po = boost::program_options;
  orv::bench::options opt;
  po::options_description described("orv_bench_automation options");
  described.add_options()("help", "this text")("service", po::value(&opt.service)->default_value(opt.service),
                                               "the orv_ticker executable to start")(
      "calls", po::value(&opt.calls)->default_value(opt.calls), "measured round trips of each kind")(
      "json", po::value(&opt.json)->default_value(opt.json), "where the figures go as JSON");
  if (const auto exit_code = orv::read_command_line(argc, argv, described)) return *exit_code;
  if (opt.calls < 1) {
    std::cerr << "--calls must be positive\n";
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  return orv::bench::run(opt);
}
