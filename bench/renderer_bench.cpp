// Renderer round trips against the floor under them. A release orv_ticker started here
// serves a ticker; the renderer client library asks for and decodes elements through the
// real channel. The floor is a bare ping-pong of one byte over a Unix stream socket between
// two processes: the least any request and answer between processes can cost. Both run in
// alternating blocks so that load from elsewhere on the machine hits them alike.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/program_options.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/child_process.h"
#include "bench/figures.h"
#include "bench/round_trips.h"
#include "tools/command_line.h"
#include "hosting/object_name.h"
#include "renderer/orv_renderer.h"
#include "tools/tickertalk_client.h"

namespace orv::bench {
namespace {

namespace fs = std::filesystem;
using clock = std::chrono::steady_clock;
using fields = std::vector<std::string>;

constexpr int blocks = 10;
constexpr int elements_in_group = 20;

struct options {
  std::string service = ORV_TICKER_EXE;
  int requests = 100000;
  std::string json = "build/bench/renderer.json";
};

// Standard output and error of the service, for a failure report.
std::string service_output(const fs::path& scratch) {
  std::stringstream text;
  for (const char* name : {"service.out", "service.err"}) text << std::ifstream(scratch / name).rdbuf();
  return text.str();
}

// The other end of the floor: answers each byte with the same byte until the socket ends.
class echo_process {
 public:
  echo_process() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::close(ends[0]);
      char byte;
      while (::read(ends[1], &byte, 1) == 1 && ::write(ends[1], &byte, 1) == 1) {
      }
      ::_exit(0);
    }
    ::close(ends[1]);
    fd_ = ends[0];
  }
  ~echo_process() {
    if (fd_ >= 0) ::close(fd_);  // the child's read ends and it exits
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }

  bool ready() const { return fd_ >= 0 && pid_ > 0; }

  bool round_trip() {
    char byte = 1;
    return ::write(fd_, &byte, 1) == 1 && ::read(fd_, &byte, 1) == 1;
  }

 private:
  int fd_ = -1;
  pid_t pid_ = -1;
};

// A quote as a market feed would give it: a design and three labelled values.
std::string group_xml(const std::string& name) {
  std::string xml = "<group name=\"" + name + "\"><defaultdesign>quote</defaultdesign>";
  for (int i = 0; i < elements_in_group; ++i) {
    const std::string n = std::to_string(i);
    xml += "<element key=\"k" + n + "\"><value label=\"name\" attribute=\"text\">Company " + n +
           "</value><value label=\"price\" attribute=\"text\">1" + n +
           ".25</value><value label=\"change\" attribute=\"text\">+0." + n + "</value></element>";
  }
  return xml + "</group>";
}

fields ask(tickertalk_client& client, const fields& request) {
  auto reply = client.send(request) ? client.receive_reply(request.front()) : std::nullopt;
  return reply.value_or(fields{});
}

// A request and the decoding of the element it delivered; false on any failure, or when
// the element is not one of the group's.
bool channel_round_trip(orv_renderer_channel* channel) {
  if (orv_renderer_request(channel, 5000) != ORV_RENDERER_OK) return false;
  orv_renderer_element element{};
  return orv_renderer_read_element(channel, &element) == ORV_RENDERER_OK && element.value_count >= 3;
}

void add_figures(figure_sheet& sheet, const std::string& prefix, const samples& s) {
  sheet.add(prefix + "_rate", static_cast<double>(s.micros.size()) / s.seconds, "requests/s");
  sheet.add(prefix + "_p50", s.percentile(0.5), "us");
  sheet.add(prefix + "_p99", s.percentile(0.99), "us");
  sheet.add(prefix + "_p99_9", s.percentile(0.999), "us");
  sheet.add(prefix + "_max", *std::max_element(s.micros.begin(), s.micros.end()), "us");
}

int run(const options& opt) {
  char scratch_template[] = "/tmp/orv_bench_renderer.XXXXXX";
  const char* made = ::mkdtemp(scratch_template);
  if (!made) {
    std::perror("scratch folder");
    return 2;
  }
  const scratch_folder scratch_guard{made};
  const fs::path& scratch = scratch_guard.path;
  const std::string ticker = "bench" + std::to_string(::getpid());
  const int port = free_loopback_port();
  child_process service(opt.service, {"--port", std::to_string(port)},
                        {"ORV_TICKER_INSTANCE=" + ticker, "ORV_TICKER_APPDATA_DIR=" + scratch.string(),
                         registered_root(opt.service, scratch), "ORV_TICKER_BUS=none"},
                        scratch / "service.out", scratch / "service.err");
  // Forked before any connection is made, so the echo child holds none of them.
  echo_process echo;
  if (!echo.ready()) {
    std::perror("echo process");
    return 2;
  }

  tickertalk_client talk(std::chrono::seconds(10));
  bool connected = false;
  for (auto until = clock::now() + std::chrono::seconds(30); !connected && clock::now() < until && service.running();) {
    connected = talk.connect("127.0.0.1", std::to_string(port));
    if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!connected || ask(talk, {"1", "AddTicker", ticker}) != fields{"1", "ok"} ||
      ask(talk, {"2", "on_ticker", ticker, "AddGroupAfterGroup", "", group_xml("quotes")}) != fields{"2", "ok"}) {
    std::cerr << "cannot set up a ticker on " << opt.service << ":\n" << service_output(scratch);
    return 2;
  }

  orv_renderer_channel* channel = nullptr;
  if (orv_renderer_open(ticker.data(), ticker.size(), &channel) != ORV_RENDERER_OK) {
    std::cerr << "cannot open the renderer channel\n";
    return 2;
  }
  const int per_block = std::max(1, opt.requests / blocks);
  samples warm_up, channel_samples, floor_samples;
  bool ok = run_block(per_block, warm_up, [&] { return channel_round_trip(channel); }) &&
            run_block(per_block, warm_up, [&] { return echo.round_trip(); });
  // Each kind goes first in every other block, so neither always follows the other.
  for (int block = 0; ok && block < blocks; ++block) {
    const auto channel_block = [&] { return run_block(per_block, channel_samples, [&] { return channel_round_trip(channel); }); };
    const auto floor_block = [&] { return run_block(per_block, floor_samples, [&] { return echo.round_trip(); }); };
    ok = block % 2 ? floor_block() && channel_block() : channel_block() && floor_block();
  }
  if (!ok) std::cerr << "a round trip failed: " << orv_renderer_last_error(channel) << "\n" << service_output(scratch);
  orv_renderer_close(channel);
  // Nobody unlinks a ticker's shared areas; this run's ticker is gone for good.
  for (const char* object : {"/mem", "/sections", "/sectionmutex"})
    ::shm_unlink((object + encode_object_name(ticker)).c_str());
  if (!ok) return 1;

  figure_sheet sheet;
  add_figures(sheet, "renderer_channel", channel_samples);
  add_figures(sheet, "socket_ping_pong", floor_samples);
  const double p50_ratio = channel_samples.percentile(0.5) / floor_samples.percentile(0.5);
  const double p99_ratio = channel_samples.percentile(0.99) / floor_samples.percentile(0.99);
  sheet.add("renderer_channel_vs_ping_pong_p50", p50_ratio, "x");
  sheet.add("renderer_channel_vs_ping_pong_p99", p99_ratio, "x");
  sheet.print();
  std::printf("target p50 within 1.15x: %s; target p99 within 1.5x: %s\n", p50_ratio <= 1.15 ? "met" : "missed",
              p99_ratio <= 1.5 ? "met" : "missed");
  if (!sheet.write_json(opt.json, "renderer")) {
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
  po::options_description described("orv_bench_renderer options");
  described.add_options()("help", "this text")(
      "service", po::value(&opt.service)->default_value(opt.service), "the orv_ticker executable to start")(
      "requests", po::value(&opt.requests)->default_value(opt.requests), "measured round trips of each kind")(
      "json", po::value(&opt.json)->default_value(opt.json), "where the figures go as JSON");
  if (const auto exit_code = orv::read_command_line(argc, argv, described)) return *exit_code;
  if (opt.requests < 1) {
    std::cerr << "--requests must be positive\n";
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  return orv::bench::run(opt);
}
