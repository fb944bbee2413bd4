// Load and fault run. Starts a service, then puts it under load from many tickertalk
// clients and a renderer pulling as fast as it can, while clients send garbage, oversize
// fields or vanish mid-message, a log listener never reads, feed hubs go silent, flap,
// never end their document or send 1 MiB ones, and a renderer dies holding the title
// lock. Afterwards the service must still answer, have answered every well-formed command,
// be back within 10% of its resident memory and stop without a leak report. Prints "name
// value unit" lines and the verdict of each check; exits 0 when all held. Loopback only,
// bounded in time.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/program_options.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <list>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "renderer/orv_renderer.h"
#include "stress/on_air_priority.h"
#include "stress/stress_access.h"
#include "stress/stress_automation.h"
#include "stress/stress_clients.h"
#include "tools/command_line.h"
#include "stress/stress_hubs.h"
#include "stress/stress_limits.h"
#include "stress/stress_web.h"

namespace orv::stress {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;

struct options {
  std::string service;
  std::string web;  // orv_ticker_web; empty: the one next to the service
  int connections = 1000;
  int commands = 20;
  int depth = 4;
  int load_seconds = 60;  // the load phase ends here even if clients are not done
  int rounds = 3;
  // A sanitizer's allocator keeps freed memory and its shadow, so resident memory says
  // nothing there: it is reported, not judged.
  bool sanitizer_build = false;
  bool without_automation = false;  // to compare the renderer's waits with and without the bus client
};

// An unregistered service will not start: it is registered for console use in the scratch
// folder first, and started against that registry.
bool register_for_console(const std::string& program, const fs::path& scratch) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("ORV_TICKER_REGISTRY_ROOT", scratch.c_str(), 1);
    ::execl(program.c_str(), program.c_str(), "--RegServer", "--elevated", nullptr);
    ::_exit(127);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The service under test, with its console output kept in a scratch folder.
class service_process {
 public:
  service_process(const std::string& program, int port, const fs::path& scratch, const std::string& bus_address)
      : scratch_(scratch) {
    const std::string port_text = std::to_string(port);
    const std::string instance = "stress" + std::to_string(::getpid());
    if (!register_for_console(program, scratch)) std::fprintf(stderr, "registering %s failed\n", program.c_str());
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a runner that dies takes its service along
      ::setenv("ORV_TICKER_INSTANCE", instance.c_str(), 1);
      ::setenv("ORV_TICKER_APPDATA_DIR", scratch.c_str(), 1);
      ::setenv("ORV_TICKER_BUS", bus_address.c_str(), 1);
      ::setenv("ORV_TICKER_REGISTRY_ROOT", scratch.c_str(), 1);
      take_on_air_priority();
      redirect((scratch / "service.out").c_str(), 1);
      redirect((scratch / "service.err").c_str(), 2);
      // Level 40 for the loop's records of its longest turns; little else is logged there.
      ::execl(program.c_str(), program.c_str(), "--port", port_text.c_str(), "--log-level", "40", nullptr);
      ::_exit(127);
    }
  }
  ~service_process() {
    if (!exit_code_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }

  bool running() {
    if (exit_code_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }

  // Processor time and time spent runnable but waiting for a processor, in ms, from
  // /proc/PID/schedstat; zeros when it cannot be read.
  std::pair<double, double> scheduled_ms() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/schedstat");
    double running = 0, waiting = 0;
    stat >> running >> waiting;
    return {running / 1e6, waiting / 1e6};
  }

  // Resident memory in KiB, 0 when it cannot be read.
  long resident_kib() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
  }

  // SIGTERM, then the exit code; -1 when it did not end within the limit.
  int stop(std::chrono::seconds limit) {
    ::kill(pid_, SIGTERM);
    for (auto until = clock::now() + limit; clock::now() < until;) {
      if (!running()) return *exit_code_;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

  std::string error_output() const { return read(scratch_ / "service.err"); }
  std::string console_output() const { return read(scratch_ / "service.out"); }

 private:
  static std::string read(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static void redirect(const char* path, int fd) {
    const int file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(file, fd);
    ::close(file);
  }

  fs::path scratch_;
  pid_t pid_;
  std::optional<int> exit_code_;
};

// Pulls elements as fast as the service hands them out, until told to stop.
struct renderer_run {
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> served_atomic{0};
  std::atomic<double> worst_ms_atomic{0};
  std::int64_t served = 0;
  std::int64_t timeouts = 0;
  std::int64_t failures = 0;
  std::vector<double> latencies_ms;
  std::size_t titles_at_end = 0;
  std::string trouble;
};

void pull_elements(const std::string& ticker, renderer_run& run) {
  take_on_air_priority();
  orv_renderer_channel* channel = nullptr;
  if (orv_renderer_open(ticker.data(), ticker.size(), &channel) != ORV_RENDERER_OK) {
    run.trouble = "cannot open the renderer channel";
    return;
  }
  while (!run.stop) {
    const auto start = clock::now();
    const int status = orv_renderer_request(channel, 5000);
    const auto waited = std::chrono::duration<double, std::milli>(clock::now() - start).count();
    if (status == ORV_RENDERER_OK) {
      ++run.served;
      run.served_atomic = run.served;
      if (waited > run.worst_ms_atomic) run.worst_ms_atomic = waited;
      run.latencies_ms.push_back(waited);
    } else if (status == ORV_RENDERER_TIMED_OUT) {
      ++run.timeouts;
    } else {
      ++run.failures;
      run.trouble = orv_renderer_status_text(status);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // The titles must come through again once the lock its holder died with is gone.
  for (int i = 0; i < 40; ++i) orv_renderer_request(channel, 5000);
  orv_renderer_titles titles{};
  if (orv_renderer_read_titles(channel, &titles) == ORV_RENDERER_OK) run.titles_at_end = titles.count;
  orv_renderer_close(channel);
}

// A renderer that takes the title lock and is then killed while holding it. Forked before
// any thread starts; returns its pid once it holds the lock.
pid_t hold_title_lock(const std::string& ticker) {
  const std::string object = "/sectionmutex" + ticker;
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd >= 0 && ::flock(fd, LOCK_EX) == 0) (void)!::write(ready[1], "L", 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char locked = 0;
  (void)!::read(ready[0], &locked, 1);
  ::close(ready[0]);
  return locked == 'L' ? pid : -1;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  return values[at];
}

int free_port() {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return probe.local_endpoint().port();
}

bool accepting(const tcp::endpoint& at) {
  asio::io_context io;
  tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect(at, ec);
  return !ec;
}

std::string group(const std::string& name, const std::string& section, int elements, const std::string& extra = "") {
  std::string xml = "<group name=\"" + name + "\"><section>" + section + "</section>" + extra;
  for (int i = 0; i < elements; ++i) {
    const std::string key = std::to_string(1000 + i);
    xml += "<element key=\"" + key + "\"><design>line</design><log_msg>" + name + " " + key +
           "</log_msg><value label=\"text\" attribute=\"text\">" + name + " item " + key + "</value></element>";
  }
  return xml + "</group>";
}

// A mebibyte of group document that is read whole but leaves a group of 200 elements: long
// enough to be read over many loop turns, cheap to delete again.
std::string long_group(const std::string& name) {
  std::string xml = group(name, "", 200);
  xml.erase(xml.size() - std::string_view("</group>").size());
  while (xml.size() < (std::size_t{1} << 20))
    xml += "<note>Background to the headlines above, kept with the group but never shown on air.</note>\n";
  return xml + "</group>";
}

// Clients that each add a long group document and delete its group again, twice, and one
// that lists the ticker's content, which takes several turns while the long groups are there.
// The commands must outlive the clients.
void start_document_clients(asio::io_context& io, const tcp::endpoint& service_at, const std::string& ticker,
                            std::list<std::vector<std::vector<std::string>>>& commands, talk_totals& totals) {
  for (int i = 0; i < 2; ++i) {
    const std::string name = "long" + std::to_string(i);
    commands.push_back({{"on_ticker", ticker, "AddGroupAfterGroup", "", long_group(name)},
                        {"on_ticker", ticker, "DeleteGroupWhenInactive", name}});
    start_talk_client(io, service_at, commands.back(), 4, 1, totals);
  }
  commands.push_back({{"on_ticker", ticker, "GetGroupsWithContent"}});
  start_talk_client(io, service_at, commands.back(), 8, 1, totals);
}

// What the service's loop logged of its own longest turns, up to some point of its output:
// the last record of each kind there is the longest so far.
struct loop_records {
  double turn_ms = -1;
  std::string turn_kind = "none logged";
  double unwatched_ms = -1;       // wall clock, with whatever the scheduler took
  double unwatched_work_ms = -1;  // the service's own processor time
  std::string work_kind = "none logged";  // the longest handler of that stretch

  static loop_records in(const std::string& output) {
    loop_records found;
    std::istringstream lines(output);
    const std::string turn = "Longest loop turn so far: ";
    const std::string unwatched = "Longest stretch without a look at the renderers so far: ";
    const std::string work = "Longest processor time without a look at the renderers so far: ";
    const auto value = [](const std::string& line, const std::string& label, double& into) {
      const auto at = line.find(label);
      if (at != std::string::npos) into = std::atof(line.c_str() + at + label.size());
      return at != std::string::npos;
    };
    for (std::string line; std::getline(lines, line);) {
      if (value(line, turn, found.turn_ms)) {
        const auto kind = line.find(" ms, ");
        found.turn_kind = kind == std::string::npos ? "" : line.substr(kind + 5);
      }
      value(line, unwatched, found.unwatched_ms);
      if (value(line, work, found.unwatched_work_ms)) {
        const auto kind = line.find(" ms, longest handler: ");
        found.work_kind = kind == std::string::npos ? "" : line.substr(kind + 22);
      }
    }
    return found;
  }
};

class report {
 public:
  void figure(const std::string& name, double value, const std::string& unit) {
    std::printf("%s %.6g %s\n", name.c_str(), value, unit.c_str());
  }
  void check(const std::string& what, bool held) {
    std::printf("check %s: %s\n", what.c_str(), held ? "held" : "FAILED");
    all_held_ = all_held_ && held;
  }
  bool all_held() const { return all_held_; }

 private:
  bool all_held_ = true;
};

// One round: the renderer pulls, the well-behaved clients send their commands, and the
// faults play out meanwhile. Bounded by the load limit plus the faults' own time.
struct cycle_result {
  talk_totals talk;
  talk_totals documents;  // long group documents sent during the load
  std::list<std::vector<std::vector<std::string>>> document_commands;
  fault_totals faults;
  listener_totals listeners;
  double load_seconds = 0;
  std::int64_t served_during_load = 0;
  double worst_during_load = 0;
  std::vector<double> renderer_latencies;
  std::int64_t renderer_timeouts = 0;
  std::int64_t renderer_failures = 0;
  std::size_t titles_at_end = 0;
  std::int64_t automation_answered = 0;
  std::int64_t automation_failed = 0;
  std::string automation_trouble;
  loop_records loop;  // as the service saw its loop, up to the end of this round's load
  double ran_ms = 0, waited_for_processor_ms = 0;  // the service during the load

  bool held(const options& opt) const {
    return talk.lost == 0 && talk.answered == talk.sent && talk.out_of_order == 0 && talk.error_replies == 0 &&
           talk.sent == std::int64_t{opt.connections} * opt.commands && renderer_ok() && documents.lost == 0 &&
           documents.answered == documents.sent && documents.out_of_order == 0 && documents.error_replies == 0;
  }
  bool automation_ok() const {
    return automation_answered > 0 && automation_failed == 0 && automation_trouble.empty();
  }
  bool renderer_ok() const { return served_during_load > 0 && renderer_failures == 0 && titles_at_end > 0; }

  void print(report& out, const options& opt, bool with_listeners) const {
    out.figure("tickertalk_connections", opt.connections, "connections");
    out.figure("commands_sent", static_cast<double>(talk.sent), "commands");
    out.figure("commands_answered", static_cast<double>(talk.answered), "commands");
    out.figure("command_error_replies", static_cast<double>(talk.error_replies), "commands");
    out.figure("command_replies_out_of_order", static_cast<double>(talk.out_of_order), "commands");
    out.figure("connections_lost", static_cast<double>(talk.lost), "connections");
    out.figure("load_duration", load_seconds, "s");
    out.figure("commands_per_second", static_cast<double>(talk.answered) / load_seconds, "commands/s");
    out.figure("command_latency_p50", percentile(talk.latencies_ms, 0.5), "ms");
    out.figure("command_latency_p99", percentile(talk.latencies_ms, 0.99), "ms");
    out.figure("long_document_commands_answered", static_cast<double>(documents.answered), "commands");
    out.figure("long_document_command_latency_max", percentile(documents.latencies_ms, 1), "ms");
    out.figure("renderer_requests_served_during_load", static_cast<double>(served_during_load), "requests");
    out.figure("renderer_worst_latency_during_load", worst_during_load, "ms");
    out.figure("renderer_latency_p99", percentile(renderer_latencies, 0.99), "ms");
    out.figure("service_longest_loop_turn", loop.turn_ms, "ms");
    std::printf("service_longest_loop_turn ran: %s\n", loop.turn_kind.c_str());
    out.figure("service_longest_stretch_without_renderer_look", loop.unwatched_ms, "ms");
    out.figure("service_longest_processor_time_without_renderer_look", loop.unwatched_work_ms, "ms");
    std::printf("service_longest_processor_time_without_renderer_look longest handler: %s\n", loop.work_kind.c_str());
    // Time the service was ready to run but the system ran something else: what a renderer
    // may wait for beyond anything the service does.
    out.figure("service_processor_time_during_load", ran_ms, "ms");
    out.figure("service_waiting_for_a_processor_during_load", waited_for_processor_ms, "ms");
    out.figure("renderer_timeouts", static_cast<double>(renderer_timeouts), "requests");
    out.figure("renderer_failures", static_cast<double>(renderer_failures), "requests");
    out.figure("renderer_titles_after_lock_holder_died", static_cast<double>(titles_at_end), "titles");
    out.figure("automation_calls_answered_during_load", static_cast<double>(automation_answered), "calls");
    out.figure("automation_calls_failed", static_cast<double>(automation_failed), "calls");
    if (!automation_trouble.empty()) std::printf("automation client: %s\n", automation_trouble.c_str());
    out.figure("fault_clients", faults.started, "connections");
    out.figure("fault_clients_closed_by_service", faults.closed_by_service, "connections");
    if (!with_listeners) return;
    out.figure("log_lines_read", static_cast<double>(listeners.lines_read), "lines");
    out.figure("silent_log_listener_dropped", listeners.silent_dropped, "bool");
  }
};

// result must outlive io: handlers of slow faults may still run after the round.
void run_cycle(asio::io_context& io, const options& opt, const std::string& ticker, const tcp::endpoint& service_at,
               const tcp::endpoint* events, const std::string& bus_address, const service_process& service,
               web_load& web, cycle_result& result) {
  const pid_t lock_holder = hold_title_lock(ticker);
  renderer_run renderer;
  std::thread renderer_thread(pull_elements, ticker, std::ref(renderer));
  web.begin_cycle(io, ticker, 200);

  std::function<void()> stop_listeners = [] {};
  if (events) stop_listeners = start_log_listeners(io, *events, result.listeners);
  for (std::uint32_t i = 0; i < 10; ++i) start_fault_client(io, service_at, ticker, fault_kind::garbage, i, result.faults);
  for (std::uint32_t i = 0; i < 5; ++i)
    start_fault_client(io, service_at, ticker, fault_kind::oversize_field, i, result.faults);
  for (std::uint32_t i = 0; i < 20; ++i) start_fault_client(io, service_at, ticker, fault_kind::vanish, i, result.faults);
  for (std::uint32_t i = 0; i < 3; ++i)
    start_fault_client(io, service_at, ticker, fault_kind::never_reads, i, result.faults);

  const std::vector<std::vector<std::string>> mix = {
      {"ListTickers"},
      {"on_ticker", ticker, "GetGroups"},
      {"on_ticker", ticker, "AddPriorityGroup", "sports"},
      {"on_ticker", ticker, "SetNextGroup", "news"},
  };
  talk_totals& talk = result.talk;
  for (int i = 0; i < opt.connections; ++i) start_talk_client(io, service_at, mix, opt.commands, opt.depth, talk);
  start_document_clients(io, service_at, ticker, result.document_commands, result.documents);

  asio::steady_timer kill_holder(io);
  kill_holder.expires_after(std::chrono::seconds(2));
  kill_holder.async_wait([lock_holder](const boost::system::error_code&) {
    if (lock_holder > 0) ::kill(lock_holder, SIGKILL);
  });

  const auto load_start = clock::now();
  const auto scheduled_before = service.scheduled_ms();
  {
    // One client floods the automation objects for as long as the tickertalk load lasts.
    std::optional<automation_flood> automation;
    if (!opt.without_automation) automation.emplace(bus_address, ticker);
    while (talk.finished + talk.lost < opt.connections &&
           clock::now() < load_start + std::chrono::seconds(opt.load_seconds))
      io.run_for(std::chrono::milliseconds(100));
    if (automation) {
      result.automation_answered = automation->answered();
      result.automation_failed = automation->failed();
      result.automation_trouble = automation->trouble();
    }
  }
  result.load_seconds = std::chrono::duration<double>(clock::now() - load_start).count();
  // Read while the renderer thread runs: a count may be off by one, a figure only.
  result.served_during_load = renderer.served_atomic;
  result.worst_during_load = renderer.worst_ms_atomic;
  web.load_ended(renderer.worst_ms_atomic);
  result.loop = loop_records::in(service.console_output());
  const auto scheduled_after = service.scheduled_ms();
  result.ran_ms = scheduled_after.first - scheduled_before.first;
  result.waited_for_processor_ms = scheduled_after.second - scheduled_before.second;
  // The slow faults (never-reading clients and listener) take their time to play out.
  while (clock::now() < load_start + std::chrono::seconds(15)) io.run_for(std::chrono::milliseconds(100));

  web.end_cycle(io);
  renderer.stop = true;
  renderer_thread.join();
  if (lock_holder > 0) ::waitpid(lock_holder, nullptr, 0);
  kill_holder.cancel();
  stop_listeners();
  result.renderer_latencies = std::move(renderer.latencies_ms);
  result.renderer_timeouts = renderer.timeouts;
  result.renderer_failures = renderer.failures;
  result.titles_at_end = renderer.titles_at_end;
}

int run(const options& opt) {
  report out;
  char scratch_template[] = "/tmp/orv_stress.XXXXXX";
  const fs::path scratch = ::mkdtemp(scratch_template);
  const std::string ticker = "stress" + std::to_string(::getpid());
  const std::string feeds_ticker = ticker + "feeds";
  const tcp::endpoint events(asio::ip::address_v4::loopback(), 6300);
  const bool event_port_taken = accepting(events);  // by another service; not ours to test

  const int port = free_port();
  const tcp::endpoint service_at(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port));
  private_bus bus(scratch);
  if (!bus.ready()) {
    std::cerr << "dbus-daemon did not start\n";
    return 2;
  }
  service_process service(opt.service, port, scratch, bus.address());
  for (auto until = clock::now() + std::chrono::seconds(30); clock::now() < until && service.running();) {
    if (!talk_once(service_at, {"ListTickers"}).empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const int service_nice = ::getpriority(PRIO_PROCESS, service.pid());
  if (service_nice != on_air_nice)
    std::printf("note: the service runs at nice %d, not %d: the waits include the load's turns\n", service_nice,
                on_air_nice);
  if (!service.running() || talk_once(service_at, {"ListTickers"}).empty()) {
    std::cerr << "the service did not come up:\n" << service.error_output();
    return 2;
  }

  web_load web(opt.web.empty() ? (fs::path(opt.service).parent_path() / "orv_ticker_web").string() : opt.web,
               service_at, scratch);
  if (!web.ready()) {
    std::cerr << "orv_ticker_web did not come up\n";
    return 2;
  }

  asio::io_context io;
  fault_hub silent(io, hub_kind::silent), flapping(io, hub_kind::flapping), endless(io, hub_kind::endless),
      large(io, hub_kind::large);
  auto feed_group = [&](const std::string& name, const fault_hub& hub) {
    return group(name, "", 1,
                 "<subscribeurl>http://127.0.0.1:" + std::to_string(hub.port()) + "/" + name + "</subscribeurl>");
  };
  const std::vector<std::vector<std::string>> setup = {
      {"AddTicker", ticker},
      {"on_ticker", ticker, "AddGroupAfterGroup", "", group("news", "News", 100)},
      {"on_ticker", ticker, "AddGroupAfterGroup", "news", group("sports", "Sports", 20)},
      {"on_ticker", ticker, "AddGroupAfterGroup", "sports", feed_group("silent", silent)},
      {"on_ticker", ticker, "AddGroupAfterGroup", "silent", feed_group("flapping", flapping)},
      {"on_ticker", ticker, "AddGroupAfterGroup", "flapping", feed_group("endless", endless)},
      // On a ticker of its own: the bridge's monitor pages get the watched ticker's whole
      // listing, and one of 20,000 elements did not fit in a page's output cap.
      {"AddTicker", feeds_ticker},
      {"on_ticker", feeds_ticker, "AddGroupAfterGroup", "", feed_group("large", large)},
  };
  for (const auto& command : setup) {
    const auto reply = talk_once(service_at, command);
    if (reply.size() < 2 || reply[1] != "ok") {
      std::cerr << "set-up failed at " << command[0] << " " << command.back().substr(0, 40) << "\n";
      return 2;
    }
  }
  // Rounds of the same load and faults: the first brings the allocator to its working
  // size, the later ones show whether resident memory keeps growing.
  const std::vector<fault_hub*> hubs = {&silent, &flapping, &endless, &large};
  std::vector<long> resident;
  std::list<cycle_result> rounds;
  bool every_cycle_held = true;
  for (int cycle = 1; cycle <= opt.rounds; ++cycle) {
    for (fault_hub* hub : hubs) hub->serve(true);
    run_cycle(io, opt, ticker, service_at, event_port_taken ? nullptr : &events, bus.address(), service, web,
              rounds.emplace_back());
    every_cycle_held = every_cycle_held && rounds.back().held(opt);
    // Feeds cut off, so that no half-read document counts as memory kept.
    for (fault_hub* hub : hubs) hub->serve(false);
    io.run_for(std::chrono::seconds(2));
    resident.push_back(service.resident_kib());
  }
  run_limit_attacks({service_at, "limits" + std::to_string(::getpid()), [&] { return service.resident_kib(); }, scratch,
                     !opt.sanitizer_build},
                    {[&](auto&&... a) { out.figure(a...); }, [&](auto&&... a) { out.check(a...); }});
  attack_renderer_objects(service.pid(), service_at, scratch,
                          {[&](const std::string& name, double value, const std::string& unit) { out.figure(name, value, unit); },
                           [&](const std::string& what, bool held) { out.check(what, held); },
                           [](const std::string& text) { std::printf("note: %s\n", text.c_str()); }});
  const auto still = talk_once(service_at, {"ListTickers"});
  web.report([&](auto&&... a) { out.figure(a...); }, [&](auto&&... a) { out.check(a...); });

  const cycle_result& last = rounds.back();
  last.print(out, opt, !event_port_taken);
  out.figure("hub_silent_connections", silent.totals().connections, "connections");
  out.figure("hub_flapping_connections", flapping.totals().connections, "connections");
  out.figure("hub_endless_connections", endless.totals().connections, "connections");
  out.figure("hub_endless_bytes_sent", static_cast<double>(endless.totals().bytes_sent), "bytes");
  out.figure("hub_large_bytes_sent", static_cast<double>(large.totals().bytes_sent), "bytes");
  for (std::size_t i = 0; i < resident.size(); ++i)
    out.figure("resident_after_round_" + std::to_string(i + 1), static_cast<double>(resident[i]), "KiB");

  out.check("every well-formed command got its reply, in order, in every round", every_cycle_held);
  out.check("the renderer was served throughout, titles came back after a lock holder died",
            last.renderer_ok());
  out.check("the automation client was answered throughout, without an error, in every round",
            opt.without_automation ||
                std::all_of(rounds.begin(), rounds.end(), [](const cycle_result& r) { return r.automation_ok(); }));
  out.check("the service still answers", still.size() >= 2 && still[1] == "ok");
  if (!opt.sanitizer_build) {
    // What the service controls: how long its loop went without looking at the renderer.
    // The renderer's own worst wait adds what the system's scheduler takes on a loaded
    // machine, so it is reported above, not judged. The aim is 2 ms; one handler still
    // passes it now and then (closing a connection whose peer left megabytes unread), so
    // the run fails only at 5 ms, where nothing seen comes near.
    const double work = last.loop.unwatched_work_ms;
    std::printf("aim: at most 2 ms of processor time between two looks at the renderer: %s\n",
                work >= 0 && work <= 2 ? "met" : "missed");
    out.check("the service spent at most 5 ms of processor time between two looks at the renderer",
              work >= 0 && work <= 5);
    // Growth shows as a last round above every earlier one; a first round that happens to
    // end low (the allocator's free lists differ from run to run) is not growth.
    const long before = *std::max_element(resident.begin(), resident.end() - 1);
    out.check("resident memory after the last round within 10% of the highest after an earlier one",
              before > 0 && resident.back() <= before + before / 10);
  }
  if (event_port_taken) std::printf("note: port 6300 was in use before the run; log listeners skipped\n");

  const int exit_code = service.stop(std::chrono::seconds(60));
  // A service that did not stop cleanly leaves its ticker's areas behind.
  for (const std::string& name : {ticker, feeds_ticker})
    for (const char* object : {"/mem", "/sections", "/sectionmutex"}) ::shm_unlink((object + name).c_str());
  const std::string errors = service.error_output();
  const bool leak_report = errors.find("LeakSanitizer") != std::string::npos;
  const bool sanitizer_report = errors.find("ERROR: AddressSanitizer") != std::string::npos ||
                                errors.find("runtime error:") != std::string::npos;
  out.figure("service_exit_code", exit_code, "code");
  out.check("the service stopped cleanly on SIGTERM", exit_code == 0);
  out.check("no leak reported at shutdown", !leak_report);
  out.check("no sanitizer report", !sanitizer_report);
  if (!out.all_held()) std::fprintf(stderr, "service output kept in %s\n", scratch.c_str());
  else fs::remove_all(scratch);
  return out.all_held() ? 0 : 1;
}

}  // namespace
}  // namespace orv::stress

int main(int argc, char** argv) {
  namespace po = boost::program_options;
  orv::stress::options opt;
  po::options_description described("orv_stress options");
  described.add_options()("help", "this text")(
      "service", po::value(&opt.service)->required(), "the orv_ticker executable to start and test")(
      "web", po::value(&opt.web), "the orv_ticker_web to start beside it (default: next to the service)")(
      "connections", po::value(&opt.connections)->default_value(opt.connections), "concurrent tickertalk clients")(
      "commands", po::value(&opt.commands)->default_value(opt.commands), "commands each client sends")(
      "depth", po::value(&opt.depth)->default_value(opt.depth), "unanswered commands each client allows")(
      "load-seconds", po::value(&opt.load_seconds)->default_value(opt.load_seconds), "limit of the load phase")(
      "rounds", po::value(&opt.rounds)->default_value(opt.rounds), "rounds of load and faults, at least 2")(
      "sanitizer-build", po::bool_switch(&opt.sanitizer_build), "the service is a sanitizer build: memory not judged")(
      "without-automation", po::bool_switch(&opt.without_automation), "no automation client in the load");
  if (const auto exit_code = orv::read_command_line(argc, argv, described)) return *exit_code;
  if (opt.rounds < 2) {
    std::cerr << "--rounds must be at least 2: the first only warms the allocator up\n";
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  return orv::stress::run(opt);
}
