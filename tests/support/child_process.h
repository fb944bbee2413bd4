#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace orv::testing {

// A program started for one test, with its own scratch folder receiving standard output and
// standard error. It is killed, if still running, when the object goes.
class child_process {
 public:
  child_process(const std::string& program, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& environment = {}, const std::string& standard_input = "")
      : scratch_(make_scratch_folder()) {
    if (!standard_input.empty()) std::ofstream(scratch_ / "stdin", std::ios::binary) << standard_input;
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
      redirect((scratch_ / "stdin").c_str(), 0, O_RDONLY | O_CREAT);
      redirect((scratch_ / "stdout").c_str(), 1, O_WRONLY | O_CREAT | O_TRUNC);
      redirect((scratch_ / "stderr").c_str(), 2, O_WRONLY | O_CREAT | O_TRUNC);
      std::vector<char*> argv;
      for (auto& a : argv_text) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
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
    if (::poll(&ready, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_code_;
  }

  bool running() {
    pollfd ready{pidfd_, POLLIN, 0};
    return !exit_code_ && ::poll(&ready, 1, 0) == 0;
  }

  void signal(int number) { ::kill(pid_, number); }

  void kill_now() {
    if (exit_code_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exit_code_ = 128 + SIGKILL;
  }

  std::string standard_output() const { return read(scratch_ / "stdout"); }
  std::string standard_error() const { return read(scratch_ / "stderr"); }
  const std::filesystem::path& scratch() const { return scratch_; }

  static std::string read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

 private:
  static std::filesystem::path make_scratch_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orv_test_XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
  }
  static void redirect(const char* path, int target, int flags) {
    int fd = ::open(path, flags, 0600);
    if (fd >= 0) ::dup2(fd, target);
  }

  std::filesystem::path scratch_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::optional<int> exit_code_;
};

// A port no one listens on right now, chosen by the system.
inline int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// orv_ticker with its own port, instance name and log folder.
class service_process : public child_process {
 public:
  explicit service_process(std::vector<std::string> args = {}, int port = free_port())
      : service_process(std::move(args), port, "test" + std::to_string(::getpid()) + "_" + std::to_string(port)) {}

  service_process(std::vector<std::string> args, int port, const std::string& instance)
      : child_process(ORV_TICKER_EXE, with_port(std::move(args), port),
                      {{"ORV_TICKER_INSTANCE", instance}, {"ORV_TICKER_APPDATA_DIR", appdata_for(instance)}}),
        port_(port),
        instance_(instance) {}

  ~service_process() {
    kill_now();
    std::error_code ignored;
    std::filesystem::remove_all(appdata_for(instance_), ignored);
  }

  int port() const { return port_; }
  const std::string& instance() const { return instance_; }
  std::filesystem::path log_folder() const { return appdata_for(instance_) / "Ostrant" / "Ticker Service"; }

  // Polls the port until it accepts, the process ends, or the limit passes.
  bool wait_listening(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (accepts(port_)) return true;
      if (wait_exit(std::chrono::milliseconds(20))) return false;
    }
    return false;
  }

 private:
  static std::vector<std::string> with_port(std::vector<std::string> args, int port) {
    args.insert(args.begin(), {"--port", std::to_string(port)});
    return args;
  }
  static std::filesystem::path appdata_for(const std::string& instance) {
    return std::filesystem::temp_directory_path() / ("orv_appdata_" + instance);
  }
  static bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
  }

  int port_;
  std::string instance_;
};

}  // namespace orv::testing
