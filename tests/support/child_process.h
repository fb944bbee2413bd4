#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

namespace orv::testing {

// A program started for one test, with its own scratch folder receiving standard output and
// standard error. It is killed, if still running, when the object goes.
class child_process {
 public:
  child_process(const std::string& program, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& environment = {}, const std::string& standard_input = "")
      : scratch_(make_scratch_folder()) {
    std::ofstream(scratch_ / "stdin", std::ios::binary) << standard_input;
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The child closes the test's descriptors, this pipe's writing end with them. Waiting for
    // that lets a test close and reopen its ports as soon as the child is started.
    int closed[2];
    if (::pipe2(closed, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
      redirect(scratch_ / "stdin", 0, O_RDONLY);
      redirect(scratch_ / "stdout", 1, O_WRONLY | O_CREAT | O_TRUNC);
      redirect(scratch_ / "stderr", 2, O_WRONLY | O_CREAT | O_TRUNC);
      ::close_range(3, ~0U, 0);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(closed[1]);
    char byte;
    while (::read(closed[0], &byte, 1) < 0 && errno == EINTR) continue;
    ::close(closed[0]);
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  }

  ~child_process() {
    kill_now();
    if (pidfd_ >= 0) ::close(pidfd_);
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
  }
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  // The exit code (a signal's number + 128), or empty when it still runs after limit.
  std::optional<int> wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    if (exit_code_) return exit_code_;
    pollfd ready{pidfd_, POLLIN, 0};
    int status = 0;
    if (::poll(&ready, 1, static_cast<int>(limit.count())) <= 0 || ::waitpid(pid_, &status, 0) != pid_)
      return std::nullopt;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_code_;
  }
  bool running() { return !wait_exit(std::chrono::milliseconds(0)); }
  void signal(int number) { ::kill(pid_, number); }
  void kill_now() {
    if (!exit_code_) signal(SIGKILL);
    wait_exit();
  }

  std::string standard_output() const { return read(scratch_ / "stdout"); }
  std::string standard_error() const { return read(scratch_ / "stderr"); }
  static std::string read(const std::filesystem::path& file) {
    std::ostringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    return bytes.str();
  }

 private:
  static std::filesystem::path make_scratch_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orv_test_XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
  }
  static void redirect(const std::filesystem::path& file, int target, int flags) {
    const int fd = ::open(file.c_str(), flags, 0600);
    if (fd >= 0) ::dup2(fd, target);
  }

  std::filesystem::path scratch_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::optional<int> exit_code_;
};

// Asks done() every 20 ms until it holds or the limit passes: for what another process does.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !done();) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Runs the loop until done() holds or the time is up. done() is asked once per round, since
// it may consume what it checks.
inline bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool finished = done();
  while (!finished && std::chrono::steady_clock::now() < deadline) {
    if (io.stopped()) io.restart();
    io.run_one_for(std::chrono::milliseconds(10));
    finished = done();
  }
  return finished;
}

// A port no one listens on right now, chosen by the system, or port itself when it is free.
inline int free_port(int port = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t length = sizeof address;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

}  // namespace orv::testing
