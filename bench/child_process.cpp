#include "bench/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace orv::bench {

namespace {

using clock = std::chrono::steady_clock;

std::vector<char*> argv_of(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

void redirect(const std::filesystem::path& path, int fd) {
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (file < 0) return;
  ::dup2(file, fd);
  ::close(file);
}

}  // namespace

child_process::child_process(const std::string& program, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment, const std::filesystem::path& output,
                             const std::filesystem::path& errors) {
  // Everything the child needs is prepared before the fork.
  std::vector<char*> argv = argv_of(program, arguments);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    redirect(output, 1);
    redirect(errors, 2);
    ::execvp(program.c_str(), argv.data());
    ::_exit(127);
  }
  if (pid_ < 0) exit_code_ = 127;
}

child_process::~child_process() {
  if (exit_code_) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool child_process::running() {
  if (exit_code_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

std::optional<int> child_process::stop(std::chrono::milliseconds limit) {
  if (running()) ::kill(pid_, SIGTERM);
  return wait(limit);
}

std::optional<int> child_process::wait(std::chrono::milliseconds limit) {
  for (const auto until = clock::now() + limit; clock::now() < until;) {
    if (!running()) return exit_code_;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

std::string registered_root(const std::string& service, const std::filesystem::path& root) {
  const std::string variable = "ORV_TICKER_REGISTRY_ROOT=" + root.string();
  child_process registration(service, {"--RegServer", "--elevated"}, {variable}, root / "registration.out",
                             root / "registration.err");
  // A failed registration shows when the service then refuses to start.
  registration.wait(std::chrono::seconds(30));
  return variable;
}

std::optional<std::string> output_of(const std::string& program, const std::vector<std::string>& arguments) {
  int out[2];
  if (::pipe(out) != 0) return std::nullopt;
  std::vector<char*> argv = argv_of(program, arguments);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) != 0;) {
    if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
    else if (errno != EINTR) break;
  }
  ::close(out[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

int free_loopback_port() {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
  return probe.local_endpoint().port();
}

bool accepting(int port) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)}, ec);
  return !ec;
}

}  // namespace orv::bench
