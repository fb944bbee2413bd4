#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace orv::testing {

// A port that was free a moment ago, for a child process to listen on.
inline unsigned short free_port() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::tcp::v4(), 0});
  return probe.local_endpoint().port();
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A child process that is always ended when this goes: SIGTERM first, SIGKILL when it has
// not exited within a few seconds. Standard output and error go to one file; standard
// input comes from a file, or is empty.
class child_process {
 public:
  child_process(const std::vector<std::string>& argv, const std::vector<std::string>& extra_environment,
                const std::filesystem::path& output, const std::filesystem::path& input = "/dev/null") {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    for (const auto& e : extra_environment) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // Sockets of the test (a hub's listener) must not live on in the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    const int failed = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed) throw std::runtime_error("can't start " + argv[0]);
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  }
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  ~child_process() {
    if (!exited_) {
      ::kill(pid_, SIGTERM);
      if (!wait_for_exit(std::chrono::seconds(5))) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
      }
    }
    if (pidfd_ >= 0) ::close(pidfd_);
  }

  // Waits at most limit for the process to end; true once it has.
  bool wait_for_exit(std::chrono::milliseconds limit) {
    if (exited_) return true;
    if (pidfd_ >= 0) {
      pollfd ready{pidfd_, POLLIN, 0};
      ::poll(&ready, 1, static_cast<int>(limit.count()));
    }
    exited_ = ::waitpid(pid_, &status_, WNOHANG) == pid_;
    return exited_;
  }

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

}  // namespace orv::testing
