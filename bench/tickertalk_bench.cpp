// Tickertalk throughput and latency of a release service started here, on loopback: first
// the neutral line client against a Redis server and the service in turn, so that the rate
// can be read as a ratio to a well-known server measured by the same client on the same
// machine at the same time; then the bench's own client with a mix of reads and writes.
// Prints "name value unit" lines and writes them as JSON. Reports; judges nothing.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/program_options.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "bench/child_process.h"
#include "bench/figures.h"
#include "tools/command_line.h"
#include "bench/line_reference.h"
#include "bench/talk_load.h"
#include "runtime/plaintalk.h"

namespace orv::bench {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using asio::ip::tcp;

struct options {
  int connections = 10;
  int pipeline = 32;
  int seconds = 5;
  std::string service;
  std::string line_client;
  std::string json = "build/bench/tickertalk.json";
};

fs::path own_folder() { return fs::read_symlink("/proc/self/exe").parent_path(); }

tcp::endpoint loopback(int port) { return {asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)}; }

// Blocking round trip for set-up: the first reply line without its line end, empty on failure.
std::string ask(int port, const std::string& wire) {
  try {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(loopback(port));
    asio::write(socket, asio::buffer(wire));
    asio::streambuf reply;
    const std::size_t through_lf = asio::read_until(socket, reply, '\n');
    const auto begin = asio::buffers_begin(reply.data());
    std::string line(begin, begin + static_cast<std::ptrdiff_t>(through_lf - 1));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  } catch (const boost::system::system_error&) {
    return "";
  }
}

bool wait_until_accepting(int port, child_process& process, std::chrono::seconds limit) {
  for (auto until = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < until;) {
    if (!process.running()) return false;
    if (accepting(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string file_text(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The line client against Redis answering PING, then against the service answering
// ListTickers while it holds no ticker, so that both replies are one short line.
void measure_reference(const options& opt, int service_port, const fs::path& scratch, figure_sheet& sheet) {
  if (ask(service_port, "t ListTickers\r\n") != "t ok") {
    std::printf("reference skipped: the service already holds tickers\n");
    return;
  }
  const int redis_port = free_loopback_port();
  child_process redis("redis-server",
                      {"--port", std::to_string(redis_port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"},
                      {}, scratch / "redis.out", scratch / "redis.err");
  if (!wait_until_accepting(redis_port, redis, std::chrono::seconds(10))) {
    std::printf("reference skipped: redis-server did not come up\n%s", file_text(scratch / "redis.out").c_str());
    return;
  }
  // One-second rounds, the two servers in turn: load from elsewhere on the machine then
  // hits both alike, and the median of the rounds is the figure.
  std::vector<double> redis_rate, redis_p50, redis_p99, service_rate, service_p50, service_p99, ratio;
  for (int round = 0; round < opt.seconds; ++round) {
    const auto r = run_line_client(opt.line_client, redis_port, "PING\\r\\n", opt.connections, opt.pipeline, 1);
    const auto s = run_line_client(opt.line_client, service_port, "t ListTickers\\r\\n", opt.connections,
                                   opt.pipeline, 1);
    if (!r || !s || r->replies_per_s <= 0) {
      std::printf("reference skipped: the line client failed\n");
      return;
    }
    redis_rate.push_back(r->replies_per_s);
    redis_p50.push_back(r->batch_p50_us);
    redis_p99.push_back(r->batch_p99_us);
    service_rate.push_back(s->replies_per_s);
    service_p50.push_back(s->batch_p50_us);
    service_p99.push_back(s->batch_p99_us);
    ratio.push_back(s->replies_per_s / r->replies_per_s);
  }
  redis.stop(std::chrono::seconds(5));
  sheet.add("redis_ping_replies", median(redis_rate), "replies/s");
  sheet.add("redis_ping_batch_p50", median(redis_p50), "us");
  sheet.add("redis_ping_batch_p99", median(redis_p99), "us");
  sheet.add("service_list_tickers_replies", median(service_rate), "replies/s");
  sheet.add("service_list_tickers_batch_p50", median(service_p50), "us");
  sheet.add("service_list_tickers_batch_p99", median(service_p99), "us");
  sheet.add("service_vs_redis_replies", median(ratio), "x");
}

// The bench's own client: see command_cycle for the mix and the write it uses.
bool measure_mix(const options& opt, int port, const std::string& ticker, figure_sheet& sheet) {
  const std::string base =
      "<group name=\"base\"><section>Bench</section><element key=\"1\"><design>line</design>"
      "<log_msg>base 1</log_msg><value label=\"text\" attribute=\"text\">base item 1</value></element></group>";
  vorn::message add_base;
  add_base.start("b");
  for (const char* field : {"on_ticker", ticker.c_str(), "AddGroupAfterGroup", "", base.c_str()})
    add_base.add_field(field);
  if (ask(port, "a AddTicker " + ticker + "\r\n") != "a ok" || ask(port, add_base.text() + "\r\n") != "b ok") {
    std::printf("mix skipped: setting up ticker %s failed\n", ticker.c_str());
    return false;
  }
  std::vector<std::vector<std::vector<std::string>>> cycles;
  for (int i = 0; i < opt.connections; ++i) cycles.push_back(command_cycle(ticker, "base", i));
  const talk_load_result load =
      run_talk_load(loopback(port), cycles, opt.pipeline, std::chrono::milliseconds(opt.seconds * 1000));

  sheet.add("mix_connections", opt.connections, "connections");
  sheet.add("mix_pipeline_depth", opt.pipeline, "commands");
  sheet.add("mix_commands", load.seconds > 0 ? static_cast<double>(load.answered) / load.seconds : 0, "commands/s");
  const auto& l = load.latencies_us;
  sheet.add("mix_latency_p50", percentile(l, 0.50), "us");
  sheet.add("mix_latency_p99", percentile(l, 0.99), "us");
  sheet.add("mix_latency_p99_9", percentile(l, 0.999), "us");
  sheet.add("mix_latency_max", l.empty() ? 0 : l.back(), "us");
  sheet.add("mix_error_replies", static_cast<double>(load.error_replies), "replies");
  sheet.add("mix_replies_out_of_order", static_cast<double>(load.out_of_order), "replies");
  sheet.add("mix_unanswered", static_cast<double>(load.unanswered), "commands");
  sheet.add("mix_connections_lost", load.connections_lost, "connections");

  // Every cycle ends with its delete, so the base group should be all that is left.
  const std::string groups = ask(port, "g on_ticker " + ticker + " GetGroups\r\n");
  std::printf("groups left after the mix: %s\n", groups.c_str());
  ask(port, "d DeleteTicker " + ticker + "\r\n");
  return true;
}

int run(const options& opt) {
  std::printf(
      "mix: ListTickers, on_ticker GetGroups, on_ticker AddGroupAfterGroup (one-element group), "
      "on_ticker DeleteGroupWhenInactive (that group); the add stands in for storing one element, "
      "which tickertalk has no command for, and the delete keeps the ticker's size bounded\n");
  char scratch_template[] = "/tmp/orv_bench_tickertalk.XXXXXX";
  const fs::path scratch = ::mkdtemp(scratch_template);
  const std::string instance = "bench" + std::to_string(::getpid());
  const int port = free_loopback_port();
  child_process service(opt.service, {"--port", std::to_string(port), "--log-level", "20"},
                        {"ORV_TICKER_INSTANCE=" + instance, "ORV_TICKER_APPDATA_DIR=" + scratch.string(),
                         registered_root(opt.service, scratch), "ORV_TICKER_BUS=none"},
                        scratch / "service.out", scratch / "service.err");
  if (!wait_until_accepting(port, service, std::chrono::seconds(30))) {
    std::cerr << "the service did not come up:\n" << file_text(scratch / "service.err");
    return 2;
  }

  figure_sheet sheet;
  if (!opt.line_client.empty() && fs::exists(opt.line_client))
    measure_reference(opt, port, scratch, sheet);
  else
    std::printf("reference skipped: linebench not found\n");

  const std::string ticker = instance;
  const bool mixed = measure_mix(opt, port, ticker, sheet);
  const auto exit_code = service.stop(std::chrono::seconds(30));
  // Nobody unlinks a ticker's shared areas; this run's ticker is gone for good.
  for (const char* object : {"/mem", "/sections", "/sectionmutex"}) ::shm_unlink((object + ticker).c_str());

  sheet.print();
  if (!sheet.write_json(opt.json, "tickertalk")) {
    std::fprintf(stderr, "cannot write %s\n", opt.json.c_str());
    return 1;
  }
  if (exit_code != 0) std::fprintf(stderr, "the service did not stop cleanly; its output is in %s\n", scratch.c_str());
  else fs::remove_all(scratch);
  return mixed && exit_code == 0 ? 0 : 1;
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
  namespace po = boost::program_options;
  orv::bench::options opt;
  const auto here = orv::bench::own_folder();
  po::options_description described("orv_bench_tickertalk options");
  described.add_options()("help", "this text")(
      "connections", po::value(&opt.connections)->default_value(opt.connections), "client connections")(
      "pipeline", po::value(&opt.pipeline)->default_value(opt.pipeline), "unanswered commands per connection")(
      "seconds", po::value(&opt.seconds)->default_value(opt.seconds), "length of each measurement")(
      "service", po::value(&opt.service)->default_value((here.parent_path() / "orv_ticker").string()),
      "the orv_ticker executable to start")(
      "linebench", po::value(&opt.line_client)->default_value((here.parent_path() / "linebench").string()),
      "the line client for the reference measurement; skipped when absent")(
      "json", po::value(&opt.json)->default_value(opt.json), "where the figures go as JSON");
  if (const auto exit_code = orv::read_command_line(argc, argv, described)) return *exit_code;
  if (opt.connections < 1 || opt.pipeline < 1 || opt.seconds < 1) {
    std::cerr << "connections, pipeline and seconds must be at least 1\n";
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  return orv::bench::run(opt);
}
