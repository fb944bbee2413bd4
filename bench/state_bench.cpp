// What keeping the tickers costs. Three figures: the tickertalk mix against two release
// services started here, one keeping its state and one not, in alternating rounds; the
// longest loop turn the state keeper spends preparing writes while 10,000 groups of 100
// elements are written and then changed one at a time; and the time to put those groups
// back at start-up, from opening the file on, split into the read, the parse of the stored
// form and the rest. Prints "name value unit" lines and writes them as JSON. Reports; judges
// nothing.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/program_options.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "bench/child_process.h"
#include "bench/figures.h"
#include "bench/talk_load.h"
#include "engine/ticker_control.h"
#include "state/state_keeper.h"
#include "tools/command_line.h"
#include "tools/tickertalk_client.h"

namespace orv::bench {
namespace {

namespace fs = std::filesystem;
using boost::asio::ip::tcp;

struct options {
  int connections = 10;
  int pipeline = 32;
  int rounds = 6;
  int groups = 10'000;
  int elements = 100;
  std::string service;
  std::string json = "build/bench/state.json";
};

// A release service on a free port in its own scratch folder; with_state gives it a state folder.
struct service_under_test {
  service_under_test(const options& opt, const fs::path& scratch, const std::string& name, bool with_state)
      : port(free_loopback_port()),
        ticker("bench_state_" + name + std::to_string(::getpid())),
        process(opt.service, {"--port", std::to_string(port), "--log-level", "20"},
                environment(opt.service, scratch, name, with_state), scratch / (name + ".out"),
                scratch / (name + ".err")) {}
  static std::vector<std::string> environment(const std::string& service, const fs::path& scratch,
                                              const std::string& name, bool with_state) {
    fs::create_directories(scratch / name);
    std::vector<std::string> variables{"ORV_TICKER_INSTANCE=bench_state_" + name + std::to_string(::getpid()),
                                       "ORV_TICKER_APPDATA_DIR=" + (scratch / name).string(),
                                       registered_root(service, scratch / name), "ORV_TICKER_BUS=none"};
    if (with_state) {
      fs::create_directories(scratch / "state");
      variables.push_back("STATE_DIRECTORY=" + (scratch / "state").string());
    }
    return variables;
  }
  // The ticker and the group the mix's writes follow.
  bool set_up() {
    for (int tries = 0; tries < 300 && !accepting(port); ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tickertalk_client client(std::chrono::seconds(10));
    const std::string base = "<group name=\"base\"><element key=\"1\"><value label=\"text\">base</value></element></group>";
    return client.connect("127.0.0.1", std::to_string(port)) &&
           client.send({"b", "on_ticker", ticker, "AddGroupAfterGroup", "", base}) &&
           client.receive_reply("b").value_or(tickertalk_client::field_list{}).at(1) == "ok";
  }
  ~service_under_test() {
    for (const char* object : {"/mem", "/sections", "/sectionmutex"}) ::shm_unlink((object + ticker).c_str());
  }

  int port;
  std::string ticker;
  child_process process;
};

double commands_per_second(const options& opt, service_under_test& service) {
  std::vector<std::vector<std::vector<std::string>>> cycles;
  for (int i = 0; i < opt.connections; ++i) cycles.push_back(command_cycle(service.ticker, "base", i));
  const talk_load_result load = run_talk_load({boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(service.port)},
                                              cycles, opt.pipeline, std::chrono::milliseconds(1000));
  return load.seconds > 0 && load.error_replies == 0 ? static_cast<double>(load.answered) / load.seconds : 0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

bool measure_mix(const options& opt, const fs::path& scratch, figure_sheet& sheet) {
  service_under_test plain(opt, scratch, "plain", false), kept(opt, scratch, "kept", true);
  if (!plain.set_up() || !kept.set_up()) {
    std::printf("mix skipped: a service did not come up\n");
    return false;
  }
  std::vector<double> without, with, ratio;
  for (int round = 0; round < opt.rounds; ++round) {
    without.push_back(commands_per_second(opt, plain));
    with.push_back(commands_per_second(opt, kept));
    ratio.push_back(without.back() > 0 ? with.back() / without.back() : 0);
  }
  sheet.add("mix_commands_without_state", median(without), "commands/s");
  sheet.add("mix_commands_with_state", median(with), "commands/s");
  sheet.add("mix_with_vs_without_state", median(ratio), "x");
  return plain.process.stop(std::chrono::seconds(30)) == 0 && kept.process.stop(std::chrono::seconds(30)) == 0;
}

// A loop, a keeper on folder and its tickers, as the service has them.
struct keeper_life {
  explicit keeper_life(const fs::path& folder) : keeper(state_keeper::open(folder, io, quiet_logger())) {}
  static std::shared_ptr<vorn::logger_base> quiet_logger();
  std::shared_ptr<TickerControl> add(const std::string& name) {
    auto ticker = std::make_shared<TickerControl>(name, nullptr, nullptr, false);
    ticker->SetStateListener(keeper->ticker_added(name, ticker));
    return tickers.emplace_back(ticker);
  }
  void run_until_written() {
    for (const std::size_t before = keeper->batches_written(); keeper->batches_written() == before;)
      io.run_one_for(std::chrono::milliseconds(10));
  }

  boost::asio::io_context io;
  // The service's loop never runs out of work; without this one, it would stop between writes.
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> busy = boost::asio::make_work_guard(io);
  std::shared_ptr<state_keeper> keeper;
  std::vector<std::shared_ptr<TickerControl>> tickers;
};

// A logger that accepts nothing.
struct silent_logger : vorn::logger_base {
  bool should_log(int) const override { return false; }
  std::shared_ptr<vorn::logger_base> create_sublogger(const std::string&, int) override {
    return std::make_shared<silent_logger>();
  }
  void write_message(int, const std::string&) override {}
};
std::shared_ptr<vorn::logger_base> keeper_life::quiet_logger() { return std::make_shared<silent_logger>(); }

std::string group_of(int group, int elements) {
  std::string xml = "<group name=\"g" + std::to_string(group) + "\"><section>S</section>";
  for (int e = 0; e < elements; ++e)
    xml += "<element key=\"" + std::to_string(e) + "\"><design>line</design><value label=\"text\">item " +
           std::to_string(group) + "/" + std::to_string(e) + " of the bench's carousel</value></element>";
  return xml + "</group>";
}

void measure_keeper(const options& opt, const fs::path& scratch, figure_sheet& sheet) {
  const fs::path folder = scratch / "keeper";
  fs::create_directories(folder);
  constexpr int tickers = 1;  // one ticker holding them all: its list walks are the longest
  {
    keeper_life life(folder);
    for (int t = 0; t < tickers; ++t) life.add("t" + std::to_string(t));
    for (int g = 0; g < opt.groups; ++g)
      life.tickers[g % tickers]->AddGroupAfterGroup("", group_of(g, opt.elements));
    const auto start = std::chrono::steady_clock::now();
    life.run_until_written();
    const std::chrono::duration<double> first = std::chrono::steady_clock::now() - start;
    sheet.add("state_first_write_groups", opt.groups, "groups");
    sheet.add("state_first_write", first.count(), "s");
    sheet.add("state_worst_turn_first_write", static_cast<double>(life.keeper->worst_turn().count()), "us");
    sheet.add("state_worst_turn_cpu_first_write", static_cast<double>(life.keeper->worst_turn_cpu().count()), "us");

    life.keeper->reset_worst_turn();
    // Then the service's usual life: one element changed at a time, elements taken, writes every 200 ms.
    std::mt19937 random(7);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int change = 0; std::chrono::steady_clock::now() < until; ++change) {
      auto& ticker = *life.tickers[random() % tickers];
      ticker.PutElement("g" + std::to_string(random() % opt.groups),
                        "<element key=\"" + std::to_string(change % opt.elements) + "\"><value>changed</value></element>");
      TickerElement out;
      ticker.GetNextElement(out);
      life.io.poll();
    }
    life.run_until_written();
    sheet.add("state_worst_turn", static_cast<double>(life.keeper->worst_turn().count()), "us");
    sheet.add("state_worst_turn_cpu", static_cast<double>(life.keeper->worst_turn_cpu().count()), "us");
    life.keeper->shutdown();
  }
  // The restore as the service does it: open and read the file, then put every group back.
  const auto start = std::chrono::steady_clock::now();
  keeper_life restored(folder);
  const std::chrono::duration<double> read = std::chrono::steady_clock::now() - start;
  restored.keeper->restore([&restored](const std::string& name) { return restored.add(name); });
  const std::chrono::duration<double> restore = std::chrono::steady_clock::now() - start;
  const std::chrono::duration<double> parse = restored.keeper->restore_parse_time();
  std::size_t groups = 0;
  for (const auto& ticker : restored.tickers) groups += ticker->GetLists().carousel.size();
  sheet.add("state_restore_groups", static_cast<double>(groups), "groups");
  sheet.add("state_restore", restore.count(), "s");
  sheet.add("state_restore_read", read.count(), "s");
  sheet.add("state_restore_parse", parse.count(), "s");
  sheet.add("state_restore_other", (restore - read - parse).count(), "s");
}

int run(const options& opt) {
  char scratch_template[] = "/tmp/orv_bench_state.XXXXXX";
  const fs::path scratch = ::mkdtemp(scratch_template);
  figure_sheet sheet;
  const bool mixed = measure_mix(opt, scratch, sheet);
  measure_keeper(opt, scratch, sheet);
  sheet.print();
  const bool written = sheet.write_json(opt.json, "state");
  fs::remove_all(scratch);
  return mixed && written ? 0 : 1;
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
  namespace po = boost::program_options;
  orv::bench::options opt;
  const auto here = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  po::options_description described("orv_bench_state options");
  described.add_options()("help", "this text")(
      "connections", po::value(&opt.connections)->default_value(opt.connections), "client connections")(
      "pipeline", po::value(&opt.pipeline)->default_value(opt.pipeline), "unanswered commands per connection")(
      "rounds", po::value(&opt.rounds)->default_value(opt.rounds), "one-second rounds per service")(
      "groups", po::value(&opt.groups)->default_value(opt.groups), "groups kept")(
      "elements", po::value(&opt.elements)->default_value(opt.elements), "elements per group")(
      "service", po::value(&opt.service)->default_value((here.parent_path() / "orv_ticker").string()),
      "the orv_ticker executable to start")("json", po::value(&opt.json)->default_value(opt.json),
                                            "where the figures go as JSON");
  if (const auto exit_code = orv::read_command_line(argc, argv, described)) return *exit_code;
  ::signal(SIGPIPE, SIG_IGN);
  return orv::bench::run(opt);
}
