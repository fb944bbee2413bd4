#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orv::bench {

// A program the bench starts and owns: killed with the bench if the bench dies, killed on
// destruction if still running. Its standard output and error go to the given files.
class child_process {
 public:
  // program is looked up in PATH unless it holds a slash; environment holds "NAME=value" entries added to the bench's own.
  child_process(const std::string& program, const std::vector<std::string>& arguments,
                const std::vector<std::string>& environment, const std::filesystem::path& output,
                const std::filesystem::path& errors);
  ~child_process();
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  bool running();
  // SIGTERM, then the exit code (128 + signal when killed); nullopt when it did not end in time.
  std::optional<int> stop(std::chrono::milliseconds limit);
  // The exit code once it ended by itself; nullopt when it did not end in time.
  std::optional<int> wait(std::chrono::milliseconds limit);

 private:
  pid_t pid_;
  std::optional<int> exit_code_;
};

// Runs a program to its end and returns its standard output; nullopt when it could not be
// started or exited with a failure. Standard error passes through.
std::optional<std::string> output_of(const std::string& program, const std::vector<std::string>& arguments);

// Registers the service for console use in a registry below root, as an unregistered service
// will not start, and returns the environment entry that points a start at it (a failed
// registration leaves its output in root, and the start then says it is not registered).
std::string registered_root(const std::string& service, const std::filesystem::path& root);

// A loopback port nobody listens on right now.
int free_loopback_port();

// True once something accepts connections on the loopback port.
bool accepting(int port);

}  // namespace orv::bench
