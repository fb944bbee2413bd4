#include "stress/stress_limits.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime/memory_budget.h"
#include "stress/stress_clients.h"

namespace orv::stress {

namespace {

namespace fs = std::filesystem;
using steady = std::chrono::steady_clock;

int connect_to(const tcp::endpoint& at) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(at.port());
  address.sin_addr.s_addr = htonl(at.address().to_v4().to_uint());
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// One connection sending a message it never finishes.
struct half_sender {
  int fd = -1;
  std::string head;
  std::size_t total = 0;  // bytes to send: all of the message but its last byte
  std::size_t sent = 0;
  bool closed_by_service = false;

  bool done() const { return closed_by_service || sent == total; }
  void pump(const std::string& filler) {
    while (!done()) {
      const char* data;
      std::size_t length;
      if (sent < head.size()) {
        data = head.data() + sent;
        length = head.size() - sent;
      } else {
        data = filler.data();
        length = std::min(filler.size(), total - sent);
      }
      const ssize_t n = ::send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      closed_by_service = true;
    }
  }
  void notice_close() {
    char byte[4096];
    const ssize_t n = ::recv(fd, byte, sizeof byte, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) closed_by_service = true;
  }
};

void memory_burst(const limits_target& target, const limits_report& out) {
  constexpr int connections = 60;
  constexpr std::size_t message = std::size_t{15} << 20;
  const long before = target.resident_kib();
  const std::string filler(1 << 20, 'x');
  std::vector<half_sender> senders(connections);
  for (auto& s : senders) {
    s.fd = connect_to(target.service);
    s.head = "b on_ticker " + target.ticker + " AddGroupAfterGroup {0} {" + std::to_string(message) + "}";
    s.total = s.head.size() + message - 1;
    if (s.fd < 0) s.closed_by_service = true;
  }
  long peak = before;
  const auto until = steady::now() + std::chrono::seconds(120);
  auto all_done = [&] { return std::all_of(senders.begin(), senders.end(), [](auto& s) { return s.done(); }); };
  while (!all_done() && steady::now() < until) {
    std::vector<pollfd> ready;
    for (auto& s : senders)
      if (!s.done()) ready.push_back({s.fd, POLLOUT | POLLIN, 0});
    ::poll(ready.data(), ready.size(), 20);
    for (auto& s : senders) {
      if (s.done()) continue;
      s.notice_close();
      s.pump(filler);
    }
    peak = std::max(peak, target.resident_kib());
  }
  // Let the service take in what is still under way before the last look.
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peak = std::max(peak, target.resident_kib());
  }
  const auto closed =
      std::count_if(senders.begin(), senders.end(), [](half_sender& s) { return s.notice_close(), s.closed_by_service; });
  std::size_t sent = 0;
  for (auto& s : senders) {
    sent += s.sent;
    ::close(s.fd);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long after = target.resident_kib();

  const long budget_kib = static_cast<long>(vorn::memory_budget::default_limit >> 10);
  out.figure("burst_half_sent_messages", connections, "connections");
  out.figure("burst_bytes_sent", static_cast<double>(sent), "bytes");
  out.figure("burst_closed_by_the_budget", static_cast<double>(closed), "connections");
  out.figure("burst_resident_before", static_cast<double>(before), "KiB");
  out.figure("burst_resident_peak", static_cast<double>(peak), "KiB");
  out.figure("burst_resident_after", static_cast<double>(after), "KiB");
  // 900 MiB were offered; the budget must have closed enough for the rest to fit in it.
  out.check("the memory budget closed the connections holding the most",
            closed > 0 && static_cast<std::size_t>(connections - closed) * message <= vorn::memory_budget::default_limit);
  if (!target.judge_memory) return;
  out.check("resident memory during the burst within the budget and a quarter over the start",
            peak <= before + budget_kib + budget_kib / 4);
  out.check("resident memory after the burst within 10% of before", before > 0 && after <= before + before / 10);
}

// Receives until the service ends the connection; what arrived.
std::string read_to_end(int fd) {
  const timeval limit{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string received;
  char chunk[65536];
  ssize_t n;
  while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) received.append(chunk, static_cast<std::size_t>(n));
  return received;
}

void half_closed_clients(const limits_target& target, const limits_report& out) {
  // About 1.5 MB of listing: many times what a socket buffers.
  std::string xml = "<group name=\"long\">";
  for (int i = 0; i < 6000; ++i)
    xml += "<element key=\"" + std::to_string(100000 + i) + "\"><design>line</design><value label=\"t\" attribute=\"a\">" +
           std::string(200, 'v') + "</value></element>";
  xml += "</group>";
  talk_once(target.service, {"on_ticker", target.ticker, "AddGroupAfterGroup", "", xml});
  const std::vector<std::string> listing{"0", "on_ticker", target.ticker, "GetGroupsWithContent"};
  const auto reference = talk_once(target.service, {listing.begin() + 1, listing.end()});
  const std::string whole = reference.empty() ? std::string() : render(reference);

  constexpr int clients = 5;
  int complete = 0;
  std::size_t shortest = whole.size();
  for (int i = 0; i < clients; ++i) {
    const int fd = connect_to(target.service);
    if (fd < 0) continue;
    const std::string request = render(listing);
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      ::shutdown(fd, SHUT_WR);
      const std::string received = read_to_end(fd);
      complete += received == whole;
      shortest = std::min(shortest, received.size());
    }
    ::close(fd);
  }
  out.figure("half_closed_reply_size", static_cast<double>(whole.size()), "bytes");
  out.figure("half_closed_clients_with_whole_reply", complete, "clients");
  out.figure("half_closed_shortest_reply_received", static_cast<double>(shortest), "bytes");
  out.check("clients that end their input right after a command get the whole reply",
            whole.size() > 1000000 && complete == clients);
}

std::uintmax_t bytes_logged(const fs::path& dir) {
  std::uintmax_t total = 0;
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(dir, ignored))
    if (entry.is_regular_file(ignored)) total += entry.file_size(ignored);
  return total;
}

void invalid_documents(const limits_target& target, const limits_report& out) {
  constexpr int documents = 100;
  constexpr std::size_t size = std::size_t{1} << 20;
  // Well-formed up to its last tag, so that the parser reads all of it before failing.
  const std::string bad = "<group name=\"bad\">" + std::string(size, 'x') + "</nogroup>";
  const std::uintmax_t before = bytes_logged(target.output_dir);
  int refused = 0;
  for (int i = 0; i < documents; ++i) {
    const auto reply = talk_once(target.service, {"on_ticker", target.ticker, "AddGroupAfterGroup", "", bad});
    refused += reply.size() >= 2 && reply[1] == "error";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::uintmax_t written = bytes_logged(target.output_dir) - before;
  out.figure("invalid_documents_sent", documents, "documents");
  out.figure("invalid_document_size", static_cast<double>(bad.size()), "bytes");
  out.figure("invalid_documents_log_bytes_written", static_cast<double>(written), "bytes");
  // Written twice, to the console and the file, each with its 4 KiB excerpt and a few lines.
  out.check("each invalid document refused and logged in at most 12 KiB, console and file together",
            refused == documents && written <= documents * 12288u);
}

}  // namespace

void run_limit_attacks(const limits_target& target, const limits_report& out) {
  talk_once(target.service, {"AddTicker", target.ticker});
  memory_burst(target, out);
  half_closed_clients(target, out);
  invalid_documents(target, out);
  talk_once(target.service, {"DeleteTicker", target.ticker});
  for (const char* object : {"/mem", "/sections", "/sectionmutex"}) ::shm_unlink((object + target.ticker).c_str());
}

}  // namespace orv::stress
