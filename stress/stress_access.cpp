#include "stress/stress_access.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include "renderer/orv_renderer.h"

namespace orv::stress {
namespace {

namespace fs = std::filesystem;

constexpr double cpu_bound_percent = 10;
constexpr double log_bound_bytes = 64 * 1024;

// A connected local socket to the ticker's request event; -1 when it cannot connect.
int connect_event(const std::string& ticker) {
  const std::string name = "event" + ticker;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address),
                           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0)
    return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// The peer's findings, as bits of its exit code.
enum stranger_finding { socket_not_refused = 1, area_opened = 2, library_not_refused = 4, cannot_become = 64 };

// In the child: becomes uid/gid, then tries the areas, the socket and the library, and holds
// 100 connections until killed, after one byte on ready.
[[noreturn]] void be_stranger(uid_t uid, gid_t gid, const std::string& ticker, int ready) {
  if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(cannot_become);
  int findings = 0;
  for (const char* prefix : {"/mem", "/sections", "/sectionmutex"}) {
    const int fd = ::shm_open((prefix + ticker).c_str(), O_RDONLY, 0);
    if (fd >= 0 || errno != EACCES) findings |= area_opened;
  }
  const int fd = connect_event(ticker);
  const timeval limit{5, 0};  // a service that never answers must not hang the run
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char answer[2] = {0, 0};
  // The refusal comes unasked: one byte, then the end.
  if (fd < 0 || ::recv(fd, answer, 2, MSG_WAITALL) != 1 || answer[0] != 0x15)
    findings |= socket_not_refused;
  if (fd >= 0) ::close(fd);
  orv_renderer_channel* channel = nullptr;
  if (orv_renderer_open(ticker.data(), ticker.size(), &channel) != ORV_RENDERER_REFUSED) findings |= library_not_refused;
  for (int i = 0; i < 100; ++i) connect_event(ticker);  // kept: a lock-out attempt
  (void)!::write(ready, &findings, 1);
  for (;;) ::pause();
}

struct throwaway_user {
  explicit throwaway_user(access_report const& out) {
    name = "orvstress" + std::to_string(::getpid());
    if (::geteuid() != 0) {
      out.note("not root: no peer can run as another user, the unprivileged-peer attack is skipped");
      return;
    }
    const std::string add = "useradd --system --no-create-home --shell /usr/sbin/nologin " + name + " 2>/dev/null";
    if (std::system(add.c_str()) == 0) {
      if (const passwd* user = ::getpwnam(name.c_str())) {
        uid = user->pw_uid;
        gid = user->pw_gid;
        created = true;
        out.note("unprivileged peer: throwaway user " + name + " created for the run");
        return;
      }
    }
    out.note("useradd failed: the unprivileged peer runs as nobody (65534) instead of a throwaway user");
    uid = gid = 65534;
  }
  ~throwaway_user() {
    if (created) (void)!std::system(("userdel " + name + " 2>/dev/null").c_str());
  }
  std::string name;
  std::optional<uid_t> uid;
  gid_t gid = 0;
  bool created = false;
};

void attack_as_stranger(const std::string& ticker, const access_report& out) {
  throwaway_user user(out);
  if (!user.uid) return;
  int ready[2];
  if (::pipe(ready) != 0) return;
  const pid_t pid = ::fork();
  if (pid == 0) be_stranger(*user.uid, user.gid, ticker, ready[1]);
  ::close(ready[1]);
  char findings = cannot_become;
  (void)!::read(ready[0], &findings, 1);
  ::close(ready[0]);
  // The real renderer, while the stranger keeps its 100 connections.
  orv_renderer_channel* channel = nullptr;
  bool served = orv_renderer_open(ticker.data(), ticker.size(), &channel) == ORV_RENDERER_OK;
  for (int i = 0; served && i < 10; ++i) served = orv_renderer_request(channel, 5000) == ORV_RENDERER_OK;
  orv_renderer_close(channel);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  out.figure("unprivileged_peer_refused_at_socket", (findings & socket_not_refused) ? 0 : 1, "bool");
  out.figure("unprivileged_peer_kept_out_of_areas", (findings & area_opened) ? 0 : 1, "bool");
  out.figure("unprivileged_peer_told_refused_by_library", (findings & library_not_refused) ? 0 : 1, "bool");
  out.figure("renderer_served_beside_100_unprivileged_connections", served ? 1 : 0, "bool");
  out.check("an unprivileged peer is refused at the socket, kept out of the areas and locks nobody out",
            findings == 0 && served);
}

long cpu_ticks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

std::uintmax_t bytes_under(const fs::path& folder) {
  std::uintmax_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->is_regular_file(ec)) total += it->file_size(ec);
  return total;
}

std::size_t open_descriptors(pid_t pid) {
  std::error_code ec;
  std::size_t n = 0;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

// A tickertalk client that asked for the ticker list; true once it got an answer in time.
struct talk_probe {
  explicit talk_probe(const tcp::endpoint& at) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const timeval limit{0, 300000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const sockaddr_in address = [&] {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(at.port());
      a.sin_addr.s_addr = htonl(at.address().to_v4().to_uint());
      return a;
    }();
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
      (void)!::send(fd, "0 ListTickers\n", 14, MSG_NOSIGNAL);
  }
  ~talk_probe() { ::close(fd); }
  bool answered() {
    char buffer[4096];
    return ::recv(fd, buffer, sizeof buffer, 0) > 0;
  }
  int fd;
};

void exhaust_descriptors(pid_t service, const tcp::endpoint& service_at, const std::string& ticker,
                         const fs::path& scratch, const access_report& out) {
  rlimit previous{};
  if (::prlimit(service, RLIMIT_NOFILE, nullptr, &previous) != 0) {
    out.note("cannot read the service's descriptor limit: the exhaustion attack is skipped");
    return;
  }
  orv_renderer_channel* channel = nullptr;
  if (orv_renderer_open(ticker.data(), ticker.size(), &channel) != ORV_RENDERER_OK) return;
  // A few free descriptors above those in use, then tickertalk clients until one is not taken.
  rlimit lowered = previous;
  lowered.rlim_cur = open_descriptors(service) + 8;
  ::prlimit(service, RLIMIT_NOFILE, &lowered, nullptr);
  std::vector<std::unique_ptr<talk_probe>> clients;
  while (clients.size() < 64) {
    clients.push_back(std::make_unique<talk_probe>(service_at));
    if (!clients.back()->answered()) break;
  }
  const bool exhausted = clients.size() < 64;

  // The renderer connects now and waits for its element.
  std::atomic<int> status{-1};
  std::atomic<bool> done{false};
  clock::time_point served_at;
  std::thread renderer([&] {
    status = orv_renderer_request(channel, 20000);
    served_at = clock::now();
    done = true;
  });
  const long ticks_before = cpu_ticks(service);
  const auto bytes_before = bytes_under(scratch);
  const auto start = clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double seconds = std::chrono::duration<double>(clock::now() - start).count();
  const double cpu_percent =
      100.0 * static_cast<double>(cpu_ticks(service) - ticks_before) / static_cast<double>(::sysconf(_SC_CLK_TCK)) / seconds;
  const double log_bytes = static_cast<double>(bytes_under(scratch) - bytes_before);
  const bool waited = !done;

  // Descriptors come back as the service closes its clients' connections.
  const auto freed_at = clock::now();
  clients.clear();
  renderer.join();
  ::prlimit(service, RLIMIT_NOFILE, &previous, nullptr);
  orv_renderer_close(channel);
  const double resumed_ms = std::chrono::duration<double, std::milli>(served_at - freed_at).count();

  out.figure("descriptor_exhaustion_reached", exhausted ? 1 : 0, "bool");
  out.figure("descriptor_exhaustion_service_cpu", cpu_percent, "%");
  out.figure("descriptor_exhaustion_log_bytes", log_bytes, "bytes");
  out.figure("descriptor_exhaustion_renderer_served_after_freeing", status == ORV_RENDERER_OK ? 1 : 0, "bool");
  out.figure("descriptor_exhaustion_renderer_wait_after_freeing", resumed_ms, "ms");
  out.check("out of descriptors: the service waited without spinning (cpu <= " + std::to_string(int(cpu_bound_percent)) +
                "%, log <= " + std::to_string(int(log_bound_bytes)) + " bytes) and served the renderer once freed",
            exhausted && waited && cpu_percent <= cpu_bound_percent && log_bytes <= log_bound_bytes &&
                status == ORV_RENDERER_OK);
}

}  // namespace

void attack_renderer_objects(pid_t service, const tcp::endpoint& service_at, const fs::path& scratch,
                             const access_report& out) {
  const std::string ticker = "objects" + std::to_string(::getpid());
  const auto created = talk_once(service_at, {"AddTicker", ticker});
  if (created.size() < 2 || created[1] != "ok") {
    out.check("the attacked ticker was created", false);
    return;
  }
  attack_as_stranger(ticker, out);
  exhaust_descriptors(service, service_at, ticker, scratch, out);
  talk_once(service_at, {"DeleteTicker", ticker});
}

}  // namespace orv::stress
